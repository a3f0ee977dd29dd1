#pragma once
// The Env of the test build of the program: a TestEnv set from the variables the reliability
// suite passes to the child it starts. The installed program never links it.
//   K5_TEST_CRASH_AFTER_ENTRY=k  SIGKILL right after the k-th finished protocol entry
//   K5_TEST_CRASH_AT_FS_CALL=k   SIGKILL just before the k-th file-changing call
//   K5_TEST_FAIL_AT_FS_CALL=k    the k-th file-changing call fails with K5_TEST_FAIL_ERRNO
//                                (a number, default ENOSPC); with K5_TEST_FAIL_STICKY=1
//                                every later one fails too (a disk that stays full)
//   K5_TEST_FAULT_LOG=path       one line per counted call and entry ("fs N what",
//                                "entry N"), appended, for sweeps and diagnosis
//   K5_TEST_LOSE_WRITE=name:k    the k-th write into a database file whose name ends with
//                                `name` reports success but writes nothing
//   K5_TEST_SHORT_PAUSES=1       the waits after compactions are skipped, so that a sweep of
//                                thousands of runs is not spent waiting
//   K5_TEST_NO_HARD_LINKS=1      link() answers EPERM, as on a file system without hard links
//   K5_TEST_NO_EXCHANGE=1        an exchange of two names answers EINVAL
#include "common/TestEnv.h"

namespace k5test {

// The one TestEnv of the process, set from the variables above on first use.
TestEnv& FaultEnvFromVariables();

} // namespace k5test
