#pragma once
// What the program does to the world outside its memory, behind one object: the calls that
// change files, the clock, the fixed waits, the free space, the cores, and the points where
// a test makes the world fail. A run is handed one Env and passes it down with the user
// interaction; nothing below reads a global switch. The installed program uses
// Env::Default(), the system itself, whose fault points never fire; tests hand in an Env of
// their own.
#include <cstdint>
#include <ctime>
#include <string>

namespace k5 {

class UserInteraction;

// The outcome of a call to the system: 0, or the errno value it failed with (negative: it
// failed without a reason the system could name). The code travels with the result, so no
// errno is read later, nor on another thread than the one that failed.
struct SysResult {
    int error = 0;
    bool Ok() const { return error == 0; }
    static SysResult Errno();  // the errno value of the call that has just failed
    static SysResult Of(int rc); // 0 for rc == 0, else Errno()
};

// The three numbers of the free-space query for the file system that holds a folder.
struct DiskSpace {
    unsigned long long freeBytesAvailable = 0, totalBytes = 0, totalFreeBytes = 0;
};

// The fixed waits of a run.
enum class Wait {
    RunStamp,   // before each run stamp is taken, so that two runs never share one
    Compaction, // after a compaction, before the compacted file is used
    BigDocs,    // before the stamp of the files renamed in BigDocs
};

class Env {
public:
    virtual ~Env() = default;
    // The system itself; stateless, shared by the whole process.
    static Env& Default();

    // ---- calls that change files (paths are UTF-8) ----
    // rename(2): replaces an existing destination.
    virtual SysResult Rename(const std::string& from, const std::string& to) = 0;
    // A second name for a file (a hard link); an existing destination is EEXIST.
    virtual SysResult Link(const std::string& from, const std::string& to) = 0;
    virtual SysResult Unlink(const std::string& path) = 0;
    // The two names swap in one step; EINVAL where the system does not offer it.
    virtual SysResult Exchange(const std::string& a, const std::string& b) = 0;
    // fsync of a file or of a folder by name, and of an open descriptor.
    virtual SysResult Flush(const std::string& path, bool folder) = 0;
    virtual SysResult FlushOpen(int fd) = 0;
    // Moves the file into the freedesktop trash (GIO creates the trash folders).
    virtual SysResult MoveToTrash(const std::string& path) = 0;

    // ---- fault points; the system's never fire ----
    // Called before each file-changing call (named by `what`: "rename", "unlink", "fsync",
    // "trash", "link", "exchange", "copy", "write-test", "zip-create", "zip-write",
    // "zip-adopt", "db-write", "db-sync", "db-truncate", "db-delete"): a failure is the
    // caller's failure of that call. Flushes may call it from a helper thread.
    virtual SysResult ChangePoint(const char* what) = 0;
    // True when the database engine must pass its writes through ChangePoint and the two
    // calls below (a counting layer under SQLite, which the system Env does without).
    virtual bool WatchesDatabaseWrites() = 0;
    // Whether writes into the database file `path` may be lost, and whether this one is.
    virtual bool LosesWritesTo(const std::string& path) = 0;
    virtual bool LoseThisWrite() = 0;
    // Called after every finished protocol entry with its running number.
    virtual void EntryFinished(int64_t entryNumber) = 0;

    // ---- the clock and the waits ----
    virtual std::time_t Now() = 0;
    // The local time the protocol's stamps show: that of Now() on the system.
    virtual std::tm ProtocolTime() = 0;
    // Waits the fixed time of `which` while the user's event loop keeps its turns.
    virtual void Pause(Wait which, UserInteraction& ui) = 0;

    // ---- what the machine offers ----
    virtual SysResult DiskFreeSpace(const std::string& folder, DiskSpace& out) = 0;
    // The cores this process may run on.
    virtual unsigned UsableCores() = 0;
    // Whether the file library of the accounting program can be reached.
    virtual bool FilesLibReachable() = 0;
};

// The system: what Env::Default() is. Test Envs derive from it and change what they inject.
class SystemEnv : public Env {
public:
    SysResult Rename(const std::string& from, const std::string& to) override;
    SysResult Link(const std::string& from, const std::string& to) override;
    SysResult Unlink(const std::string& path) override;
    SysResult Exchange(const std::string& a, const std::string& b) override;
    SysResult Flush(const std::string& path, bool folder) override;
    SysResult FlushOpen(int fd) override;
    SysResult MoveToTrash(const std::string& path) override;

    SysResult ChangePoint(const char*) override { return {}; }
    bool WatchesDatabaseWrites() override { return false; }
    bool LosesWritesTo(const std::string&) override { return false; }
    bool LoseThisWrite() override { return false; }
    void EntryFinished(int64_t) override {}

    std::time_t Now() override;
    std::tm ProtocolTime() override;
    void Pause(Wait which, UserInteraction& ui) override;

    SysResult DiskFreeSpace(const std::string& folder, DiskSpace& out) override;
    unsigned UsableCores() override;
    bool FilesLibReachable() override { return true; }
};

} // namespace k5
