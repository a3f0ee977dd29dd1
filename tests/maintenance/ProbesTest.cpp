#include "maintenance/Probes.h"
#include "Fixtures.h"
#include "support/FileUtils.h"

#include <cerrno>

using namespace k5;
using namespace k5::mtest;

namespace {

using ProbesTest = ContextFixture;

// The quota part shows only above its threshold; a failing query never fails the run.
TEST_F(ProbesTest, FreeSpaceLines) {
    DiskSpace fake;
    bool ok = true;
    int err = 0;
    gDiskFreeSpaceQuery = [&](const std::string&, DiskSpace& out) {
        out = fake;
        errno = err;
        return ok;
    };
    CheckDiskFreeSpace(ctx, "/nowhere/Korund5.mdb"); // no library object: no disk name
    state.mFilesLib = CreateFilesLib();
    const std::string file = Path("Korund5.mdb");
    std::ofstream(file) << "x";
    for (uint64_t free : {1048576ull + 100000, 1048576ull + 100001}) {
        fake = {1048576, 10737418240ull, free};
        CheckDiskFreeSpace(ctx, file);
    }
    ok = false;
    err = EACCES;
    CheckDiskFreeSpace(ctx, file);
    gDiskFreeSpaceQuery = GetDiskFreeSpaceEx;
    const std::string line =
        std::string(kStamp) + "Свободное место на диске " + state.mFilesLib->DiskName(file);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Свободное место на диске определить не удалось.\r\n" + line +
                          " - 1 МБ из 10 ГБ.\r\n" + line +
                          " - 1 МБ из 10 ГБ (всего свободно 1.1 МБ (1148577)).\r\n" + line +
                          " определить не удалось. Причина: " + GetApiErrorText(EACCES) + "\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
}

} // namespace
