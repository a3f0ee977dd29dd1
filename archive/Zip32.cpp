#include "archive/Zip32.h"
#include "archive/ZipInternal.h"

#include "support/Background.h"
#include "support/Codepage.h"
#include "support/FileUtils.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace k5 {

namespace {

using zipdetail::Abandon;
using zipdetail::CodeOf;
using zipdetail::OpenCreated;

// What ZpInit and ZpSetOptions left for the next ZpArchive. The texts are our own copies:
// the caller destroys its copy of the record right after ZpSetOptions.
struct LibState {
    bool ready = false;
    ZIPUSERFUNCTIONS callbacks;
    ZPOPT options;
    std::string date, rootDir, tempDir;
};

LibState& Lib() {
    static LibState state;
    return state;
}

struct Entry {
    std::string path; // file system path (UTF-8)
    std::string name; // entry name (UTF-8)
    bool folder = false;
};

// Lexical clean-up of a stored name: no leading "/", no "." or ".." parts, so that an
// entry can never point outside the folder it is extracted into. Extractors of other
// systems take "\" for a separator too, so a "\" inside a name is stored as "_".
std::string CleanEntryName(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        std::replace(part.begin(), part.end(), '\\', '_');
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string name;
    for (const auto& p : parts)
        name += (name.empty() ? "" : "/") + p;
    return name;
}

std::string BaseName(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// "MM/DD/YY", "MM/DD/YYYY" (any separator) or "MMDDYYYY" -> local midnight of that day.
bool ParseFilterDate(const std::string& text, time_t& out) {
    std::vector<int> numbers;
    std::string digits;
    for (char c : text + " ") {
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (!digits.empty()) {
            numbers.push_back(std::stoi(digits.substr(0, 4)));
            digits.clear();
        }
    }
    if (numbers.size() == 1 && text.size() == 8) {
        const int all = std::stoi(text);
        numbers = {all / 1000000, all / 10000 % 100, all % 10000};
    }
    if (numbers.size() != 3) return false;
    int year = numbers[2];
    if (year < 100) year += year < 70 ? 2000 : 1900;
    if (numbers[0] < 1 || numbers[0] > 12 || numbers[1] < 1 || numbers[1] > 31) return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = numbers[0] - 1;
    tm.tm_mday = numbers[1];
    tm.tm_isdst = -1;
    out = std::mktime(&tm);
    return out != static_cast<time_t>(-1);
}

// Options whose meaning is to change an existing archive or the files themselves; the
// library only makes new archives of unchanged files, so it refuses them rather than
// making something else than was asked for.
bool HasUnsupportedOption(const ZPOPT& o) {
    return o.fGrow || o.fMove || o.fDeleteEntries || o.fUpdate || o.fFreshen || o.fCRLF_LF || o.fLF_CRLF ||
           o.fRecurse != 0 || o.fRepair != 0;
}

int32_t CollectEntries(const LibState& lib, int32_t count, char** names, std::vector<Entry>& entries) {
    const ZPOPT& o = lib.options;
    const bool dateFilter = (o.fIncludeDate || o.fExcludeDate) && !lib.date.empty();
    time_t filterDate = 0;
    if (dateFilter && !ParseFilterDate(lib.date, filterDate)) return ZE_PARMS;

    std::set<std::string> paths, entryNames;
    for (int32_t i = 0; i < count; ++i) {
        if (names[i] == nullptr || names[i][0] == '\0') continue;
        // The file's own name, byte for byte: no conversion can merge two names into one.
        const std::string listed = names[i];
        std::string path = listed;
        if (path.front() != '/' && !lib.rootDir.empty()) {
            path = lib.rootDir + (lib.rootDir.back() == '/' ? "" : "/") + path;
        }
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return ZE_OPEN;
        Entry e;
        e.path = path;
        e.folder = S_ISDIR(st.st_mode);
        if (e.folder) {
            if (o.fNoDirEntries || o.fJunkDir) continue;
        } else {
            // Every file must open now: a file that cannot be read fails the whole archive
            // before anything is written, rather than leaving it out.
            const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) return ZE_OPEN;
            close(fd);
            if (!S_ISREG(st.st_mode)) return ZE_OPEN;
        }
        if (dateFilter) {
            if (o.fIncludeDate && st.st_mtime < filterDate) continue;
            if (o.fExcludeDate && st.st_mtime >= filterDate) continue;
        }
        if (!paths.insert(path).second) continue; // the same file listed twice is stored once
        // Names given relative to the root folder are stored relative to it.
        e.name = ZipEntryName(listed, o.fJunkDir != 0);
        if (e.name.empty()) return ZE_NAME;
        if (e.folder) e.name += "/";
        // Two files under one entry name would make an archive that cannot be extracted.
        if (!entryNames.insert(e.name).second) return ZE_PARMS;
        entries.push_back(std::move(e));
    }
    return ZE_OK;
}


// libzip compresses everything inside zip_close, which runs on a helper thread: its
// callbacks only record how far it is, and the caller's thread passes that on to the
// service callback between ticks (see Compress).
struct Progress {
    ZipServiceFn service = nullptr;
    std::string archive;
    std::atomic<long> value{0};
    std::atomic<bool> cancelled{false};

