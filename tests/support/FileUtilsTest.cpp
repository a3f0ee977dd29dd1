// File-system utilities on real files in a scratch folder.
#include "TempDir.h"

#include "support/FileUtils.h"

#include <QUrl>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace k5test;

namespace fs = std::filesystem;

static k5::Env& Sys() {
    return k5::Env::Default();
}

TEST(IsFileExists, OnlyReadableRegularFiles) {
    TempDir dir;
    WriteText(dir.Sub("a.mdb"), "x");
    ASSERT_EQ(::mkfifo(dir.Sub("pipe").c_str(), 0600), 0);
    EXPECT_TRUE(k5::IsFileExists(dir.Sub("a.mdb")));
    EXPECT_FALSE(k5::IsFileExists(dir.Path()));
    EXPECT_FALSE(k5::IsFileExists(dir.Sub("pipe"))); // no file, and must not wait for a writer
    if (::geteuid() != 0) {
        ::chmod(dir.Sub("a.mdb").c_str(), 0200);
        EXPECT_FALSE(k5::IsFileExists(dir.Sub("a.mdb")));
    }
}

TEST(DeleteFileAndMoveFile, ReplaceOrRaiseWithTheirLocation) {
    TempDir dir;
    const std::string ro = dir.Sub("ro.mdb"), missing = dir.Sub("нет такого.mdb");
    WriteText(ro, "x");
    ::chmod(ro.c_str(), 0444);
    EXPECT_TRUE(k5::DeleteFile(Sys(), ro, false));
    EXPECT_FALSE(fs::exists(ro));
    EXPECT_FALSE(k5::DeleteFile(Sys(), missing, true)); // silent
    k5::K5Error e = Caught([&] { k5::DeleteFile(Sys(), missing, false); });
    EXPECT_EQ(e.Number(), ENOENT);
    EXPECT_EQ(e.Description(), "[K5VedovodeduzOR::mK5FilesOld.DeleteFile]\r\n[K5VedovodeduzOR]\r\n"
                               "Ошибка при удалении файла \"" +
                                   missing + "\":\r\n" + std::strerror(ENOENT));

    WriteText(dir.Sub("new.mdb"), "new contents");
    WriteText(dir.Sub("old.mdb"), "old");
    EXPECT_EQ(Caught([&] { k5::MoveFile(Sys(), missing, dir.Sub("old.mdb")); }).Number(), ENOENT);
    EXPECT_EQ(ReadAll(dir.Sub("old.mdb")), "old");
    k5::MoveFile(Sys(), dir.Sub("new.mdb"), dir.Sub("old.mdb"));
    EXPECT_FALSE(fs::exists(dir.Sub("new.mdb")));
    EXPECT_EQ(ReadAll(dir.Sub("old.mdb")), "new contents");
    EXPECT_EQ(k5::SyncFileAndFolder(Sys(), dir.Sub("new.mdb")).error, ENOENT); // a failed flush is reported
}

// Runs `body` in a child process, as the user 65534 when this is root (root may open any
// file), in `dir`, which that user then owns. Gives the child's exit code.
int AsOrdinaryUser(const std::string& dir, const std::function<int()>& body) {
    const bool root = ::geteuid() == 0;
    if (root && ::chown(dir.c_str(), 65534, 65534) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A file its owner may write but not read, or neither: the move is done and reported as done.
TEST(MoveFile, FileTheUserMayNotRead) {
    TempDir dir;
    for (const mode_t mode : {0200, 0000}) {
        SCOPED_TRACE(mode);
        const std::string source = dir.Sub("Korund5_Compact.mdb"), target = dir.Sub("Korund5.mdb");
        const int code = AsOrdinaryUser(dir.Path(), [&] {
            WriteText(source, "compacted");
            ::chmod(source.c_str(), mode);
            try {
                k5::MoveFile(Sys(), source, target);
            } catch (const k5::K5Error& e) {
                return e.Number() == EACCES ? 13 : 1;
            }
            return fs::exists(source) ? 2 : 0;
        });
        EXPECT_EQ(code, 0);
        ::chmod(target.c_str(), 0600);
        EXPECT_EQ(ReadAll(target), "compacted");
        fs::remove(target);
    }
}

TEST(MoveFile, AcrossFileSystems) {
    struct stat a, b;
    TempDir dir;
    ::stat(dir.Path().c_str(), &a);
    if (::stat("/dev/shm", &b) != 0 || ::access("/dev/shm", W_OK) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no writable /dev/shm on another file system";
    QTemporaryDir other("/dev/shm/k5support-XXXXXX");
    const std::string source = other.path().toStdString() + "/src.mdb", big(300000, 'k');
    WriteText(source, big);
    WriteText(dir.Sub("dst.mdb"), "old");
    k5::MoveFile(Sys(), source, dir.Sub("dst.mdb"));
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(ReadAll(dir.Sub("dst.mdb")), big);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1); // no work file is left beside it
}

TEST(GetApiErrorText, SystemTextOrFallbackAndWriteTest) {
    EXPECT_EQ(k5::GetApiErrorText(EACCES), std::strerror(EACCES));
    EXPECT_EQ(k5::GetApiErrorText(99999), "Unknown API error 99999 (0x1869F)");
    TempDir dir;
    std::string err = "old text";
    EXPECT_TRUE(k5::CheckForWriteableFolder(Sys(), dir.Path() + "/", err));
    EXPECT_EQ(err, "");
    EXPECT_FALSE(fs::exists(dir.Sub("k5w_test.tmp")));
    EXPECT_FALSE(k5::CheckForWriteableFolder(Sys(), dir.Sub("missing"), err));
    EXPECT_EQ(err, std::strerror(ENOENT));
}

// The write test never follows a link and never truncates a file it did not make; a test
// file that a killed test left (ours, regular, the test line) goes.
TEST(CheckForWriteableFolder, NeverThroughALinkNorOverAForeignFile) {
    TempDir dir;
    const std::string test = dir.Sub("k5w_test.tmp"), target = dir.Sub("Korund5.mdb");
    const struct {
        std::function<void()> plant;
        bool stays;
    } cases[] = {{[&] { fs::create_symlink(target, test); }, true},
                 {[&] { WriteText(test, "чужой файл"); }, true},
                 {[&] { WriteText(test, "tes"); }, false}};
    for (const auto& c : cases) {
        WriteText(target, "database");
        fs::remove(test);
        c.plant();
        std::string err;
        EXPECT_TRUE(k5::CheckForWriteableFolder(Sys(), dir.Path(), err)) << err;
        EXPECT_EQ(ReadAll(target), "database");
        EXPECT_EQ(fs::exists(fs::symlink_status(test)), c.stays);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), c.stays ? 2 : 1);
    }
}

