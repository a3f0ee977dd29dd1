#include "archive/Zipper.h"
#include "maintenance/BigDocs.h"
#include "maintenance/DatabaseCopy.h"
#include "maintenance/OrphanCleanup.h"
#include "maintenance/Probes.h"
#include "maintenance/Prophylaxis.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/FilesLib.h"

#include <cerrno>
#include <string>

namespace k5 {

namespace {

constexpr const char* kDone = " завершено успешно.";

// " (до профилактики - 12.5 МБ)" when the size before the run is known.
std::string BeforeText(double sizeBefore) {
    if (sizeBefore > 0) return " (до профилактики - " + MemCStr(sizeBefore, true) + ")";
    return std::string();
}

// The compacted copy must be on disk before anything happens to the files it replaces;
// the engine flushes it, and the folder entry is flushed here as well.
void CompactInto(MaintenanceContext& ctx, const std::string& source, const std::string& target) {
    ctx.engine.CompactDatabase(source, target);
    // errno belongs to the helper thread that flushed: it is taken there.
    int failure = 0;
    InBackground(ctx, [&] {
        if (!SyncFileAndFolder(target)) failure = errno != 0 ? errno : EIO;
    });
    if (failure != 0) RaiseApiError(failure, "Ошибка при записи файла \"" + target + "\" на диск:\r\n");
}

// The old main file under the backup name, still in its place until the compacted file
// replaces it; a file system without hard links gets the plain move.
void KeepUnderName(const std::string& mainFile, const std::string& backupPath) {
    if (LinkFile(mainFile, backupPath) != 0) MoveFile(mainFile, backupPath);
}

void ReplacementPath(MaintenanceContext& ctx, const std::string& newFile, const std::string& compactFile) {
    RunState& st = ctx.state;
    const std::string mainFile = st.mDataBaseFile;

    DeleteFile(compactFile, true);
    ctx.log.LogAddBegin("Сжатие основного файла БД " + newFile, true);
    CompactInto(ctx, newFile, compactFile);
    ctx.log.LogAddEnd(kDone, true);
    // The compacted file holds everything the new one did.
    InBackground(ctx, [&] { DeleteFile(newFile, false); });

    ctx.log.LogAddBegin("Архивирование исходного файла БД в zip-архив", true);
    const std::string zip = st.mProtocolFolder + "Korund5" + st.mBackupSuffix + ".zip";
    std::string error;
    if (st.mFilesLib && st.mFilesLib->FolderExists(st.mProtocolFolder)) {
        const int32_t code = ZipFile(ctx.ui, st.mFilesLib.get(), st.mDataBaseFolder + "Korund5.mdb", zip);
        if (code != 0) error = "\r\n" + ZipErrorText(code) + "\r\n";
    } else {
        // The same words and reason line as the BigDocs archiving gives.
        error = MissingFolderText(st.mProtocolFolder);
    }

    const std::string backupName = "Korund5" + st.mBackupSuffix + ".mdb";
    const std::string backupPath = st.mDataBaseFolder + backupName;
    std::string line;
    if (!error.empty() || !IsFileExists(zip)) {
        ctx.log.LogAddEnd(" завершено с ошибкой:" + error, false, std::nullopt, true);
        // An archive the library gave up on is not a copy of anything.
        InBackground(ctx, [&] {
            if (!error.empty()) DeleteFile(zip, true);
            DeleteFile(backupPath, true);
            KeepUnderName(mainFile, backupPath);
        });
        line = "Оригинал файла Korund5.mdb (до профилактики) переименован в: " + backupName + ".";
        ctx.log.LogAdd(line, true);
    } else {
        // The old file enters the trash as a second name and the move below replaces it in
        // one step, so Korund5.mdb is never missing, not even after a crash in between. A
        // trash on another file system can only take the file away: GIO does that.
        int32_t trashed = 0;
        InBackground(ctx, [&] {
            trashed = LinkIntoTrash(mainFile);
            if (trashed != 0) trashed = FileToRecycleBin(mainFile);
        });
        ctx.log.LogAddEnd(kDone, true);
        line = "Оригинал файла Korund5.mdb (до профилактики) запакован в zip-архив: \r\n   " + zip + ".";
        ctx.log.LogAdd(line, true);
        // Without a trash the old file would be overwritten by the move below; it keeps the
        // backup name instead, so it only ever leaves its place as a whole file.
        if (trashed != 0 && IsFileExists(mainFile)) {
            InBackground(ctx, [&] {
                DeleteFile(backupPath, true);
                KeepUnderName(mainFile, backupPath);
            });
            ctx.log.LogAdd("Оригинал файла Korund5.mdb (до профилактики) переименован в: " + backupName + ".",
                           true);
        }
    }

    InBackground(ctx, [&] { MoveFile(compactFile, mainFile); });

    st.mDataBaseSizeAfter = privFileSize(ctx, mainFile);
    if (st.mDataBaseSizeAfter < 0)
        ctx.log.LogAdd("Не удалось определить размер файла \"Korund5.mdb\".", false);
    else
        ctx.log.LogAdd("Размер файла БД \"Korund5.mdb\" - " + MemCStr(st.mDataBaseSizeAfter, true) +
                           BeforeText(st.mDataBaseSizeBefore) + ".",
                       true);

    if (st.mProphylaxisOk)
        ctx.log.LogAdd("Профилактика БД завершена успешно.", true, kColourGreen, true);
    else
        ctx.log.LogAdd("Профилактика БД завершена. БД готова к эксплуатации.", false, std::nullopt, true);
}

void KeepingPath(MaintenanceContext& ctx, const std::string& newFile, const std::string& compactFile) {
    RunState& st = ctx.state;
    if (IsFileExists(newFile)) {
        DeleteFile(compactFile, true);
        ctx.log.LogAddBegin("Сжатие файла \"" + newFile + "\"", true);
        CompactInto(ctx, newFile, compactFile);
        ctx.log.LogAddEnd(kDone, true);
        // One rename: the repaired file is never missing under its name.
        InBackground(ctx, [&] { MoveFile(compactFile, newFile); });
        st.mDataBaseSizeAfter = privFileSize(ctx, newFile);
        if (st.mDataBaseSizeAfter < 0)
            ctx.log.LogAdd("Не удалось определить размер файла \"" + newFile + "\".", false);
        else
            ctx.log.LogAdd("Размер файла БД \"" + newFile + "\" - " + MemCStr(st.mDataBaseSizeAfter, true) +
                               BeforeText(st.mDataBaseSizeBefore) + ".",
                           true);
    }
    ctx.log.LogAdd("Профилактика БД завершена. БД готова к эксплуатации.", false, std::nullopt, true);
    ctx.log.LogAdd("Исходный файл БД (Korund5.mdb) оставлен без изменений.", false, std::nullopt, true);
}

} // namespace

void FixMainDataBase(MaintenanceContext& ctx) {
    try {
        RunState& st = ctx.state;
        const std::string newFile = st.mDataBaseFolder + "Korund5_Prophylaxis.mdb";
        const std::string compactFile = st.mDataBaseFolder + "Korund5_Compact.mdb";

        CopyDataBase(ctx, st.mDataBaseFile, newFile, st.mLastVerFile);
        ctx.log.LogAddEnd(std::string(), true);

        if (ctx.log.GlobalStop()) {
            ctx.log.LogAdd("Профилактика БД прервана пользователем.", false, std::nullopt, true);
            ctx.log.LogAdd("Исходный файл БД оставлен без изменений.", false, std::nullopt, true);
            return;
        }

        // Each option is read when its step is reached: a change during the run counts.
        if (ctx.options.RemoveOrphaned()) DeletingUnnecessaryRecords(ctx, newFile);
        if (ctx.options.RemoveOrphanedBigDocs()) CheckBigFolder(ctx, st.mDataBaseFolder, newFile);
        if (ctx.options.CompactBigDocs()) CompactBigDocs(ctx, st.mDataBaseFolder);

        if (st.mProphylaxisOk || ctx.options.ZipAndRename())
            ReplacementPath(ctx, newFile, compactFile);
        else
            KeepingPath(ctx, newFile, compactFile);
    }
    K5_TRAP(kFrm, "FixMainDataBase")
}

} // namespace k5
