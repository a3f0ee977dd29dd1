#include "archive/Zipper.h"
#include "maintenance/BigDocs.h"
#include "maintenance/DatabaseCopy.h"
#include "maintenance/OrphanCleanup.h"
#include "maintenance/ParallelArchive.h"
#include "maintenance/Probes.h"
#include "maintenance/Prophylaxis.h"
#include "maintenance/RunLocks.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/FilesLib.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>
#include <sys/stat.h>

namespace k5 {

namespace {

constexpr const char* kDone = " завершено успешно.";
// Error number of a work file that another program replaced (path/file access error).
constexpr int32_t kForeignWorkFile = 75;

// " (до профилактики - 12.5 МБ)" when the size before the run is known.
std::string BeforeText(double sizeBefore) {
    if (sizeBefore > 0) return " (до профилактики - " + MemCStr(sizeBefore, true) + ")";
    return std::string();
}

// The compacted copy must be on disk before anything happens to the files it replaces;
// the engine flushes it, and the folder entry is flushed here as well.
void CompactInto(MaintenanceContext& ctx, const std::string& source, const std::string& target) {
    ctx.engine.CompactDatabase(source, target);
    SysResult flushed;
    InBackground(ctx, [&] { flushed = SyncFileAndFolder(ctx.env, target); });
    if (!flushed.Ok())
        RaiseApiError(flushed.error > 0 ? flushed.error : EIO,
                      "Ошибка при записи файла \"" + target + "\" на диск:\r\n");
}

// A file as this run last saw it: the same file (device and inode), size and time of change.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
};

FileIdentity IdentityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        RaiseApiError(errno, "Ошибка при чтении свойств файла \"" + path + "\":\r\n");
    return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

bool SameFile(const std::string& path, const FileIdentity& id, bool contents) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_dev != id.device || st.st_ino != id.inode) return false;
    return !contents || (st.st_size == id.size && st.st_mtim.tv_sec == id.modified.tv_sec &&
                         st.st_mtim.tv_nsec == id.modified.tv_nsec);
}

// Only a work file this run made itself is ever compacted or put in place.
void RequireOwnWorkFile(const std::string& path, const FileIdentity& id, bool contents) {
    if (!SameFile(path, id, contents))
        RaiseError(kForeignWorkFile, "Рабочий файл \"" + path +
                                         "\" заменен другим файлом во время профилактики и не используется.");
}

// The main file leaves its place only as the file the run copied (the check pass holds it).
bool MainFileChanged(const RunState& st) {
    const RunLocks* locks = st.mRunLocks.get();
    return locks != nullptr && locks->MainFile() != nullptr &&
           !locks->MainFile()->Unchanged(st.mDataBaseFile);
}

void RepairedCopyKept(MaintenanceContext& ctx, const std::string& newFile) {
    RunState& st = ctx.state;
    st.mDataBaseSizeAfter = privFileSize(ctx, newFile);
    if (st.mDataBaseSizeAfter < 0)
        ctx.log.LogAdd("Не удалось определить размер файла \"" + newFile + "\".", false);
    else
        ctx.log.LogAdd("Размер файла БД \"" + newFile + "\" - " + MemCStr(st.mDataBaseSizeAfter, true) +
                           BeforeText(st.mDataBaseSizeBefore) + ".",
                       true);
}

void KeptClosingLines(MaintenanceContext& ctx) {
    ctx.log.LogAdd("Профилактика БД завершена. БД готова к эксплуатации.", false, std::nullopt, true);
    ctx.log.LogAdd("Исходный файл БД (Korund5.mdb) оставлен без изменений.", false, std::nullopt, true);
}

