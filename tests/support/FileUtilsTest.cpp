// File-system utilities on real files in a scratch folder.
#include "TempDir.h"

#include "support/FileUtils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace k5test;

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(IsFileExists, OnlyReadableRegularFilesAndFolders) {
    TempDir dir;
    WriteText(dir.Sub("a.mdb"), "x");
    ASSERT_EQ(::mkfifo(dir.Sub("pipe").c_str(), 0600), 0);
    EXPECT_TRUE(k5::IsFileExists(dir.Sub("a.mdb")));
    EXPECT_FALSE(k5::IsFileExists(""));
    EXPECT_FALSE(k5::IsFileExists(dir.Path()));
    EXPECT_FALSE(k5::IsFileExists(dir.Sub("missing.mdb")));
    EXPECT_FALSE(k5::IsFileExists(dir.Sub("pipe"))); // no file, and must not wait for a writer
    EXPECT_TRUE(k5::IsFolderExists(dir.Path()));
    EXPECT_FALSE(k5::IsFolderExists(dir.Sub("a.mdb")));
    EXPECT_FALSE(k5::IsFolderExists(""));
    if (::geteuid() != 0) {
        ::chmod(dir.Sub("a.mdb").c_str(), 0200);
        EXPECT_FALSE(k5::IsFileExists(dir.Sub("a.mdb")));
    }
}

TEST(AddLongPathPrefix, KeptAsTextRule) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Data\\Korund5.mdb", "\\\\?\\C:\\Data\\Korund5.mdb"},
        {"C:\\", "C:\\"},
        {"\\\\server\\share\\k5.mdb", "\\\\?\\UNC\\server\\share\\k5.mdb"},
        {"\\\\?\\C:\\Data", "\\\\?\\C:\\Data"},
        {"/srv/k5/Korund5.mdb", "/srv/k5/Korund5.mdb"}};
    for (auto [path, expected] : cases) {
        std::string p = path;
        k5::AddLongPathPrefix(p);
        EXPECT_EQ(p, expected) << path;
    }
}

TEST(DeleteFile, ReadOnlyFileGetsOwnerWriteOnlyAndIsDeleted) {
    TempDir dir;
    const std::string f = dir.Sub("ro.mdb");
    WriteText(f, "x");
    ::chmod(f.c_str(), 0444);
    k5::ClearReadOnlyAttributeFromFile(f);
    EXPECT_EQ(ModeOf(f), mode_t(0644));
    EXPECT_NO_THROW(k5::ClearReadOnlyAttributeFromFile(dir.Sub("missing")));
    ::chmod(f.c_str(), 0444);
    EXPECT_TRUE(k5::DeleteFile(f, false));
    EXPECT_FALSE(Exists(f));
    // PDeleteFile: empty on success, else the system's text.
    WriteText(f, "x");
    EXPECT_EQ(k5::PDeleteFile(f), "");
    EXPECT_EQ(k5::PDeleteFile(f), std::strerror(ENOENT));
}

TEST(MoveFile, ReplacesDestinationOrRaisesAndLeavesIt) {
    TempDir dir;
    WriteText(dir.Sub("new.mdb"), "new contents");
    WriteText(dir.Sub("old.mdb"), "old");
    k5::K5Error e = Caught([&] { k5::MoveFile(dir.Sub("missing.mdb"), dir.Sub("old.mdb")); });
    EXPECT_EQ(e.Number(), ENOENT);
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::mK5FilesOld.MoveFile]\r\n[K5VedovodeduzOR]\r\n" +
                                   std::string(std::strerror(ENOENT)));
    EXPECT_EQ(ReadAll(dir.Sub("old.mdb")), "old");
    k5::MoveFile(dir.Sub("new.mdb"), dir.Sub("old.mdb"));
    EXPECT_FALSE(Exists(dir.Sub("new.mdb")));
    EXPECT_EQ(ReadAll(dir.Sub("old.mdb")), "new contents");
    EXPECT_TRUE(k5::SyncFileAndFolder(dir.Sub("old.mdb")));
    EXPECT_FALSE(k5::SyncFileAndFolder(dir.Sub("new.mdb")));
}

