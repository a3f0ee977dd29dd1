// Whole runs as "Выполнить" starts them, one per outcome: protocol, files left, archive, trash.
#include "Fixtures.h"
#include "maintenance/ParallelArchive.h"
#include "support/FileUtils.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace k5::mtest {

struct Repair : RunFixture {
    std::string before;
    size_t trashed = 0;
    // Two cores unless a test says otherwise: the archive is made beside the copy.
    unsigned& cores = env.cores;

    Repair() { cores = 2; }
    std::string WorkFile() { return Zip() + ParallelArchive::kWorkSuffix; }

    void Make(int mainMinor = 2, bool duplicates = false) {
        MakeFolder(mainMinor, duplicates);
        before = ReadAll(mainFile);
        options.folderText = folder;
        trashed = FilesIn(trash + "/files").size();
    }
    std::string Zip() { return protocolFolder + "/Korund5" + state.mBackupSuffix + ".zip"; }
    void ExpectFiles(bool withCopy, bool withZip) {
        std::vector<std::string> main{"Korund5.mdb", "Korund5_LastVer.mdb"},
            logs{"Log_" + RunStampText() + ".rtf", "Log_" + RunStampText() + ".txt"};
        if (withCopy) main.push_back("Korund5_Prophylaxis.mdb");
        if (withZip) logs.insert(logs.begin(), "Korund5" + state.mBackupSuffix + ".zip");
        EXPECT_EQ(FilesIn(folder), main);
        EXPECT_EQ(FilesIn(protocolFolder), logs);
        EXPECT_EQ(FilesIn(trash + "/files").size() - trashed, withZip ? 1u : 0u);
    }
};

// Check pass failed, stopped after the copy, kept because of failures: the main file stays.
TEST_F(Repair, OutcomesThatKeepTheMainFile) {
    const std::string stopped = "Профилактика БД прервана пользователем.\r\n" + std::string(kStamp) +
                                "Исходный файл БД оставлен без изменений.\r\n",
                      kept = "Профилактика БД завершена. БД готова к эксплуатации.\r\n" +
                             std::string(kStamp) +
                             "Исходный файл БД (Korund5.mdb) оставлен без изменений.\r\n";
    const struct {
        int minor;
        bool duplicates, stop, withCopy;
        std::string end;
    } cases[] = {{1, false, false, false, "Дальнейшая работа программы невозможна.\r\n"},
                 {2, false, true, true, stopped},
                 {2, true, false, true, kept}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end);
        QDir(QString::fromStdString(folder)).removeRecursively();
        QDir().mkpath(QString::fromStdString(folder));
        log.ClearPane();
        state.mStopRequested = false;
        Make(c.minor, c.duplicates);
        bool sawWorkFile = false;
        ui.onYield = [&] {
            state.mStopRequested = state.mStopRequested || (c.stop && Has("Копирование таблиц"));
            sawWorkFile = sawWorkFile || (!state.mBackupSuffix.empty() && Exists(WorkFile()));
        };
        StartRun(ctx);
        EXPECT_EQ(sawWorkFile, c.withCopy); // made during the copy, gone when the main file stays
        EXPECT_FALSE(state.mProphylaxisOk);
        EXPECT_TRUE(Pane().ends_with(c.end)) << Pane();
        EXPECT_EQ(log.Pane().Runs().back().colour, kColourDarkRed);
        EXPECT_EQ(Has("Сжатие файла \"" + folder + "/Korund5_Prophylaxis.mdb\" завершено успешно."),
                  c.duplicates);
        EXPECT_TRUE(ReadAll(mainFile) == before);
        ExpectFiles(c.withCopy, false);
        if (c.duplicates) EXPECT_EQ(OrgRows(folder + "/Korund5_Prophylaxis.mdb"), 199); // one refused
    }
}

