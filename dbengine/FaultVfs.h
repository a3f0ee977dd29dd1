#pragma once
// The engine's side of the reliability suite's failure points: a SQLite VFS over the
// default one that passes every write, sync, truncation and deletion of a database,
// journal or temporary file through k5::FsChangePoint first.

namespace k5::db {

// Makes the counting VFS the default for connections opened from now on. Does nothing
// unless k5::FaultPointsActive(); calling it again changes nothing.
void InstallFaultVfs();

} // namespace k5::db