TEST(MoveFile, AcrossFileSystems) {
    struct stat a {
    }, b{};
    if (::stat("/dev/shm", &b) != 0 || ::access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no /dev/shm";
    TempDir dir;
    ::stat(dir.Path().c_str(), &a);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
    QTemporaryDir other("/dev/shm/k5support-XXXXXX");
    ASSERT_TRUE(other.isValid());
    const std::string source = other.path().toStdString() + "/src.mdb";
    const std::string big(300000, 'k');
    WriteText(source, big);
    ::chmod(source.c_str(), 0640);
    WriteText(dir.Sub("dst.mdb"), "old");
    k5::MoveFile(source, dir.Sub("dst.mdb"));
    EXPECT_FALSE(Exists(source));
    EXPECT_EQ(ReadAll(dir.Sub("dst.mdb")), big);
    EXPECT_EQ(ModeOf(dir.Sub("dst.mdb")), mode_t(0640));
    // No work file is left beside the destination.
    EXPECT_EQ(
        QDir(dir.Path().c_str()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 1);
}

TEST(GetApiErrorText, SystemTextOrFallbackAndRaisedError) {
    EXPECT_EQ(k5::GetApiErrorText(EACCES), std::strerror(EACCES));
    EXPECT_EQ(k5::GetApiErrorText(99999), "Unknown API error 99999 (0x1869F)");
    k5::K5Error known = Caught([] { k5::RaiseApiError(EACCES, "Префикс: "); });
    EXPECT_EQ(known.Number(), EACCES);
    EXPECT_EQ(known.Source(), k5::kProgramName);
    EXPECT_EQ(known.Description(), "Префикс: " + std::string(std::strerror(EACCES)));
    k5::K5Error zero = Caught([] { k5::RaiseApiError(0, "Префикс: "); });
    EXPECT_EQ(zero.Number(), 1001);
    EXPECT_EQ(zero.Description(), "Префикс: Unknown API error.");
}

TEST(CheckForWriteableFolder, LeavesNoTestFileOrGivesTheReason) {
    TempDir dir;
    std::string err = "old text";
    EXPECT_TRUE(k5::CheckForWriteableFolder(dir.Path() + "/", err));
    EXPECT_EQ(err, "");
    EXPECT_FALSE(Exists(dir.Sub("k5w_test.tmp")));
    EXPECT_FALSE(k5::CheckForWriteableFolder(dir.Sub("missing"), err));
    EXPECT_EQ(err, std::strerror(ENOENT));
    EXPECT_FALSE(Exists(dir.Sub("missing")));
    err.clear(); // /proc refuses new files even to the superuser
    EXPECT_FALSE(k5::CheckForWriteableFolder("/proc", err));
    EXPECT_NE(err, "");
}

namespace {

// GLib reads the home and data folders once per process, so every trash test shares
// one scratch home, set before the first trash call. The data folder does not exist yet:
// the trash must create it.
const std::string& TrashHome() {
    static QTemporaryDir home(QDir::tempPath() + "/k5trash-XXXXXX");
    static const std::string path = [] {
        std::string p = home.path().toStdString();
        setenv("HOME", p.c_str(), 1);
        setenv("XDG_DATA_HOME", (p + "/data").c_str(), 1);
        return p;
    }();
    return path;
}

} // namespace

TEST(FileToRecycleBin, MovesIntoTheTrashWithItsInfoOrGivesNonZero) {
    const std::string home = TrashHome();
    const std::string folder = home + "/База данных";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    const std::string file = folder + "/Korund5.mdb";
    WriteText(file, "database");
    ASSERT_FALSE(Exists(home + "/data"));

    EXPECT_EQ(k5::FileToRecycleBin(file), 0);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(ReadAll(home + "/data/Trash/files/Korund5.mdb"), "database");
    const std::string info = ReadAll(home + "/data/Trash/info/Korund5.mdb.trashinfo");
    for (const char* part : {"[Trash Info]", "Path=", "Korund5.mdb", "DeletionDate="})
        EXPECT_NE(info.find(part), std::string::npos) << part;
    EXPECT_NE(k5::FileToRecycleBin(file), 0);
    EXPECT_NE(k5::FileToRecycleBin(""), 0);
}
