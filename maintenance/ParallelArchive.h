#pragma once
// The archive of the old main file, made on a second thread while the copy, the clean-up and
// the compaction run. The main file is open exclusively and read-only for the whole run, so
// its bytes are those the archive step would read. The archive is written into a work file
// beside the archive (its name + kWorkSuffix) and takes the archive's name only when complete
// and checked: a run killed at any moment leaves no incomplete archive under that name, and
// the next run removes the work file with the other leftovers.
#include <atomic>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>

namespace k5 {

class Env;
struct MaintenanceContext;

class ParallelArchive {
public:
    static constexpr const char* kWorkSuffix = ".k5part";

    // Starts packing `file` into the work file on a thread of lower priority. It does not start on a machine
    // with one core (the copy would lose its time), when the folder is missing, or when the
    // disk holds less than three times the file (the free space a run needs, which the work
    // file must not eat into).
    // The cores are those `env` offers.
    ParallelArchive(Env& env, const std::string& file, const std::string& archive);
    // Whatever was not adopted is stopped and removed.
    ~ParallelArchive();
    ParallelArchive(const ParallelArchive&) = delete;
    ParallelArchive& operator=(const ParallelArchive&) = delete;

    bool Started() const { return mWorker.joinable() || mAdopted; }
    const std::string& WorkFile() const { return mWorkFile; }

    // Waits for the work file while the user's event loop keeps its turns (with the progress
    // of the archive), checks it and renames it to the archive's name. True when the archive
    // is in place, complete and on disk; false when there is nothing to adopt (not started,
    // failed, the file changed): then neither name holds anything of it and the caller makes
    // the archive itself.
    bool Adopt(MaintenanceContext& ctx);
    // Stops the thread and removes the work file.
    void Discard();

private:
    bool Check() const;

    std::string mFile, mArchive, mWorkFile;
    struct stat mBefore {};
    std::atomic<bool> mCancel{false}, mDone{false};
    std::atomic<long> mThousandths{0};
    std::atomic<pid_t> mTid{0};
    int mRunNice = 0;
    int32_t mCode = -1;
    bool mAdopted = false;
    std::thread mWorker;
};

} // namespace k5
