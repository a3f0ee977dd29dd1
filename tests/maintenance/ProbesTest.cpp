// The free-space probe's entries, word for word, on both sides of its threshold.
#include "maintenance/Probes.h"
#include "Fixtures.h"

#include "support/FileUtils.h"

#include <cerrno>

namespace k5::mtest {

using Probes = ContextFixture;

// The part in parentheses only when the two free numbers differ by more than 100 000 bytes;
// a failed query gives its reason, or nothing after "Причина: " when the system has none;
// every entry is a success and leaves the verdict alone.
TEST_F(Probes, FreeSpaceTexts) {
    state.mFilesLib = CreateFilesLib(env);
    const std::string file = Path("Korund5.mdb"), disk = state.mFilesLib->DiskName(file);
    const std::string head = std::string(kStamp) + "Свободное место на диске " + disk;
    const struct {
        unsigned long long available, total, free;
        int error;
        std::string text;
    } cases[] = {
        {5000000000, 20000000000, 5000000000, 0, " - 4.66 ГБ из 18.63 ГБ."},
        {5000000000, 20000000000, 5000100000, 0, " - 4.66 ГБ из 18.63 ГБ."},
        {5000000000, 20000000000, 5000100001, 0,
         " - 4.66 ГБ из 18.63 ГБ (всего свободно 4.66 ГБ (5000100001))."},
        {5000100001, 20000000000, 5000000000, 0,
         " - 4.66 ГБ из 18.63 ГБ (всего свободно 4.66 ГБ (5000000000))."},
        {0, 0, 0, EACCES, " определить не удалось. Причина: " + GetApiErrorText(EACCES)},
        {0, 0, 0, -1, " определить не удалось. Причина: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        log.ClearPane();
        env.diskFreeSpace = [&](const std::string& directory, DiskSpace& out) {
            EXPECT_EQ(directory, disk);
            out = {c.available, c.total, c.free};
            return SysResult{c.error};
        };
        CheckDiskFreeSpace(ctx, file);
        EXPECT_EQ(Pane(), head + c.text + "\r\n");
        EXPECT_EQ(log.Pane().Runs().back().colour, kColourBlack);
    }
    // Without the file library there is no disk to ask about.
    log.ClearPane();
    state.mFilesLib.reset();
    CheckDiskFreeSpace(ctx, file);
    EXPECT_EQ(Pane(), std::string(kStamp) + "Свободное место на диске определить не удалось.\r\n");
    EXPECT_TRUE(state.mProphylaxisOk);
    EXPECT_EQ(ConvertFromUnsignedLong64(-1, 0), 4294967295.0);
    EXPECT_EQ(ConvertFromUnsignedLong64(0, 1), 4294967296.0);
}

} // namespace k5::mtest