// The folder field wins over a different "DataBasePath"; archives of the stamps the start
// would take make it wait for one of its own (and stay as they were); the parameter summary
// has its ten lines.
TEST_F(Repair, FolderFieldOwnStampAndParameterSummary) {
    Make();
    SetSetting(root + "/другая папка");
    options.clearPfrErrors = options.zipAndRename = true;
    options.limitText = " 7 ";
    QDir().mkpath(QString::fromStdString(protocolFolder));
    int pauses = 0;
    std::vector<std::string> earlier;
    env.pause = [&](Wait which, UserInteraction& u) {
        if (which != Wait::RunStamp) return env.SystemEnv::Pause(which, u);
        if (++pauses == 1) {
            for (const std::time_t t : {std::time(nullptr), std::time(nullptr) + 1}) {
                std::tm l{};
                localtime_r(&t, &l);
                earlier.push_back(
                    protocolFolder + "/Korund5_резервная_копия_" +
                    RunStampAt(l.tm_year + 1900, l.tm_mon + 1, l.tm_mday, l.tm_hour, l.tm_min, l.tm_sec) +
                    ".zip");
                std::ofstream(earlier.back()) << "earlier run";
            }
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        u.YieldOnce();
    };
    StartRun(ctx);
    EXPECT_GE(pauses, 2);
    EXPECT_EQ(state.mDataBaseFolder, folder + "/");
    for (const std::string& zip : earlier) {
        EXPECT_NE(zip, Zip());
        EXPECT_EQ(ReadAll(zip), "earlier run");
    }
    EXPECT_TRUE(Exists(Zip()));
    const std::string line(46, '-');
    EXPECT_TRUE(
        Shows(std::string(kStamp) + "Предварительные проверки пройдены.\r\n" + line +
              "\r\nЗаданы параметры профилактики: \r\n"
              "   Путь к папке с БД: " +
              folder +
              "/\r\n"
              "   Максимальное количество сообщений об ошибках для каждой таблицы: 7\r\n"
              "   В таблицах удалять недоступные записи: Нет\r\n"
              "   Очистить результаты проверок документов персучета: Да\r\n"
              "   В подкаталоге \\BigDocs\\ удалять недоступные файлы: Нет\r\n"
              "   Сжимать файлы в подкаталоге \\BigDocs\\: Нет\r\n"
              "   Архивировать и переименовать Korund5.mdb независимо от результата профилактики: Да\r\n" +
              line + "\r\n" + kStamp + "Новый (пустой) файл БД"));
}

TEST_F(Repair, CleanRunReplacesArchivesAndTrashesTheOldFile) {
    // Archived beside the copy with two cores, at its step with one: the same files and lines.
    for (const unsigned n : {2u, 1u}) {
        SCOPED_TRACE(n);
        cores = n;
        QDir(QString::fromStdString(folder)).removeRecursively();
        QDir().mkpath(QString::fromStdString(folder));
        log.ClearPane();
        Make();
        bool workFileWhileCompacting = false;
        ui.onYield = [&] {
            workFileWhileCompacting =
                workFileWhileCompacting || (Has("Сжатие основного файла БД") && Exists(WorkFile()));
        };
        // As under the window: long engine calls report through the user, always from this thread.
        ctx.engine.SetProgressHook(
            [this](int64_t done, int64_t total) { ui.Progress(std::string(), done, total); });
        StartRun(ctx);
        ctx.engine.SetProgressHook(nullptr);
        EXPECT_EQ(workFileWhileCompacting, n == 2);
        EXPECT_EQ(Shell("unzip -tq " + Quote(Zip()) + " >/dev/null 2>&1; echo $?"), "0\n");
        EXPECT_EQ(ui.yieldsOffThread, 0);
        ASSERT_TRUE(state.mProphylaxisOk) << Pane();
        EXPECT_TRUE(Shows(std::string(kStamp) +
                          "Архивирование исходного файла БД в zip-архив завершено успешно.\r\n" + kStamp +
                          "Оригинал файла Korund5.mdb (до профилактики) запакован в zip-архив: \r\n   " +
                          Zip() + ".\r\n"));
        EXPECT_TRUE(Pane().ends_with(std::string(kStamp) + "Профилактика БД завершена успешно.\r\n"))
            << Pane();
        EXPECT_EQ(log.Pane().Runs().back().colour, kColourGreen);
        // No work file left; the archive holds exactly the old file, which is also in the trash.
        ExpectFiles(false, true);
        EXPECT_EQ(OrgRows(mainFile), 200);
        EXPECT_FALSE(ReadAll(mainFile) == before);
        EXPECT_EQ(Shell("unzip -Z1 " + Quote(Zip())), "Korund5.mdb\n");
        EXPECT_TRUE(Shell("unzip -p " + Quote(Zip()) + " Korund5.mdb") == before);
        const auto files = FilesIn(trash + "/files");
        EXPECT_TRUE(
            std::ranges::any_of(files, [&](auto& f) { return ReadAll(trash + "/files/" + f) == before; }));
    }
}

// A run that fails after the copy (the new file cannot be removed once compacted) leaves
// neither the work file nor an archive.
TEST_F(Repair, FailedRunLeavesNoWorkFile) {
    Make();
    bool sawWorkFile = false;
    ui.onYield = [&] {
        sawWorkFile = sawWorkFile || (!state.mBackupSuffix.empty() && Exists(WorkFile()));
        if (Has("Сжатие основного файла БД") && Exists(folder + "/Korund5_Prophylaxis.mdb"))
            QFile::remove(QString::fromStdString(folder + "/Korund5_Prophylaxis.mdb"));
    };
    EXPECT_THAT(ErrorOf([&] { StartRun(ctx); }),
                HasSubstr("[K5VedovodeduzOR::ProphylaxisFrm.FixMainDataBase]"));
    EXPECT_TRUE(sawWorkFile);
    EXPECT_FALSE(Exists(WorkFile()));
    EXPECT_FALSE(Exists(Zip()));
    EXPECT_TRUE(ReadAll(mainFile) == before);
}

// A main file that changed after the archive began is not adopted (nothing left under either
// name: the step makes the archive from the file as it is then); one core starts nothing.
TEST_F(Repair, ChangedMainFileIsNotAdoptedAndOneCoreStartsNothing) {
    const std::string work = root + "/work";
    QDir().mkpath(QString::fromStdString(work));
    std::ofstream(work + "/Korund5.mdb") << "old bytes";
    {
        ParallelArchive archive(env, work + "/Korund5.mdb", work + "/Korund5_y.zip");
        EXPECT_TRUE(archive.Started());
        // The file changes (as no run lets it) before the archive is adopted.
        std::ofstream(work + "/Korund5.mdb", std::ios::app) << " and more";
        EXPECT_FALSE(archive.Adopt(ctx));
        EXPECT_FALSE(Exists(work + "/Korund5_y.zip"));
        EXPECT_FALSE(Exists(archive.WorkFile()));
    }
    cores = 1;
    ParallelArchive single(env, work + "/Korund5.mdb", work + "/Korund5_z.zip");
    EXPECT_FALSE(single.Started());
    EXPECT_FALSE(single.Adopt(ctx));
    EXPECT_EQ(FilesIn(work), std::vector<std::string>{"Korund5.mdb"});
}

TEST_F(Repair, VanishedProtocolFolderKeepsTheOldFileUnderTheBackupName) {
    Make();
    // The protocol folder goes away while the new file is being compacted.
    ui.onYield = [&] {
        if (Has("Сжатие основного файла БД") && Exists(protocolFolder))
            QDir(QString::fromStdString(protocolFolder)).removeRecursively();
    };
    // The RTF log has no folder to go to: it is not saved, and the run says why.
    EXPECT_EQ(StartRun(ctx), "не найдена папка \"" + protocolFolder + "/\".");
    EXPECT_TRUE(Shows(std::string(kStamp) +
                      "Архивирование исходного файла БД в zip-архив завершено с ошибкой: не найдена папка " +
                      protocolFolder + "/\r\n("));
    EXPECT_TRUE(Shows(std::string(kStamp) +
                      "Оригинал файла Korund5.mdb (до профилактики) переименован в: Korund5" +
                      state.mBackupSuffix + ".mdb.\r\n"));
    EXPECT_TRUE(Pane().ends_with("Профилактика БД завершена. БД готова к эксплуатации.\r\n")) << Pane();
    EXPECT_TRUE(ReadAll(folder + "/Korund5" + state.mBackupSuffix + ".mdb") == before);
    EXPECT_EQ(OrgRows(mainFile), 200);
    EXPECT_EQ(FilesIn(folder).size(), 3u); // the backup, the new main file and the reference
    EXPECT_EQ(FilesIn(trash + "/files").size(), trashed);
}

// The main file changes under the run although it is held (a program that ignores the locks):
// it is not replaced, and the repaired copy stays beside it.
TEST_F(Repair, MainFileChangedDuringTheRunIsNotReplaced) {
    Make();
    bool written = false;
    ui.onYield = [&] {
        if (!written && (written = Has("Архивирование исходного файла БД")))
            std::ofstream(mainFile, std::ios::binary | std::ios::app) << std::string(4096, '\0');
    };
    StartRun(ctx);
    EXPECT_TRUE(Shows("Файл базы данных \"" + mainFile +
                      "\" изменен другой программой во время профилактики и не заменяется."));
    EXPECT_TRUE(Pane().ends_with("Исходный файл БД (Korund5.mdb) оставлен без изменений.\r\n")) << Pane();
    EXPECT_EQ(ReadAll(mainFile).size(), before.size() + 4096);
    EXPECT_EQ(OrgRows(folder + "/Korund5_Prophylaxis.mdb"), 200);
    EXPECT_FALSE(Exists(folder + "/Korund5_Compact.mdb"));
    EXPECT_FALSE(state.mProphylaxisOk);
}

// Faults of the test Env in a whole run: the k-th call of a kind fails with a system error,
// which the protocol or the raised error names, and the main file stays as it was.
TEST_F(Repair, FailedCallOfTheEnvIsNamedAndKeepsTheMainFile) {
    const struct {
        const char* what;
        int64_t k;
        int error;
    } cases[] = {{"rename", 1, EACCES}, {"fsync", 1, EIO}, {"fsync", 5, ENOSPC}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.k));
        QDir(QString::fromStdString(folder)).removeRecursively();
        QDir().mkpath(QString::fromStdString(folder));
        log.ClearPane();
        Make();
        k5test::TestEnv::Faults faults;
        faults.failOnly = c.what;
        faults.failAtCall = c.k;
        faults.failError = c.error;
        env.Reset(faults);
        std::string raised;
        try {
            StartRun(ctx);
        } catch (const K5Error& e) {
            raised = e.Description();
        }
        env.Reset();
        // Either a failure entry and the verdict, or the error raised to the caller.
        EXPECT_TRUE(!state.mProphylaxisOk || !raised.empty());
        EXPECT_THAT(Pane() + raised, HasSubstr(GetApiErrorText(c.error)));
        EXPECT_TRUE(ReadAll(mainFile) == before) << "the main file was replaced";
    }
}

