#include "maintenance/BigDocs.h"

#include "archive/Zipper.h"
#include "maintenance/DatabaseFiles.h"
#include "maintenance/Probes.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <sys/stat.h>

namespace k5 {

namespace {

std::string ToLower(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A file name as the protocol shows it: anyone who may write into the folder chooses the
// names, so even a CR LF in one is shown escaped rather than breaking its line.
std::string Shown(const std::string& file) {
    return EscapeControls(file, false);
}

std::string BigDocsFolder(const std::string& dbFolder) {
    return dbFolder + "BigDocs";
}

// Lists "*_*.mdb" of the BigDocs folder through the kept file-library object. A link is
// no document file of this folder: renaming, archiving or compacting it would follow it
// to a file elsewhere (or replace it by a copy), so it is named and left as it is.
std::vector<std::string> DocumentFiles(MaintenanceContext& ctx, const std::string& dbFolder) {
    std::vector<std::string> files;
    for (std::string& file : KeptFilesLib(ctx)->ListFiles(BigDocsFolder(dbFolder), "*_*.mdb", true, true)) {
        struct stat st {};
        if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ctx.log.LogAdd("Файл " + Shown(file) + " является символической ссылкой и пропущен.", true);
        else
            files.push_back(std::move(file));
    }
    return files;
}

// Base name and lower-case extension as the file library splits them.
void SplitName(MaintenanceContext& ctx, const std::string& file, std::string& base, std::string& ext) {
    std::string out1, out4;
    KeptFilesLib(ctx)->SplitFileName(file, out1, base, ext, out4);
    ext = ToLower(ext);
}

} // namespace

std::optional<int64_t> DocumentIdOf(const std::string& baseName) {
    const size_t underscore = baseName.find('_');
    const std::string id = baseName.substr(0, underscore);
    if (id.empty() || id.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (char c : id) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string MissingFolderText(const std::string& folder) {
    struct stat st {};
    std::string why;
    if (::stat(folder.c_str(), &st) != 0)
        why = GetApiErrorText(errno);
    else if (!S_ISDIR(st.st_mode))
        why = GetApiErrorText(ENOTDIR);
    // The system text may end with a line break of its own.
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r'))
        why.pop_back();
    return " не найдена папка " + folder + "\r\n(" + why + ")\r\n";
}

void CheckBigFolder(MaintenanceContext& ctx, const std::string& aDbFolder, const std::string& aDbFile) {
    try {
        ctx.log.LogAddEnd("Поиск и переименование лишних файлов в подкаталоге BigDocs:", true);
        std::unique_ptr<db::Database> database = ctx.engine.OpenDatabase(aDbFile, true, false);
        const std::vector<std::string> files = DocumentFiles(ctx, aDbFolder);
        ctx.env.Pause(Wait::BigDocs, ctx.ui);
        const std::string suffix = "-лишний-файл-" + RunStamp(ctx.env.Now());
        int64_t renamed = 0;
        int64_t done = 0;
        for (const std::string& file : files) {
            ctx.ui.Progress("Поиск лишних файлов в BigDocs", ++done, static_cast<int64_t>(files.size()));
            std::string base, ext;
            SplitName(ctx, file, base, ext);
            if (ext != "mdb") continue;
            // The id reaches the query only as a checked whole number bound as a parameter:
            // no part of a file name is ever read as SQL.
            const std::optional<int64_t> id = DocumentIdOf(base);
            if (!id)
                RaiseError(3075,
                           "Имя файла \"" + Shown(file) +
                               "\" не начинается с номера документа: часть имени до \"_\" должна быть целым "
                               "числом.");
            std::unique_ptr<db::Recordset> rs =
                database->OpenRecordset("select * from DOC_REGISTRY where DOCUMENT_ID=?", {Value(*id)});
            const bool orphan = rs->RecordCount() == 0;
            rs->Close();
            if (orphan) {
                const std::string newName = file + suffix;
                KeptFilesLib(ctx)->RenameFile(file, newName);
                ctx.log.LogAddEnd(Shown(newName), false);
                ++renamed;
            }
        }
        database->Close();
        ctx.log.LogAddEnd("Переименовано файлов: " + std::to_string(renamed) + "\r\n", true);
    }
    K5_TRAP(kFrm, "CheckBigFolder")
}

void CompactBigDocs(MaintenanceContext& ctx, const std::string& aDbFolder) {
    try {
        const std::vector<std::string> files = DocumentFiles(ctx, aDbFolder);
        ctx.log.LogAddBegin("Архивирование файлов БД из папки BigDocs в zip-архив", true);
        const std::string zipName =
            ctx.state.mProtocolFolder + "Korund5_BigDocs" + ctx.state.mBackupSuffix + ".zip";
        std::string error;
        if (ctx.state.mFilesLib && ctx.state.mFilesLib->FolderExists(ctx.state.mProtocolFolder)) {
            const int32_t code = ZipFiles(ctx.ui, ctx.env, zipName, files);
            if (code != 0) error = "\r\n" + ZipErrorText(code) + "\r\n";
            // Only what the archive holds may be compacted: it must hold every listed file
            // (the library takes at most 1024 names).
            if (code == 0 && IsFileExists(zipName)) {
                const std::string missing = FileMissingFromZip(zipName, files);
                if (!missing.empty()) error = "\r\nВ zip-архиве нет файла " + Shown(missing) + "\r\n";
            }
        } else {
            error = MissingFolderText(ctx.state.mProtocolFolder);
        }
        if (!error.empty() || !IsFileExists(zipName)) {
            ctx.log.LogAddEnd(" завершено с ошибкой:" + error, false, std::nullopt, true);
            ctx.log.LogAdd(
                "Без успешного создания резервной копии сжетие файлов из папки BigDocs не производится.",
                false, std::nullopt, true);
            return;
        }
        ctx.log.LogAddEnd(" завершено успешно.", true);
        ctx.log.LogAdd("Оригиналы файлов из папки BigDocs (до профилактики) запакованы в zip-архив: \r\n   " +
                           zipName + ".",
                       true);
        ctx.log.LogAddEnd("Сжатие файлов в папке BigDocs:", true);
        ctx.env.Pause(Wait::BigDocs, ctx.ui);

        // Sums are 64-bit: a folder of large documents may well exceed 2 GB in all.
        int64_t compacted = 0;
        double sumBefore = 0, sumAfter = 0;
        int64_t done = 0;
        for (const std::string& file : files) {
            ctx.ui.Progress("Сжатие файлов в папке BigDocs", ++done, static_cast<int64_t>(files.size()));
            std::string base, ext;
            SplitName(ctx, file, base, ext);
            if (ext != "mdb") continue;
            ctx.log.LogAddBegin("Сжатие файла " + Shown(file), true);
            const double before = std::nearbyint(privFileSize(ctx, file));
            CompactMdb(ctx, file);
            const double after = std::nearbyint(privFileSize(ctx, file));
            if (before < 0 || after < 0) {
                ctx.log.LogAddEnd(" завершено (размер файла " + std::to_string(static_cast<int64_t>(before)) +
                                      " ==>> " + std::to_string(static_cast<int64_t>(after)) + ").",
                                  false, kColourRed, true);
            } else {
                sumBefore += before;
                sumAfter += after;
                ctx.log.LogAddEnd(" завершено успешно (" + MemCStr(before, true) + " ==>> " +
                                      MemCStr(after, true) + ").",
                                  true);
            }
            ++compacted;
        }
        ctx.log.LogAddEnd("В папке BigDocs сжато файлов всего: " + std::to_string(compacted) + " (" +
                              MemCStr(sumBefore, true) + " ==>> " + MemCStr(sumAfter, true) + ").\r\n",
                          true);
    }
    K5_TRAP(kFrm, "CompactBigDocs")
}

} // namespace k5