    // On the caller's thread, at every tick, even when the value has not moved (libzip's
    // last steps report nothing): the callback is also the caller's turn of its event loop.
    void Report() {
        if (service == nullptr || cancelled) return;
        if (service(archive.c_str(), static_cast<unsigned long>(value.load())) != 0) cancelled = true;
    }
};

void OnProgress(zip_t*, double fraction, void* data) {
    static_cast<Progress*>(data)->value = static_cast<long>(fraction * 1000.0 + 0.5);
}

int OnCancel(zip_t*, void* data) {
    return static_cast<Progress*>(data)->cancelled ? 1 : 0;
}

// Zero-terminated answer of a callback that writes into a 4097-byte buffer.
std::string Answer(const std::vector<char>& buffer) {
    return std::string(buffer.data());
}

// The archive under a temporary name in its own folder, created with the permissions a new
// file gets, so that the final archive does not end up private by accident.
bool MakeTempFile(const std::string& archive, std::string& tempName) {
    std::vector<char> pattern(archive.begin(), archive.end());
    const char suffix[] = ".k5tmpXXXXXX";
    pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return false;
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    tempName = pattern.data();
    return true;
}



int32_t WriteArchive(const LibState& lib, const std::vector<Entry>& entries, const std::string& archive,
                     Env& env) {
    const ZPOPT& o = lib.options;
    std::string comment, password;
    if (o.fComment && lib.callbacks.comment != nullptr) {
        std::vector<char> buffer(4097, 0);
        lib.callbacks.comment(buffer.data());
        comment = Cp1251ToUtf8(Answer(buffer));
    }
    if (o.fEncrypt) {
        std::vector<char> buffer(4097, 0);
        if (lib.callbacks.password == nullptr ||
            lib.callbacks.password(buffer.data(), static_cast<int>(buffer.size() - 1), "Enter password",
                                   archive.c_str()) != 0)
            return ZE_ABORT;
        password = Answer(buffer);
        if (password.empty()) return ZE_ABORT;
    }

    struct stat st {};
    if (stat(archive.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ZE_CREAT;
    std::string temp;
    if (!env.ChangePoint("zip-create").Ok() || !MakeTempFile(archive, temp)) return ZE_CREAT;
    zip_t* za = OpenCreated(temp);
    if (za == nullptr) return ZE_CREAT;
    auto fail = [&](int32_t code) { return Abandon(za, temp, code); };

    // '0' stores, '1'..'9' deflate at that level; no explicit level: our measured default.
    zip_int32_t method = ZIP_CM_DEFLATE;
    zip_uint32_t level = kDefaultDeflateLevel;
    if (o.fLevel == '0') {
        method = ZIP_CM_STORE;
        level = 0;
    } else if (o.fLevel >= '1' && o.fLevel <= '9') {
        level = static_cast<zip_uint32_t>(o.fLevel - '0');
    }
    const zip_uint16_t encryption =
        zip_encryption_method_supported(ZIP_EM_TRAD_PKWARE, 1) ? ZIP_EM_TRAD_PKWARE : ZIP_EM_AES_256;

    for (const Entry& e : entries) {
        zip_int64_t index;
        if (e.folder) {
            index = zip_dir_add(za, e.name.c_str(), IsUtf8(e.name) ? ZIP_FL_ENC_UTF_8 : ZIP_FL_ENC_CP437);
        } else {
            zip_source_t* source = zip_source_file_create(e.path.c_str(), 0, 0, nullptr);
            if (source == nullptr) return fail(ZE_OPEN);
            // UTF-8 names carry the language flag; other bytes are stored unchanged
            // without it, as code page 437 would be.
            index = zip_file_add(za, e.name.c_str(), source,
                                 IsUtf8(e.name) ? ZIP_FL_ENC_UTF_8 : ZIP_FL_ENC_CP437);
            if (index < 0) zip_source_free(source);
        }
        if (index < 0) return fail(CodeOf(zip_get_error(za)));
        if (!e.folder && zip_set_file_compression(za, index, method, level) != 0) return fail(ZE_PARMS);
        if (!e.folder && !password.empty() &&
            zip_file_set_encryption(za, index, encryption, password.c_str()) != 0)
            return fail(ZE_PARMS);
    }
    if (!comment.empty() &&
        zip_set_archive_comment(za, comment.c_str(),
                                static_cast<zip_uint16_t>(std::min<size_t>(comment.size(), 65535))) != 0)
        return fail(ZE_NOTE);

    Progress progress{lib.callbacks.ServiceApplication, archive};
    zip_register_progress_callback_with_state(za, 0.001, OnProgress, nullptr, &progress);
    zip_register_cancel_callback_with_state(za, OnCancel, nullptr, &progress);

    if (!env.ChangePoint("zip-write").Ok()) return fail(ZE_WRITE);
    // Reading, compressing and writing a file of gigabytes runs on a helper thread; the
    // service callback is called here, so the caller's event loop never waits long.
    std::function<void()> tick;
    if (progress.service != nullptr) tick = [&] { progress.Report(); };
    int closed = -1;
    RunWithTicks([&] { closed = zip_close(za); }, tick);
    if (closed != 0) {
        const int32_t code = progress.cancelled ? ZE_ABORT : CodeOf(zip_get_error(za));
        return fail(code);
    }
    progress.Report();
    // Complete and on disk before it takes the archive's name; the rename is flushed too.
    // Both wait for the disk, so they run in the background as well.
    int32_t result = ZE_OK;
    RunWithTicks(
        [&] {
            if (!SyncFileAndFolder(env, temp).Ok()) {
                unlink(temp.c_str());
                result = ZE_WRITE;
            } else if (!env.ChangePoint("rename").Ok() || !env.Rename(temp, archive).Ok()) {
                unlink(temp.c_str());
                result = ZE_TEMP;
            } else if (!SyncFileAndFolder(env, archive).Ok()) {
                unlink(archive.c_str());
                result = ZE_WRITE;
            }
        },
        [&] {
            if (progress.service != nullptr) progress.service(progress.archive.c_str(), 1000);
        });
    return result;
}

} // namespace

namespace zipdetail {

int32_t CodeOf(zip_error_t* error) {
    // A full disk may surface as the failed flush inside a seek or a position query, after
    // the write itself seemed to succeed into a buffer: it is still a write error.
    const int system = zip_error_code_system(error);
    if (zip_error_system_type(error) == ZIP_ET_SYS &&
        (system == ENOSPC || system == EDQUOT || system == EFBIG))
        return ZE_WRITE;
    switch (zip_error_code_zip(error)) {
    case ZIP_ER_OPEN:
    case ZIP_ER_NOENT:
        return ZE_OPEN;
    case ZIP_ER_READ:
    case ZIP_ER_SEEK:
    case ZIP_ER_EOF:
    case ZIP_ER_TELL:
        return ZE_READ;
    case ZIP_ER_WRITE:
    case ZIP_ER_CLOSE:
        return ZE_WRITE;
    case ZIP_ER_TMPOPEN:
    case ZIP_ER_RENAME:
        return ZE_TEMP;
    case ZIP_ER_MEMORY:
        return ZE_MEM;
    case ZIP_ER_CANCELLED:
        return ZE_ABORT;
    case ZIP_ER_COMPNOTSUPP:
    case ZIP_ER_ENCRNOTSUPP:
    case ZIP_ER_EXISTS:
        return ZE_PARMS;
    default:
        return ZE_LOGIC;
    }
}

// libzip on a file just created for it; the file is removed when libzip refuses it.
zip_t* OpenCreated(const std::string& path) {
    int zipError = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_TRUNCATE, &zipError);
    if (za == nullptr) unlink(path.c_str());
    return za;
}

// An archive given up on: nothing of it stays on disk.
int32_t Abandon(zip_t* za, const std::string& path, int32_t code) {
    zip_discard(za);
    unlink(path.c_str());
    return code;
}

} // namespace zipdetail

std::string ZipEntryName(const std::string& listedName, bool junkDir) {
    return junkDir ? BaseName(CleanEntryName(listedName)) : CleanEntryName(listedName);
}

int32_t ZpInit(const ZIPUSERFUNCTIONS* callbacks) {
    LibState& lib = Lib();
    if (callbacks == nullptr) {
        lib.ready = false;
        return 0;
    }
    lib.callbacks = *callbacks;
    lib.ready = true;
    return 1;
}

int32_t ZpSetOptions(const ZPOPT* options) {
    LibState& lib = Lib();
    lib.options = options != nullptr ? *options : ZPOPT{};
    lib.date = options && options->Date ? options->Date : "";
    lib.rootDir = options && options->szRootDir ? options->szRootDir : "";
    lib.tempDir = options && options->szTempDir ? options->szTempDir : "";
    lib.options.Date = lib.options.szRootDir = lib.options.szTempDir = nullptr;
    return 1;
}

int32_t ZpArchive(int32_t count, const char* archive, char** names, Env& env) {
    const LibState& lib = Lib();
    if (!lib.ready) return ZE_LOGIC;
    if (archive == nullptr || archive[0] == '\0') return ZE_PARMS;
    if (HasUnsupportedOption(lib.options)) return ZE_PARMS;
    if (count <= 0 || names == nullptr) return ZE_NONE;

    std::vector<Entry> entries;
    if (const int32_t code = CollectEntries(lib, count, names, entries); code != ZE_OK) return code;
    if (entries.empty()) return ZE_NONE;
    return WriteArchive(lib, entries, archive, env);
}

} // namespace k5