// The replacement takes the old file's place with its owner, group and mode; the old file
// keeps the other name.
TEST(ReplaceKeeping, OldFileUnderTheOtherNameNewOneWithItsMode) {
    TempDir dir;
    WriteText(dir.Sub("a.mdb"), "old");
    WriteText(dir.Sub("a.mdb.pack"), "new");
    ::chmod(dir.Sub("a.mdb").c_str(), 0640);
    ::chmod(dir.Sub("a.mdb.pack").c_str(), 0600);
    if (::geteuid() == 0) ::chown(dir.Sub("a.mdb").c_str(), 65534, 65534);
    k5::ReplaceKeeping(Sys(), dir.Sub("a.mdb.pack"), dir.Sub("a.mdb"), dir.Sub("a.mdb.old"));
    EXPECT_EQ(ReadAll(dir.Sub("a.mdb")), "new");
    EXPECT_EQ(ReadAll(dir.Sub("a.mdb.old")), "old");
    EXPECT_FALSE(fs::exists(dir.Sub("a.mdb.pack")));
    struct stat st {};
    ::stat(dir.Sub("a.mdb").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (::geteuid() == 0) EXPECT_EQ(st.st_uid, 65534u);
}

// GLib reads the home and data folders once per process: this is the only trash test. The data
// folder does not exist yet: the trash must create it.
TEST(FileToRecycleBin, MovesIntoTheTrashWithItsInfoOrGivesNonZero) {
    QTemporaryDir scratch(QDir::tempPath() + "/k5trash-XXXXXX");
    const std::string home = scratch.path().toStdString(), folder = home + "/База данных";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    WriteText(folder + "/Korund5.mdb", "database");
    EXPECT_EQ(k5::FileToRecycleBin(Sys(), folder + "/Korund5.mdb"), 0);
    EXPECT_FALSE(fs::exists(folder + "/Korund5.mdb"));
    EXPECT_EQ(ReadAll(home + "/data/Trash/files/Korund5.mdb"), "database");
    EXPECT_NE(ReadAll(home + "/data/Trash/info/Korund5.mdb.trashinfo").find("Path="), std::string::npos);
    EXPECT_NE(k5::FileToRecycleBin(Sys(), folder + "/Korund5.mdb"), 0);
    EXPECT_NE(k5::FileToRecycleBin(Sys(), ""), 0);

    // The hard-link way in: given relative paths, the info file still holds the absolute,
    // percent-encoded path (no blank, no byte above 127), and the name keeps every letter.
    const std::string cwd = fs::current_path();
    for (const auto& [where, given] : {std::pair{home, std::string("База данных/Korund5.mdb")},
                                       std::pair{folder, std::string("Korund5.mdb")}}) {
        SCOPED_TRACE(given);
        WriteText(folder + "/Korund5.mdb", "linked");
        fs::current_path(where);
        EXPECT_EQ(k5::LinkIntoTrash(Sys(), given), 0);
        fs::current_path(cwd);
    }
    for (const char* name : {"Korund5.2.mdb", "Korund5.3.mdb"}) {
        EXPECT_EQ(ReadAll(home + "/data/Trash/files/" + name), "linked");
        const std::string info = ReadAll(home + "/data/Trash/info/" + name + ".trashinfo");
        const size_t at = info.find("\nPath=") + 6;
        const std::string path = info.substr(at, info.find('\n', at) - at);
        EXPECT_EQ(QUrl::fromPercentEncoding(QByteArray::fromStdString(path)).toStdString(),
                  folder + "/Korund5.mdb");
        EXPECT_EQ(std::count_if(path.begin(), path.end(), [](char c) { return c == ' ' || c < 0; }), 0)
            << path;
    }
}