std::string QuoteName(const std::string& name) {
    std::string out = "\"";
    for (char c : name)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// What is wrong with the compacted file: its pages as SQLite checks them, and the rows of
// each table against what the protocol reported. Empty when nothing.
std::string VerifyRepaired(MaintenanceContext& ctx, const std::string& file) {
    constexpr size_t kMostLines = 10;
    std::vector<std::string> problems;
    try {
        std::unique_ptr<db::Database> database = ctx.engine.OpenDatabase(file, true, true);
        // The table of the most rows is checked beside the others where a second core can
        // take it (on one core the split would only add a connection's memory).
        std::string largest;
        int64_t most = -1;
        if (ctx.env.UsableCores() > 1)
            for (const auto& [table, rows] : ctx.state.mTableRows)
                if (rows > most) most = rows, largest = table;
        const std::string report = database->IntegrityCheck(largest);
        for (size_t from = 0; !report.empty() && from <= report.size() && problems.size() < kMostLines;) {
            const size_t end = std::min(report.find('\n', from), report.size());
            problems.push_back(report.substr(from, end - from));
            from = end + 1;
        }
        for (const auto& [table, expected] : ctx.state.mTableRows) {
            if (problems.size() >= kMostLines) break;
            const int64_t rows =
                VarToLng(database->OpenRecordset("SELECT count(*) FROM " + QuoteName(table), 0)->GetValue(0), -1);
            if (rows != expected)
                problems.push_back("таблица " + table + ": записей " + ThisFotmat3(static_cast<int32_t>(rows)) +
                                   " вместо " + ThisFotmat3(static_cast<int32_t>(expected)));
        }
        database->Close();
    } catch (const K5Error& e) {
        problems.push_back(e.Description());
    }
    std::string text;
    for (const std::string& line : problems)
        text += (text.empty() ? "" : "\r\n") + line;
    return text;
}

void ReplacementPath(MaintenanceContext& ctx, const std::string& newFile, const std::string& compactFile,
                     ParallelArchive& parallelArchive) {
    RunState& st = ctx.state;
    const std::string mainFile = st.mDataBaseFile;

    DeleteFile(ctx.env, compactFile, true);
    ctx.log.LogAddBegin("Сжатие основного файла БД " + newFile, true);
    CompactInto(ctx, newFile, compactFile);
    const FileIdentity compacted = IdentityOf(compactFile);
    ctx.log.LogAddEnd(kDone, true);
    // The file that is to replace the main file is read back while it is still cached; a
    // file that fails is no replacement, and the repaired copy stays for a look.
    if (const std::string problems = VerifyRepaired(ctx, compactFile); !problems.empty()) {
        ctx.log.LogAdd("Проверка сжатого файла БД " + compactFile + " не пройдена:\r\n" + problems, false,
                       std::nullopt, true);
        InBackground(ctx, [&] { DeleteFile(ctx.env, compactFile, true); });
        KeptClosingLines(ctx);
        return;
    }
    // The compacted file holds everything the new one did.
    InBackground(ctx, [&] { DeleteFile(ctx.env, newFile, false); });

    ctx.log.LogAddBegin("Архивирование исходного файла БД в zip-архив", true);
    const std::string zip = st.mProtocolFolder + "Korund5" + st.mBackupSuffix + ".zip";
    std::string error;
    if (st.mFilesLib && st.mFilesLib->FolderExists(st.mProtocolFolder)) {
        // Made beside the copy when it could be; otherwise here, as a step of its own.
        const int32_t code = parallelArchive.Adopt(ctx)
                                 ? 0
                                 : ZipFile(ctx.ui, ctx.env, st.mFilesLib.get(), st.mDataBaseFolder + "Korund5.mdb", zip);
        if (code != 0) error = "\r\n" + ZipErrorText(code) + "\r\n";
    } else {
        // The same words and reason line as the BigDocs archiving gives.
        error = MissingFolderText(st.mProtocolFolder);
    }
    const bool archived = error.empty() && IsFileExists(zip);
    if (archived) {
        ctx.log.LogAddEnd(kDone, true);
    } else {
        ctx.log.LogAddEnd(" завершено с ошибкой:" + error, false, std::nullopt, true);
        // An archive the library gave up on is not a copy of anything.
        if (!error.empty()) InBackground(ctx, [&] { DeleteFile(ctx.env, zip, true); });
    }

    RequireOwnWorkFile(compactFile, compacted, true);
    if (MainFileChanged(st)) {
        ctx.log.LogAdd("Файл базы данных \"" + mainFile +
                           "\" изменен другой программой во время профилактики и не заменяется.",
                       false);
        InBackground(ctx, [&] { MoveFile(ctx.env, compactFile, newFile); });
        RepairedCopyKept(ctx, newFile);
        return KeptClosingLines(ctx);
    }

    // Korund5.mdb names a whole file at every instant, even after a crash: the old file gets
    // its second name (in the trash, else the backup name) before the compacted file takes
    // its place, and a move into the trash comes last.
    const std::string backupName = "Korund5" + st.mBackupSuffix + ".mdb";
    const std::string backupPath = st.mDataBaseFolder + backupName;
    bool underBackupName = !archived;
    InBackground(ctx, [&] {
        if (archived && LinkIntoTrash(ctx.env, mainFile) == 0) {
            CopyOwnerAndMode(mainFile, compactFile);
            return MoveFile(ctx.env, compactFile, mainFile);
        }
        DeleteFile(ctx.env, backupPath, true);
        ReplaceKeeping(ctx.env, compactFile, mainFile, backupPath);
        // Without a trash the old file keeps the backup name: it only ever leaves as a whole.
        if (archived) underBackupName = FileToRecycleBin(ctx.env, backupPath) != 0 && IsFileExists(backupPath);
    });
    if (archived)
        ctx.log.LogAdd(
            "Оригинал файла Korund5.mdb (до профилактики) запакован в zip-архив: \r\n   " + zip + ".", true);
    if (underBackupName)
        ctx.log.LogAdd("Оригинал файла Korund5.mdb (до профилактики) переименован в: " + backupName + ".",
                       true);

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
    if (IsFileExists(newFile)) {
        DeleteFile(ctx.env, compactFile, true);
        ctx.log.LogAddBegin("Сжатие файла \"" + newFile + "\"", true);
        CompactInto(ctx, newFile, compactFile);
        ctx.log.LogAddEnd(kDone, true);
        // One rename: the repaired file is never missing under its name.
        InBackground(ctx, [&] { MoveFile(ctx.env, compactFile, newFile); });
        RepairedCopyKept(ctx, newFile);
    }
    KeptClosingLines(ctx);
}

} // namespace

