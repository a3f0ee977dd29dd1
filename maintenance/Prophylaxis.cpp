#include "maintenance/Prophylaxis.h"

#include "maintenance/DatabaseFiles.h"
#include "maintenance/Leftovers.h"
#include "maintenance/Probes.h"
#include "maintenance/RunLocks.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/FilesLib.h"
#include "support/Settings.h"

#include <memory>
#include <string>
#include <sys/stat.h>

namespace k5 {

namespace {

constexpr const char* kHyphens = "----------------------------------------------";

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

const char* YesNo(bool ticked) {
    return ticked ? "Да" : "Нет";
}

// The library object is what the folder steps talk to; without one they cannot run, and
// that is an unexpected failure of the pass rather than a finding.
FilesLib& RequireFilesLib(RunState& state) {
    if (!state.mFilesLib) RaiseError(91, "Переменная объекта или переменная блока With не задана");
    return *state.mFilesLib;
}

// Steps 13 and 14 share this: open exclusively and read-only, write the version lines.
// Returns the database version (empty when it could not be read or the file did not open).
std::string ReadVersions(MaintenanceContext& ctx, const std::string& path, const char* versionFailure,
                         bool* opened = nullptr, bool verify = false) {
    std::unique_ptr<db::Database> database = OpenMdb(ctx, path, "Файл базы данных", true, true, verify);
    if (opened != nullptr) *opened = database != nullptr;
    if (!database) return std::string();
    const std::string version = GetDataBaseVersion(ctx, *database);
    if (!version.empty())
        ctx.log.LogAdd("Версия базы данных из файла " + Quoted(path) + ": " + version + ".", true);
    else
        ctx.log.LogAdd(std::string(versionFailure) + Quoted(path) + ".", false);
    ctx.log.LogAdd("Версия формата файла базы данных " + Quoted(path) + ": " + database->Version() + ".",
                   true);
    database->Close();
    return version;
}

void WriteableFolderEntries(MaintenanceContext& ctx, const std::string& folder, bool& ok) {
    std::string errText;
    ok = CheckForWriteableFolder(ctx.env, folder, errText);
    if (!ok) {
        ctx.log.LogAdd("Отсутствует возможность записи в папку " + Quoted(folder) + ".", false);
        ctx.log.LogAdd(
            "Попытка создания файла в этой папке завершается ошибкой со следующим сообщением:\r\n" + errText,
            true);
    } else {
        ctx.log.LogAdd("Возможность записи в папку " + Quoted(folder) + " проверена.", true);
    }
}

std::string ParameterSummary(RunOptions& options) {
    std::string s;
    s += std::string(kHyphens) + "\r\n";
    s += "Заданы параметры профилактики: \r\n";
    s += "   Путь к папке с БД: " + options.FolderText() + "\r\n";
    s +=
        "   Максимальное количество сообщений об ошибках для каждой таблицы: " + options.LimitText() + "\r\n";
    s += std::string("   В таблицах удалять недоступные записи: ") + YesNo(options.RemoveOrphaned()) + "\r\n";
    s += std::string("   Очистить результаты проверок документов персучета: ") +
         YesNo(options.ClearPfrErrors()) + "\r\n";
    s += std::string("   В подкаталоге \\BigDocs\\ удалять недоступные файлы: ") +
         YesNo(options.RemoveOrphanedBigDocs()) + "\r\n";
    s += std::string("   Сжимать файлы в подкаталоге \\BigDocs\\: ") + YesNo(options.CompactBigDocs()) +
         "\r\n";
    s += std::string("   Архивировать и переименовать Korund5.mdb независимо от результата профилактики: ") +
         YesNo(options.ZipAndRename()) + "\r\n";
    s += kHyphens;
    return s;
}

// The main file stays as the check read it until the run has archived and replaced it:
// nobody else opens it through the engine or commits to it through SQLite's locks.
void HoldMainFile(MaintenanceContext& ctx) {
    RunState& st = ctx.state;
    try {
        st.mRunLocks->HoldMainFile(ctx.engine, st.mDataBaseFile);
    } catch (const db::EngineError& e) {
        if (e.Number() == 3045 || e.Number() == 3356)
            LogInUse(ctx, "Файл базы данных", st.mDataBaseFile);
        else
            ctx.log.LogAdd("Файл базы данных " + Quoted(st.mDataBaseFile) +
                               " не удалось открыть по следующей причине:\r\n" + e.Description(),
                           false);
    }
}

// Steps 6 to 20; returns when the pass reaches the verdict (also early, for the three
// stops that make further checks pointless).
void Checks(MaintenanceContext& ctx, bool run) {
    RunState& st = ctx.state;

    std::string folder = ctx.options.FolderText();
    if (folder.empty()) folder = GetProductSetting_String(true, "General", "DataBasePath", std::string());
    st.mDataBaseFolder = folder;

    ctx.log.LogAdd("Microsoft DAO версия " + ctx.engine.Version(), true);

    if (st.mDataBaseFolder.empty()) {
        ctx.log.LogAdd("В настройках программы отсутствует информация о расположении базы данных.", false);
        ctx.log.LogAdd("Возможно, следует переустановить программу.", true);
        return;
    }

    st.mFilesLibErrorShown = false;
    st.mFilesLib = privGetK5FilesLib(ctx);

    if (st.mDataBaseFolder.back() != '/') st.mDataBaseFolder += '/';
    ctx.options.SetFolderText(st.mDataBaseFolder);
    const std::string& dbFolder = st.mDataBaseFolder;
    st.mDataBaseFile = dbFolder + "Korund5.mdb";
    st.mLastVerFile = dbFolder + "Korund5_LastVer.mdb";

    if (!IsFolderExists(dbFolder)) {
        ctx.log.LogAdd("Не найдена папка базы данных " + Quoted(dbFolder) + ".", false);
        return;
    }
    ctx.log.LogAdd("Папка базы данных " + Quoted(dbFolder) + " найдена.", true);

    // One run per folder, from here to the end of the run.
    st.mRunLocks = std::make_shared<RunLocks>(dbFolder);
    if (run && !st.mRunLocks->FolderInUse()) RemoveLeftovers(ctx);

    // Main file.
    if (IsFileExists(st.mDataBaseFile)) {
        ctx.log.LogAdd("Файл базы данных " + Quoted(st.mDataBaseFile) + " найден.", true);
        if (st.mRunLocks->FolderInUse()) {
            LogInUse(ctx, "Файл базы данных", st.mDataBaseFile);
        } else {
            bool opened = false;
            st.mDataBaseVersion = ReadVersions(
                ctx, st.mDataBaseFile, "Не удалось определить версию базы данных из Файла: ", &opened);
            if (opened) HoldMainFile(ctx);
        }
    } else {
        ctx.log.LogAdd("В папке " + Quoted(dbFolder) + " не найден файл базы данных \"Korund5.mdb\".", false);
    }

    // Reference file.
    if (!IsFileExists(st.mLastVerFile)) {
        ctx.log.LogAdd("В папке " + Quoted(dbFolder) + " не найден файл \"Korund5_LastVer.mdb\".", false);
        ctx.log.LogAdd(
            "Данный файл поставляется в составе дистрибутива программы и необходим для обновления и "
            "профилактики базы данных. ",
            true);
    } else {
        ctx.log.LogAdd("Файл базы данных " + Quoted(st.mLastVerFile) + " найден.", true);
        // Every table is rebuilt from this file: a damaged one must not serve as the pattern.
        st.mLastVerVersion = ReadVersions(
            ctx, st.mLastVerFile, "Не удалось определить версию базы данных из файла: ", nullptr, true);
    }

    if (!st.mDataBaseVersion.empty() && !st.mLastVerVersion.empty() &&
        st.mDataBaseVersion != st.mLastVerVersion)
        ctx.log.LogAdd("Не совпадают версии файлов баз данных (" + st.mDataBaseVersion + " и " +
                           st.mLastVerVersion + ").",
                       false);

    bool writeable = false;
    WriteableFolderEntries(ctx, dbFolder, writeable);
    if (writeable) CheckDiskFreeSpace(ctx, st.mDataBaseFile);

    if (IsFileExists(st.mDataBaseFile)) {
        st.mDataBaseSizeBefore = privFileSize(ctx, st.mDataBaseFile);
        if (st.mDataBaseSizeBefore < 0)
            ctx.log.LogAdd("Не удалось определить размер файла \"Korund5.mdb\".", false);
        else
            ctx.log.LogAdd("Размер файла \"Korund5.mdb\" - " + MemCStr(st.mDataBaseSizeBefore, true) + ".",
                           true);
    }

    st.mProtocolFolder = dbFolder + kProtocolFolderName + "/";
    if (!RequireFilesLib(st).FolderExists(st.mProtocolFolder)) {
        std::string reason;
        if (!RequireFilesLib(st).CreateFolder(st.mProtocolFolder, reason)) {
            ctx.log.LogAdd("Не удалось создать папку " + st.mProtocolFolder + "\r\n", false);
            ctx.log.LogAdd("Попытка создания папки завершается ошибкой со следующим сообщением:\r\n" + reason,
                           true);
        }
    }
    if (!RequireFilesLib(st).FolderExists(st.mProtocolFolder)) return;

    bool protocolWriteable = false;
    WriteableFolderEntries(ctx, st.mProtocolFolder, protocolWriteable);
}

} // namespace

void Prophylaxis(MaintenanceContext& ctx, bool run) {
    try {
        RunState& st = ctx.state;
        st.mDataBaseVersion.clear();
        st.mLastVerVersion.clear();

        st.mMaxErrorMessages = NormalizeLimit(ctx.options.LimitText());
        ctx.options.SetLimitText(std::to_string(st.mMaxErrorMessages));
        ctx.ui.YieldOnce();

        ctx.log.ClearPane();
        // The empty text log is the name the run took for itself (RunStart): it stays.
        struct stat log {};
        if (!st.mLogFileTxt.empty() && ::lstat(st.mLogFileTxt.c_str(), &log) == 0 && log.st_size > 0)
            DeleteFile(ctx.env, st.mLogFileTxt, true);
        st.mProphylaxisOk = true;

        // The folder and the main file are held until the pass, and the run behind it, ends.
        struct Release {
            RunState& st;
            ~Release() { st.mRunLocks.reset(); }
        } release{st};
        Checks(ctx, run);

        if (st.mProphylaxisOk) {
            ctx.log.LogAdd("Предварительные проверки пройдены.", true, kColourGreen, true);
            if (run) {
                ctx.log.LogAddEnd(ParameterSummary(ctx.options), true);
                FixMainDataBase(ctx);
            } else {
                ctx.log.LogAddEnd("Можно запускать процесс профилактики базы данных.", true);
            }
        } else {
            ctx.log.LogAdd("Дальнейшая работа программы невозможна." + st.mAdviceText, false, std::nullopt,
                           true);
        }
    }
    K5_TRAP(kFrm, "Prophylaxis")
}

} // namespace k5
