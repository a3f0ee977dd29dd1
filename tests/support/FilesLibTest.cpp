// The file-library object: the operations the maintenance relies on.
#include "TempDir.h"

#include "support/FileUtils.h"
#include "support/FilesLib.h"

#include <cerrno>
#include <sys/statvfs.h>

using namespace k5test;

TEST(FilesLib, ListFilesMatchesMaskIgnoringCaseSortedFullNames) {
    TempDir dir;
    for (const char* name :
         {"2_1.MDB", "10_3.mdb", "abc.mdb", "3_3.mdb.bak", "6_6.md", "7_7.mdb-лишний-файл"})
        WriteText(dir.Sub(name), "x");
    QDir().mkdir(QString::fromStdString(dir.Sub("5_5.mdb")));
    k5::FilesLib lib(k5::Env::Default());
    // A longer extension that begins with "mdb" is listed too (renamed orphans among them).
    const std::vector<std::string> expected = {dir.Sub("10_3.mdb"), dir.Sub("2_1.MDB"),
                                               dir.Sub("7_7.mdb-лишний-файл")};
    EXPECT_EQ(lib.ListFiles(dir.Path(), "*_*.mdb", true, true), expected);
    EXPECT_TRUE(lib.ListFiles(dir.Sub("missing"), "*_*.mdb", true, true).empty());
    std::string folder, base, ext, rest;
    lib.SplitFileName(expected[2], folder, base, ext, rest);
    EXPECT_EQ(folder + "|" + base + "|" + ext, dir.Path() + "/|7_7|mdb-лишний-файл");
}

TEST(FilesLib, CreateFolderWithParentsRenameNeverOverwrites) {
    TempDir dir;
    k5::FilesLib lib(k5::Env::Default());
    std::string reason = "old";
    EXPECT_TRUE(lib.CreateFolder(dir.Sub("Профилактика_БД/вложенная"), reason) && reason.empty()) << reason;
    EXPECT_TRUE(lib.FolderExists(dir.Sub("Профилактика_БД/вложенная/")));
    WriteText(dir.Sub("1_1.mdb"), "one");
    WriteText(dir.Sub("2_2.mdb"), "two");
    EXPECT_FALSE(lib.CreateFolder(dir.Sub("1_1.mdb/sub"), reason)); // a file stands in the way
    EXPECT_EQ(reason, k5::GetApiErrorText(EEXIST));
    lib.RenameFile(dir.Sub("1_1.mdb"), dir.Sub("1_1.mdb-лишний"));
    EXPECT_EQ(ReadAll(dir.Sub("1_1.mdb-лишний")), "one");
    EXPECT_EQ(Caught([&] { lib.RenameFile(dir.Sub("2_2.mdb"), dir.Sub("1_1.mdb-лишний")); }).Number(),
              EEXIST);
    EXPECT_EQ(ReadAll(dir.Sub("2_2.mdb")), "two");
    EXPECT_EQ(ReadAll(dir.Sub("1_1.mdb-лишний")), "one");
}

TEST(FilesLib, FileSizeAndDiskNameAcceptedByTheFreeSpaceQuery) {
    TempDir dir;
    const std::string file = dir.Sub("Korund5.mdb");
    WriteText(file, std::string(1234, 'z'));
    k5::FilesLib lib(k5::Env::Default());
    EXPECT_EQ(lib.FileSize(file), 1234.0);
    const std::string disk = lib.DiskName(file);
    const std::string canonical = QDir(QString::fromStdString(dir.Path())).canonicalPath().toStdString();
    EXPECT_TRUE(!disk.empty() && canonical.starts_with(disk)) << disk << " does not hold " << canonical;
    k5::DiskSpace space;
    ASSERT_TRUE(k5::Env::Default().DiskFreeSpace(disk, space).Ok());
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.Path().c_str(), &vfs), 0); // the same file system as the file's folder
    EXPECT_EQ(space.totalBytes, static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize);
}
