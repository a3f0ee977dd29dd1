#pragma once
// Test seams of the reliability suite: crash and failure points. Every one of them is off
// (costs one branch) unless the environment of the process switches it on:
//   K5_TEST_CRASH_AFTER_ENTRY=k  SIGKILL right after the k-th finished protocol entry
//   K5_TEST_CRASH_AT_FS_CALL=k   SIGKILL just before the k-th file-changing call
//   K5_TEST_FAIL_AT_FS_CALL=k    the k-th file-changing call fails with K5_TEST_FAIL_ERRNO
//                                (a number, default ENOSPC); with K5_TEST_FAIL_STICKY=1
//                                every later one fails too (a disk that stays full)
//   K5_TEST_FAULT_LOG=path       one line per counted call and entry ("fs N what",
//                                "entry N"), appended, for sweeps and diagnosis
//   K5_TEST_LOSE_WRITE=name:k    the k-th write into a database file whose name ends with
//                                `name` reports success but writes nothing (a disk that
//                                loses a write)
//   K5_TEST_SHORT_PAUSES=1       the fixed waits between files are skipped, so that a
//                                sweep of thousands of runs is not spent waiting
//   K5_TEST_NO_HARD_LINKS=1      link() answers EPERM, as on a file system without hard links
//   K5_TEST_NO_EXCHANGE=1        an exchange of two names answers EINVAL, as where the system
//                                does not offer it
#include <cstdint>

namespace k5 {

// True when any of the variables above is set.
bool FaultPointsActive();

// Called before each rename, unlink, trash move, archive write, fsync and database write.
// 0: go on; otherwise the errno value the caller must report as the failure of that call.
int FsChangePoint(const char* what);

// True when writes into the database file `path` are counted for K5_TEST_LOSE_WRITE.
bool LostWriteTarget(const char* path);
// Called before each write into such a file: true when this write is to be lost.
bool LostWritePoint();
// Called before each link() ("link") and each exchange of two names ("exchange"): 0 when
// the call may go on, else the errno value of a system that does not offer it.
int UnsupportedCall(const char* what);

// True when K5_TEST_SHORT_PAUSES is set.
bool ShortPauses();

// Called after every finished protocol entry (RunProtocol::afterEntry).
void ProtocolEntryPoint(int64_t entryNumber);

} // namespace k5
