#pragma once
// The engine's side of an Env that watches database writes: a SQLite VFS over the default
// one that passes every write, sync, truncation and deletion of a database, journal or
// temporary file through the Env's change point first, and may lose a write where the Env
// says so.
#include "support/Env.h"

namespace k5::db {

// The name of the VFS that serves `env` (registered on first use, never the default), or
// null when the Env does not watch database writes: then SQLite's own VFS is used.
const char* FaultVfsFor(Env& env);

} // namespace k5::db
