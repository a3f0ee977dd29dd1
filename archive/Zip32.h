#pragma once
// Our zip library behind the Zip32 entry points (ZpInit, ZpSetOptions, ZpArchive), written
// on libzip. The records keep the Zip32 field order; their byte offsets are those of this
// build. Archives are always made new: written under a temporary name in the archive's
// folder, flushed to disk and renamed into place only when complete.
#include "support/Env.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace k5 {

// The option record, field by field in Zip32 order. Texts are in the system's code page
// (UTF-8 here); the library copies what it keeps.
struct ZPOPT {
    const char* Date = nullptr;      // "MM/DD/YY" filter date, used with fIncludeDate/fExcludeDate
    const char* szRootDir = nullptr; // folder that relative names are taken from
    const char* szTempDir = nullptr; // accepted; the temporary file always lies beside the archive
    int32_t fTemp = 0;
    int32_t fSuffix = 0;
    int32_t fEncrypt = 0; // ask for a password (password callback) and encrypt the entries
    int32_t fSystem = 0;
    int32_t fVolume = 0;
    int32_t fExtra = 0;
    int32_t fNoDirEntries = 0; // a folder in the list is skipped instead of stored as a folder entry
    int32_t fExcludeDate = 0;  // leave out files changed on or after Date
    int32_t fIncludeDate = 0;  // leave out files changed before Date
    int32_t fVerbose = 0;
    int32_t fQuiet = 0;
    int32_t fCRLF_LF = 0;
    int32_t fLF_CRLF = 0;
    int32_t fJunkDir = 0; // store bare file names
    int32_t fGrow = 0;
    int32_t fForce = 0;
    int32_t fMove = 0;
    int32_t fDeleteEntries = 0;
    int32_t fUpdate = 0;
    int32_t fFreshen = 0;
    int32_t fJunkSFX = 0;
    int32_t fLatestTime = 0;
    int32_t fComment = 0; // ask for an archive comment (comment callback)
    int32_t fOffsets = 0;
    int32_t fPrivilege = 0;
    int32_t fEncryption = 0;
    int32_t fRecurse = 0;
    int32_t fRepair = 0;
    char fLevel = 0; // '0' store, '1'..'9' deflate level, anything else: the library's own choice
};

// Callbacks. Texts handed to them are in the system's code page (UTF-8 here).
using ZipPrintFn = int (*)(const char* text, unsigned long size);
// Fills buffer (4097 bytes) with a zero-terminated comment; the result is not looked at.
using ZipCommentFn = int (*)(char* buffer);
// Fills buffer (size bytes) with a zero-terminated password; 0 when one was given.
using ZipPasswordFn = int (*)(char* buffer, int size, const char* prompt, const char* name);
// Called while the archive is written: text = the archive path, value = thousandths done
// (0 to 1000). A non-zero result stops the archiving (code 9).
using ZipServiceFn = int (*)(const char* text, unsigned long value);

struct ZIPUSERFUNCTIONS {
    ZipPrintFn print = nullptr;
    ZipCommentFn comment = nullptr;
    ZipPasswordFn password = nullptr;
    ZipServiceFn ServiceApplication = nullptr;
};

// Info-ZIP result codes.
enum ZipCode : int32_t {
    ZE_OK = 0,
    ZE_EOF = 2,
    ZE_FORM = 3,
    ZE_MEM = 4,
    ZE_LOGIC = 5,
    ZE_BIG = 6,
    ZE_NOTE = 7,
    ZE_TEST = 8,
    ZE_ABORT = 9,
    ZE_TEMP = 10,
    ZE_READ = 11,
    ZE_NONE = 12,
    ZE_NAME = 13,
    ZE_WRITE = 14,
    ZE_CREAT = 15,
    ZE_PARMS = 16,
    ZE_OPEN = 18,
};

// Registers the callbacks (copied). 0 when the library is not ready (no record given).
int32_t ZpInit(const ZIPUSERFUNCTIONS* callbacks);
// Takes a copy of the options (texts included). Always 1.
int32_t ZpSetOptions(const ZPOPT* options);
// Makes the archive `archive` (system code page path) from the first `count` names of
// `names` (the files' own names, zero-terminated). Every listed file must be readable, or nothing
// is written (18). 0 only when the archive is complete and flushed to disk; on any failure
// nothing is left under the archive's name or the temporary name, and an archive that was
// there before stays as it was. Its file-changing calls go through `env`.
int32_t ZpArchive(int32_t count, const char* archive, char** names, Env& env = Env::Default());

// The entry name a listed file is stored under: the name as listed, without a leading "/",
// "." and ".." parts, a "\" in a part stored as "_"; with junkDir its last part alone.
std::string ZipEntryName(const std::string& listedName, bool junkDir);

// The compression used when fLevel asks for none in particular (deflate level).
inline constexpr int kDefaultDeflateLevel = 2;

// The archive `target` holding `file` as the one entry `entryName` (UTF-8), deflated as
// ZpArchive does without an explicit level. Unlike ZpArchive it keeps no state and reports
// to nobody, so it may run on any thread, beside an archiving through the records above.
// `target` must not exist. Setting `cancel` stops it (9); `thousandths` follows the work.
// 0 when the archive is complete and flushed; on any failure nothing is left at `target`.
// It passes no fault point: it runs beside the calls that the seams count in order.
int32_t ZipOneFile(const std::string& file, const std::string& entryName, const std::string& target,
                   const std::atomic<bool>& cancel, std::atomic<long>& thousandths);
// True when `zip` passes libzip's consistency check and holds exactly the one entry
// `entryName` of `size` bytes.
bool ZipHoldsOneFile(const std::string& zip, const std::string& entryName, uint64_t size);

} // namespace k5
