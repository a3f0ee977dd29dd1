// The file-library object: the eight operations the maintenance relies on.
#include "TempDir.h"

#include "support/FileUtils.h"
#include "support/FilesLib.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>

using namespace k5test;

TEST(FilesLib, SplitFileName) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"/srv/k5/BigDocs/12345_1.mdb", "/srv/k5/BigDocs/", "12345_1", "mdb"},
        {"/srv/k5/BigDocs/x.tar.gz", "/srv/k5/BigDocs/", "x.tar", "gz"},
        {"1_1.mdb-лишний-файл-2021г03м15д09ч05м07с", "", "1_1", "mdb-лишний-файл-2021г03м15д09ч05м07с"}};
    k5::FilesLib lib;
    for (const auto& [full, folder, base, ext] : cases) {
        std::string o1 = "x", o2 = "x", o3 = "x", o4;
        lib.SplitFileName(full, o1, o2, o3, o4);
        EXPECT_EQ(o1, folder) << full;
        EXPECT_EQ(o2, base) << full;
        EXPECT_EQ(o3, ext) << full;
        EXPECT_EQ(o4, "") << full;
    }
}

TEST(FilesLib, ListFilesMatchesMaskIgnoringCaseSortedFullNames) {
    TempDir dir;
    for (const char* name : {"2_1.MDB", "10_3.mdb", "1_1.mdb", "abc.mdb", "3_3.mdb.bak", "4_4.mdbx",
                             "Б_1.Mdb", "6_6.md", "7_7.mdb-лишний-файл-2021г03м15д09ч05м07с", "8.mdb-x"})
        WriteText(dir.Sub(name), "x");
    QDir().mkdir(QString::fromStdString(dir.Sub("5_5.mdb")));
    k5::FilesLib lib;
    // A longer extension that begins with "mdb" is listed too (renamed orphans among them);
    // the callers skip what is not ".mdb" themselves.
    const std::vector<std::string> expected = {dir.Sub("10_3.mdb"),
                                               dir.Sub("1_1.mdb"),
                                               dir.Sub("2_1.MDB"),
                                               dir.Sub("4_4.mdbx"),
                                               dir.Sub("7_7.mdb-лишний-файл-2021г03м15д09ч05м07с"),
                                               dir.Sub("Б_1.Mdb")};
    EXPECT_EQ(lib.ListFiles(dir.Path(), "*_*.mdb", true, true), expected);
    EXPECT_TRUE(lib.FileExists(dir.Sub("1_1.mdb")));
    EXPECT_FALSE(lib.FileExists(dir.Sub("5_5.mdb")));
    EXPECT_TRUE(lib.FolderExists(dir.Sub("5_5.mdb") + "/"));
    EXPECT_FALSE(lib.FolderExists(dir.Sub("1_1.mdb") + "/"));
    EXPECT_TRUE(lib.ListFiles(dir.Sub("missing"), "*_*.mdb", true, true).empty());
}

TEST(FilesLib, CreateFolderWithReasonOnFailure) {
    TempDir dir;
    WriteText(dir.Sub("file"), "x");
    k5::FilesLib lib;
    std::string reason = "old";
    EXPECT_TRUE(lib.CreateFolder(dir.Sub("Профилактика_БД/вложенная"), reason));
    EXPECT_EQ(reason, "");
    EXPECT_TRUE(k5::IsFolderExists(dir.Sub("Профилактика_БД/вложенная")));
    EXPECT_TRUE(lib.CreateFolder(dir.Sub("Профилактика_БД"), reason));
    // A file stands where a folder level should be.
    EXPECT_FALSE(lib.CreateFolder(dir.Sub("file/sub"), reason));
    EXPECT_EQ(reason, k5::GetApiErrorText(EEXIST));
    EXPECT_FALSE(lib.CreateFolder("/proc/k5-new", reason));
    EXPECT_NE(reason, "");
}

TEST(FilesLib, RenameNeverOverwrites) {
    TempDir dir;
    WriteText(dir.Sub("1_1.mdb"), "one");
    WriteText(dir.Sub("2_2.mdb"), "two");
    k5::FilesLib lib;
    lib.RenameFile(dir.Sub("1_1.mdb"), dir.Sub("1_1.mdb-лишний"));
    EXPECT_EQ(ReadAll(dir.Sub("1_1.mdb-лишний")), "one");
    EXPECT_FALSE(lib.FileExists(dir.Sub("1_1.mdb")));

    const k5::K5Error e =
        k5test::Caught([&] { lib.RenameFile(dir.Sub("2_2.mdb"), dir.Sub("1_1.mdb-лишний")); });
    EXPECT_EQ(e.Number(), EEXIST);
    EXPECT_EQ(e.Description(), k5::GetApiErrorText(EEXIST));
    EXPECT_EQ(ReadAll(dir.Sub("2_2.mdb")), "two");
    EXPECT_EQ(ReadAll(dir.Sub("1_1.mdb-лишний")), "one");
    EXPECT_THROW(lib.RenameFile(dir.Sub("missing.mdb"), dir.Sub("x.mdb")), k5::K5Error);
}

TEST(FilesLib, FileSizeAndDiskNameAcceptedByTheFreeSpaceQuery) {
    TempDir dir;
    const std::string file = dir.Sub("Korund5.mdb");
    WriteText(file, std::string(1234, 'z'));
    k5::FilesLib lib;
    EXPECT_EQ(lib.FileSize(file), 1234.0);
    EXPECT_THROW(lib.FileSize(dir.Sub("missing.mdb")), k5::K5Error);
    EXPECT_THROW(lib.FileSize(dir.Path()), k5::K5Error);
    const std::string disk = lib.DiskName(file);
    ASSERT_FALSE(disk.empty());
    const std::string canonical = QDir(QString::fromStdString(dir.Path())).canonicalPath().toStdString();
    EXPECT_EQ(canonical.rfind(disk, 0), 0u) << disk << " does not hold " << canonical;

    k5::DiskSpace space;
    ASSERT_TRUE(k5::GetDiskFreeSpaceEx(disk, space));
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.Path().c_str(), &vfs), 0);
    // The same file system as the file's own folder.
    EXPECT_EQ(space.totalBytes, static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize);
    EXPECT_LE(space.totalFreeBytes, space.totalBytes);
    EXPECT_LE(space.freeBytesAvailable, space.totalFreeBytes);

    EXPECT_EQ(lib.DiskName(""), "");
    errno = 0;
    EXPECT_FALSE(k5::GetDiskFreeSpaceEx(dir.Sub("missing/folder"), space));
    EXPECT_EQ(errno, ENOENT);
}