void FixMainDataBase(MaintenanceContext& ctx) {
    try {
        RunState& st = ctx.state;
        const std::string newFile = st.mDataBaseFolder + "Korund5_Prophylaxis.mdb";
        const std::string compactFile = st.mDataBaseFolder + "Korund5_Compact.mdb";

        st.mTableRows.clear();
        // Removed again by its destructor when the run stops, keeps the file or fails.
        ParallelArchive parallelArchive(ctx.env, st.mDataBaseFolder + "Korund5.mdb",
                                        st.mProtocolFolder + "Korund5" + st.mBackupSuffix + ".zip");
        CopyDataBase(ctx, st.mDataBaseFile, newFile, st.mLastVerFile);
        ctx.log.LogAddEnd(std::string(), true);
        // The copy's own file; the steps below change its contents, never its identity.
        const std::optional<FileIdentity> made =
            IsFileExists(newFile) ? std::optional<FileIdentity>(IdentityOf(newFile)) : std::nullopt;

        if (ctx.log.GlobalStop()) {
            ctx.log.LogAdd("Профилактика БД прервана пользователем.", false, std::nullopt, true);
            ctx.log.LogAdd("Исходный файл БД оставлен без изменений.", false, std::nullopt, true);
            return;
        }

        // Each option is read when its step is reached: a change during the run counts.
        if (ctx.options.RemoveOrphaned()) DeletingUnnecessaryRecords(ctx, newFile);
        if (ctx.options.RemoveOrphanedBigDocs()) CheckBigFolder(ctx, st.mDataBaseFolder, newFile);
        if (ctx.options.CompactBigDocs()) CompactBigDocs(ctx, st.mDataBaseFolder);

        if (made) RequireOwnWorkFile(newFile, *made, false);
        if (st.mProphylaxisOk || ctx.options.ZipAndRename())
            ReplacementPath(ctx, newFile, compactFile, parallelArchive);
        else {
            parallelArchive.Discard(); // its disk space is the compaction's now
            KeepingPath(ctx, newFile, compactFile);
        }
    }
    K5_TRAP(kFrm, "FixMainDataBase")
}

} // namespace k5
