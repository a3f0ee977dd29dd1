#include "maintenance/Probes.h"
#include "Fixtures.h"
#include "support/FileUtils.h"

#include <cerrno>

using namespace k5;
using namespace k5::mtest;

namespace {

struct ProbesTest : ContextFixture {
    DiskSpace fake;
    bool queryOk = true;
    int queryErrno = 0;

    ProbesTest() {
        gDiskFreeSpaceQuery = [this](const std::string&, DiskSpace& out) {
            out = fake;
            errno = queryErrno;
            return queryOk;
        };
    }
    ~ProbesTest() override { gDiskFreeSpaceQuery = GetDiskFreeSpaceEx; }
};

TEST(ProbesConversion, HalvesAreReadAsUnsigned) {
    EXPECT_EQ(ConvertFromUnsignedLong64(-1, 0), 4294967295.0);
    EXPECT_EQ(ConvertFromUnsignedLong64(0, 1), 4294967296.0);
    EXPECT_EQ(ConvertFromUnsignedLong64(INT32_MIN, 0), 2147483648.0);
}

// The quota part shows only above its threshold; a failing query never fails the run.
TEST_F(ProbesTest, FreeSpaceLines) {
    CheckDiskFreeSpace(ctx, "/nowhere/Korund5.mdb"); // no library object: no disk name
    state.mFilesLib = CreateFilesLib();
    const std::string file = Path("Korund5.mdb");
    std::ofstream(file) << "x";
    const std::string disk = state.mFilesLib->DiskName(file);
    ASSERT_FALSE(disk.empty());
    for (uint64_t free : {1048576ull + 100000, 1048576ull + 100001}) {
        fake = {1048576, 10737418240ull, free};
        CheckDiskFreeSpace(ctx, file);
    }
    queryOk = false;
    for (int e : {0, EACCES}) {
        queryErrno = e;
        CheckDiskFreeSpace(ctx, file);
    }
    const std::string line = std::string(kStamp) + "Свободное место на диске " + disk;
    EXPECT_EQ(Pane(), std::string(kStamp) + "Свободное место на диске определить не удалось.\r\n" + line +
                          " - 1 МБ из 10 ГБ.\r\n" + line +
                          " - 1 МБ из 10 ГБ (всего свободно 1.1 МБ (1148577)).\r\n" + line +
                          " определить не удалось. Причина: \r\n" + line +
                          " определить не удалось. Причина: " + GetApiErrorText(EACCES) + "\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
}

TEST_F(ProbesTest, SizeOfAFileAndTheErrorOfAMissingOne) {
    state.mFilesLib = CreateFilesLib();
    std::ofstream(Path("a.mdb")) << std::string(1234, 'x');
    EXPECT_EQ(privFileSize(ctx, Path("a.mdb")), 1234.0);
    // A failing size operation is passed on, not turned into -1.
    EXPECT_THAT(ErrorOf([&] { privFileSize(ctx, Path("нет.mdb")); }),
                StartsWith("[K5VedovodeduzOR::ProphylaxisFrm.privFileSize]"));
}

} // namespace