// A write of the compacted file that the disk drops unnoticed is caught by the check of the
// compacted file: the main file is not replaced.
TEST_F(Repair, LostWriteOfTheCompactedFileIsCaughtBeforeTheSwap) {
    Make();
    k5test::TestEnv::Faults faults;
    faults.loseWriteName = "Korund5_Compact.mdb";
    faults.loseWriteAt = 1000000000;
    env.Reset(faults);
    StartRun(ctx);
    ASSERT_TRUE(state.mProphylaxisOk) << Pane();
    const int64_t writes = env.LossyWrites();
    ASSERT_GT(writes, 10);

    QDir(QString::fromStdString(folder)).removeRecursively();
    QDir().mkpath(QString::fromStdString(folder));
    log.ClearPane();
    Make();
    // The compacted file is written twice, the same rows each time: this write is in the last.
    faults.loseWriteAt = writes * 7 / 8;
    env.Reset(faults);
    StartRun(ctx);
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_TRUE(ReadAll(mainFile) == before) << "the main file was replaced";
    EXPECT_TRUE(Shows("Проверка сжатого файла БД " + folder + "/Korund5_Compact.mdb не пройдена:"));
    EXPECT_TRUE(Shows("Исходный файл БД (Korund5.mdb) оставлен без изменений."));
}

} // namespace k5::mtest
