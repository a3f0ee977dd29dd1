#include "maintenance/Probes.h"
#include "support/FileUtils.h"
#include "support/ScriptedInteraction.h"

#include <QTemporaryDir>
#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>

using namespace k5;

namespace {

struct ProbesFixture : ::testing::Test {
    RunState state;
    ScriptedInteraction ui;
    RunProtocol log{state, ui};
    FixedRunOptions options;
    MaintenanceContext ctx{state, log, ui, options, db::DBEngine::Instance()};
    QTemporaryDir dir;
    DiskSpace fake;
    bool queryOk = true;
    int queryErrno = 0;

    ProbesFixture() {
        log.stampSource = [] { return std::string("T: "); };
        gDiskFreeSpaceQuery = [this](const std::string&, DiskSpace& out) {
            out = fake;
            errno = queryErrno;
            return queryOk;
        };
    }
    ~ProbesFixture() override {
        gDiskFreeSpaceQuery = GetDiskFreeSpaceEx;
        gFilesLibUnavailable = false;
    }
    std::string File(const std::string& name, size_t bytes) {
        const std::string path = dir.path().toStdString() + "/" + name;
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
        return path;
    }
};

} // namespace

TEST(ProbesConversion, HalvesAreReadAsUnsigned) {
    EXPECT_EQ(ConvertFromUnsignedLong64(-1, 0), 4294967295.0);
    EXPECT_EQ(ConvertFromUnsignedLong64(0, 1), 4294967296.0);
    EXPECT_EQ(ConvertFromUnsignedLong64(5, 0), 5.0);
    EXPECT_EQ(ConvertFromUnsignedLong64(INT32_MIN, 0), 2147483648.0);
}

TEST_F(ProbesFixture, FreeSpaceLineShowsTheQuotaPartOnlyAboveTheThreshold) {
    state.mFilesLib = CreateFilesLib();
    const std::string file = File("Korund5.mdb", 10);
    const std::string disk = state.mFilesLib->DiskName(file);
    ASSERT_FALSE(disk.empty());

    fake = {1048576, 10737418240ull, 1048576};
    CheckDiskFreeSpace(ctx, file);
    fake = {1048576, 10737418240ull, 1048576 + 100000};
    CheckDiskFreeSpace(ctx, file);
    fake = {1048576, 10737418240ull, 1048576 + 100001};
    CheckDiskFreeSpace(ctx, file);
    EXPECT_EQ(log.Pane().Text(), "T: Свободное место на диске " + disk + " - 1 МБ из 10 ГБ.\r\n" +
                                     "T: Свободное место на диске " + disk + " - 1 МБ из 10 ГБ.\r\n" +
                                     "T: Свободное место на диске " + disk +
                                     " - 1 МБ из 10 ГБ (всего свободно 1.1 МБ (1148577)).\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
}

TEST_F(ProbesFixture, FreeSpaceFailuresNeverFailTheRun) {
    CheckDiskFreeSpace(ctx, "/nowhere/Korund5.mdb"); // no library object: no disk name
    state.mFilesLib = CreateFilesLib();
    const std::string file = File("Korund5.mdb", 1);
    const std::string disk = state.mFilesLib->DiskName(file);
    queryOk = false;
    queryErrno = 0;
    CheckDiskFreeSpace(ctx, file);
    queryErrno = EACCES;
    CheckDiskFreeSpace(ctx, file);
    EXPECT_EQ(log.Pane().Text(), "T: Свободное место на диске определить не удалось.\r\n"
                                 "T: Свободное место на диске " +
                                     disk +
                                     " определить не удалось. Причина: \r\n"
                                     "T: Свободное место на диске " +
                                     disk + " определить не удалось. Причина: " + GetApiErrorText(EACCES) +
                                     "\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
}

TEST_F(ProbesFixture, MissingLibraryIsReportedOncePerPass) {
    gFilesLibUnavailable = true;
    EXPECT_EQ(privGetK5FilesLib(ctx), nullptr);
    EXPECT_EQ(privGetK5FilesLib(ctx), nullptr);
    EXPECT_EQ(log.Pane().Text(),
              "T: Не удалось обратиться к библиотеке K5_Lib.dll. Возможные причины:\r\n"
              "K5_Lib.dll отсутствует или не зарегистрирована в реестре или не соответствует "
              "версия.\r\n");
    EXPECT_EQ(log.Pane().Runs().back().colour, kColourDarkRed);
    EXPECT_FALSE(state.mProphylaxisOk);
    EXPECT_EQ(privFileSize(ctx, "/etc/hostname"), -1);
    EXPECT_EQ(privGetDiskNameFromFileName(ctx, "/etc/hostname"), "");
    gFilesLibUnavailable = false;
    EXPECT_NE(privGetK5FilesLib(ctx), nullptr);
}

TEST_F(ProbesFixture, SizeOfAFileAndTheErrorOfAMissingOne) {
    state.mFilesLib = CreateFilesLib();
    EXPECT_EQ(privFileSize(ctx, File("a.mdb", 1234)), 1234.0);
    try {
        privFileSize(ctx, dir.path().toStdString() + "/нет.mdb");
        FAIL() << "a failing size operation is passed on, not turned into -1";
    } catch (const K5Error& e) {
        EXPECT_EQ(e.Description().rfind("[K5VedovodeduzOR::ProphylaxisFrm.privFileSize]", 0), 0u)
            << e.Description();
    }
}
