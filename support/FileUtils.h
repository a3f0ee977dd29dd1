#pragma once
// File-system utilities (modules mK5FilesOld and miVedovodeduzOR). Paths are UTF-8. Every
// call that changes a file goes through the Env it is given, its fault point first.
#include "support/Env.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace k5 {

// Exists and can be opened for reading (a folder or an unreadable file counts as absent).
bool IsFileExists(const std::string& path);
bool IsFolderExists(const std::string& path);
// Replaces an existing destination, also across file systems; the moved file and its
// folder are flushed to disk before it returns. A failure is raised.
void MoveFile(Env& env, const std::string& source, const std::string& destination);
// Adds the owner's write permission (our read-only attribute).
void ClearReadOnlyAttributeFromFile(const std::string& path);
// True when deleted; without Silent a failure is raised with the quoted path.
bool DeleteFile(Env& env, const std::string& path, bool silent);
// Writes and removes "k5w_test.tmp" in the folder; errText gets the reason on failure. The
// file is always a new one: a link or a file of another owner under that name is left alone.
bool CheckForWriteableFolder(Env& env, const std::string& folder, std::string& errText);
// Removes a write-test file that a killed test left: only a regular file of this user with
// no other name, holding the test line or part of it. True when removed.
bool RemoveStaleWriteTest(const std::string& path);
inline constexpr const char* kWriteTestName = "k5w_test.tmp";
// Empty on success, else the system's text.
std::string PDeleteFile(Env& env, const std::string& path);
// Moves the file into the freedesktop trash (GIO, which creates the trash folders):
// 0 on success, an errno value (ENOENT for a missing file) or 1 on failure.
int32_t FileToRecycleBin(Env& env, const std::string& path);
// Puts the file into the home trash (freedesktop layout, folders created when missing) as
// a second name of the same file, leaving it in its place: the caller then replaces it in
// one rename, so its name never stands empty. 0 on success; an errno value (EXDEV when the
// home trash is on another file system) when the caller should use FileToRecycleBin.
int32_t LinkIntoTrash(Env& env, const std::string& path);
// A second name for the file (a hard link); 0 or an errno value. An existing destination
// is an error (EEXIST).
int32_t LinkFile(Env& env, const std::string& source, const std::string& destination);
// Puts `replacement` in the place of `path` and keeps the file that stood there under
// `keepAs`, a free name in the same folder; the replacement first gets the owner, group and
// mode of the file it replaces. `path` names a complete file at every instant, also after a
// crash: the old file gets `keepAs` as a second name (a hard link); without hard links the
// replacement waits under `keepAs` and the two names are exchanged in one step; where the
// system offers neither, the old file is copied to `keepAs` first. Failures are raised.
void ReplaceKeeping(Env& env, const std::string& replacement, const std::string& path, const std::string& keepAs);
// Gives `path` the owner, group and permission bits of `model`, as far as this user may.
void CopyOwnerAndMode(const std::string& model, const std::string& path);
// The long-path rule kept as a pure text function (backslash paths).
void AddLongPathPrefix(std::string& path);
[[noreturn]] void RaiseApiError(int32_t code, const std::string& prefix);
// The system's text for an errno value, or "Unknown API error N (0xHEX)".
std::string GetApiErrorText(int32_t code);

// The folder part of a path: "." without one, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// Flushes a file and the folder that holds it, each through the Env's "fsync" point; the
// first failure is returned. A folder that cannot be flushed at all (EINVAL) counts as
// flushed: that file system has nothing to write for it.
SysResult SyncFileAndFolder(Env& env, const std::string& path);
// One flush through the Env's "fsync" point: a file or folder by name, or an open file.
SysResult FlushPath(Env& env, const std::string& path, bool folder);
SysResult FlushOpenFile(Env& env, int fd);

// write(2) until all is written (EINTR is retried).
SysResult WriteAll(int fd, const char* data, size_t size);

} // namespace k5
