#include "archive/Zipper.h"

#include "archive/K5Zipper.h"
#include "support/Codepage.h"
#include "support/Common.h"
#include "support/Error.h"
#include "support/FileUtils.h"
#include "support/FilesLib.h"
#include "support/UserInteraction.h"

#include <zip.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace k5 {

namespace {

constexpr const char* kModule = "mZipper";
constexpr const char* kFrm = "ProphylaxisFrm";
// The prompts write at most this many bytes (indexes 0 to 4096) into the library's buffer.
constexpr size_t kPromptBufferLimit = 4097;

// The module's records: kept for the program's life, overwritten by each archiving.
struct ModuleState {
    ZPOPT options;
    std::string date, rootDir, tempDir;
    ZIPUSERFUNCTIONS callbacks;
    ZipNameList names;
    UserInteraction* ui = nullptr; // the user of the archiving under way
};

ModuleState& Module() {
    static ModuleState state;
    return state;
}

int PrintRoutine(const char*, unsigned long) {
    return 0;
}

// Progress of a long archive: shown and, through Progress, a yield to the event loop.
int ServiceRoutine(const char* archive, unsigned long thousandths) {
    try {
        if (UserInteraction* ui = Module().ui) {
            const std::string path = archive != nullptr ? archive : "";
            const size_t slash = path.rfind('/');
            ui->Progress(slash == std::string::npos ? path : path.substr(slash + 1), thousandths, 1000);
        }
    } catch (...) {
        // A failing progress display must not break the archive.
    }
    return 0;
}

// Writes text as single-byte codes from byte 0 on, then a 0 byte, within limit bytes.
void WriteAnswer(char* buffer, size_t limit, const std::string& text) {
    const std::string bytes = Utf8ToCp1251(text);
    size_t i = 0;
    for (; i < bytes.size() && i + 1 < limit; ++i)
        buffer[i] = bytes[i];
    if (i < limit) buffer[i] = '\0';
}

int CommentRoutine(char* buffer) {
    try {
        UserInteraction* ui = Module().ui;
        if (ui == nullptr || buffer == nullptr) return 1;
        const std::string answer = ui->InputBox("Enter the comment", "", "").value_or("");
        if (!answer.empty()) WriteAnswer(buffer, kPromptBufferLimit, answer);
    } catch (...) {
        // Passed over: the archive is made without a comment.
    }
    return 1;
}

int PasswordRoutine(char* buffer, int size, const char*, const char*) {
    int result = 1;
    try {
        UserInteraction* ui = Module().ui;
        if (ui == nullptr || buffer == nullptr) return 1;
        const std::string answer = ui->InputBox("Please Enter The Password!", "", "").value_or("");
        if (answer.empty()) return 1;
        const size_t limit = std::min<size_t>(size > 0 ? static_cast<size_t>(size) : 0, kPromptBufferLimit);
        std::memset(buffer, 0, limit);
        WriteAnswer(buffer, limit, answer);
        result = 0;
    } catch (...) {
        // Passed over, as the library's own prompt would.
    }
    return result;
}

} // namespace

namespace {

// Splits "12.03.2021" at sep into digit groups; false unless it is three groups of digits.
bool DateParts(const std::string& text, char sep, std::string parts[3]) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos) return false;
    int n = 0;
    parts[0].clear();
    for (size_t i = first; i <= last; ++i) {
        const char c = text[i];
        if (c == sep) {
            if (++n > 2) return false;
            parts[n].clear();
        } else if (c >= '0' && c <= '9') {
            parts[n] += c;
        } else {
            return false;
        }
    }
    return n == 2 && !parts[0].empty() && !parts[1].empty() && !parts[2].empty();
}

} // namespace

std::string FormatZipDate(const std::string& dateFilter) {
    std::string p[3], day, month, year;
    if (DateParts(dateFilter, '.', p) && p[0].size() <= 2 && p[1].size() <= 2 && p[2].size() >= 2 &&
        p[2].size() <= 4) {
        day = p[0], month = p[1], year = p[2];
    } else if (DateParts(dateFilter, '-', p) && p[0].size() == 4 && p[1].size() <= 2 && p[2].size() <= 2) {
        year = p[0], month = p[1], day = p[2];
    } else {
        return dateFilter;
    }
    auto two = [](const std::string& s) { return s.size() >= 2 ? s.substr(s.size() - 2) : "0" + s; };
    return two(month) + "/" + two(day) + "/" + two(year);
}

std::string ZipErrorText(int32_t code) {
    try {
        switch (code) {
        case 0:
            return "";
        case 2:
            return "Unexpected end of ZIP file";
        case 3:
            return "ZIP file structure error";
        case 4:
            return "Out of memory during ZIP file processing";
        case 5:
            return "ZIP internal loginc error";
        case 6:
            return "ZIP entry too large to split";
        case 7:
            return "Invalid ZIP comment format";
        case 8:
            return "Zip test (-T) failed or Out of memory";
        case 9:
            return "ZIP operation terminated or interrupted by user";
        case 10:
            return "ZIP error using a temp file";
        case 11:
            return "ZIP read or seek error";
        case 12:
            return "Nothing to do for ZIP";
        case 13:
            return "Missing or empty ZIP file";
        case 14:
            return "ZIP error writing to file";
        case 15:
            return "ZIP couldn't open to write";
        case 16:
            return "ZIP bad command line argument";
        case 18:
            return "ZIP couldn't open a specified file to read";
        default:
            return "Код ошибки: " + std::to_string(code);
        }
    }
    K5_TRAP(kModule, "ZipErrorText")
}

void CreateFileNamesArgvList(const std::vector<std::string>* fileNames, ZipNameList& list) {
    try {
        list.count = 0;
        std::fill(std::begin(list.names), std::end(list.names), nullptr);
        if (fileNames == nullptr || fileNames->empty()) return;

        std::vector<std::string> taken;
        size_t size = 1;
        for (const std::string& name : *fileNames) {
            if (taken.size() >= static_cast<size_t>(kMaxZipNames)) break;
            // The file's own name goes unchanged: a conversion that cannot hold a character
            // would make names of two files equal, or of none.
            if (name.empty()) continue;
            size += name.size() + 1;
            taken.push_back(name);
        }
        list.buffer.assign(size, '\0');
        size_t position = 0;
        for (const std::string& bytes : taken) {
            std::memcpy(list.buffer.data() + position, bytes.data(), bytes.size());
            list.buffer[position + bytes.size()] = '\0';
            list.names[list.count++] = list.buffer.data() + position;
            position += bytes.size() + 1;
        }
    }
    K5_TRAP(kModule, "CreateFileNamesArgvList")
}

int32_t ZipWithOptions(K5Zipper& zipper) {
    ModuleState& m = Module();
    m.ui = &zipper.Ui();
    struct UiReset {
        ModuleState& m;
        ~UiReset() { m.ui = nullptr; }
    } reset{m};

    m.callbacks = ZIPUSERFUNCTIONS{PrintRoutine, CommentRoutine, PasswordRoutine, ServiceRoutine};
    if (ZpInit(&m.callbacks) == 0) {
        ShowWarning(zipper.Ui(), "Отсутствует Zip32.dll.", "Ошибка");
        return 0;
    }

    m.date = FormatZipDate(zipper.DateFilter());
    m.rootDir = zipper.RootDir();
    m.tempDir = zipper.TempDir();
    ZPOPT& o = m.options;
    o.Date = m.date.c_str();
    o.szRootDir = m.rootDir.c_str();
    o.szTempDir = m.tempDir.c_str();
    o.fSuffix = zipper.Suffix();
    o.fEncrypt = zipper.Encrypt() ? 1 : 0;
    o.fSystem = zipper.IncludeSystem() ? 1 : 0;
    o.fVolume = zipper.Volume() ? 1 : 0;
    o.fExtra = zipper.ExcludeExtra() ? 1 : 0;
    o.fNoDirEntries = zipper.NoDirEntries() ? 1 : 0;
    o.fExcludeDate = zipper.ExcludeDate() ? 1 : 0;
    o.fIncludeDate = zipper.IncludeDate() ? 1 : 0;
    o.fVerbose = zipper.Verbose() ? 1 : 0;
    o.fQuiet = zipper.Quiet() ? 1 : 0;
    o.fCRLF_LF = zipper.CRLFtoLF() ? 1 : 0;
    o.fLF_CRLF = zipper.LFtoCRLF() ? 1 : 0;
    o.fJunkDir = zipper.JunkDir() ? 1 : 0;
    o.fGrow = zipper.Grow() ? 1 : 0;
    o.fForce = zipper.Force() ? 1 : 0;
    o.fMove = zipper.Move() ? 1 : 0;
    o.fDeleteEntries = zipper.DeleteEntries() ? 1 : 0;
    o.fUpdate = zipper.Update() ? 1 : 0;
    o.fFreshen = zipper.Freshen() ? 1 : 0;
    o.fJunkSFX = zipper.JunkSFX() ? 1 : 0;
    o.fLatestTime = zipper.LatestTime() ? 1 : 0;
    o.fComment = 0;
    o.fOffsets = zipper.Offsets() ? 1 : 0;
    o.fPrivilege = zipper.Privilege() ? 1 : 0;
    o.fEncryption = zipper.Encryption();
    o.fRecurse = zipper.Recurse();
    o.fRepair = zipper.Repair();
    // The digit character of the level; the library takes anything but a digit as no
    // explicit level.
    const int32_t level = zipper.Level();
    o.fLevel = level >= 0 ? static_cast<char>(level + 48) : 0;

    CreateFileNamesArgvList(&zipper.FileNames(), m.names);
    ZpSetOptions(&o);
    return ZpArchive(m.names.count, zipper.ZipFileName().c_str(), m.names.names, zipper.GetEnv());
}

const ZPOPT& ZipOptionRecord() {
    return Module().options;
}
const ZIPUSERFUNCTIONS& ZipCallbackRecord() {
    return Module().callbacks;
}
const ZipNameList& ZipNames() {
    return Module().names;
}

int32_t ZipFile(UserInteraction& ui, Env& env, FilesLib* filesLib, const std::string& fileName,
                const std::string& zipFileName) {
    try {
        K5Zipper zipper(ui, env);
        if (filesLib == nullptr) RaiseError(91, "Object variable or With block variable not set");
        if (filesLib->FileExists(fileName)) zipper.AddFileName(fileName);
        zipper.SetZipFileName(zipFileName);
        zipper.SetRootDir("");
        zipper.SetNoDirEntries(true);
        zipper.SetJunkDir(true);
        zipper.SetRaiseErrors(false);
        return zipper.DoZipping();
    }
    K5_TRAP(kFrm, "ZipFile")
}

int32_t ZipFiles(UserInteraction& ui, Env& env, const std::string& zipFileName,
                 const std::vector<std::string>& fileNames) {
    try {
        K5Zipper zipper(ui, env);
        for (const std::string& name : fileNames) {
            if (IsFileExists(name)) zipper.AddFileName(name);
        }
        zipper.SetZipFileName(zipFileName);
        zipper.SetRootDir("");
        zipper.SetNoDirEntries(true);
        zipper.SetJunkDir(false);
        zipper.SetRaiseErrors(false);
        return zipper.DoZipping();
    }
    K5_TRAP(kFrm, "ZipFiles")
}

std::string FileMissingFromZip(const std::string& zipFileName, const std::vector<std::string>& fileNames) {
    try {
        zip_t* za = zip_open(zipFileName.c_str(), ZIP_RDONLY, nullptr);
        if (za == nullptr) return fileNames.empty() ? std::string() : fileNames.front();
        std::string missing;
        for (const std::string& file : fileNames) {
            struct stat st {};
            zip_stat_t entry;
            zip_stat_init(&entry);
            const std::string name = ZipEntryName(file, false);
            if (::stat(file.c_str(), &st) != 0 || zip_stat(za, name.c_str(), ZIP_FL_ENC_RAW, &entry) != 0 ||
                (entry.valid & ZIP_STAT_SIZE) == 0 || entry.size != static_cast<zip_uint64_t>(st.st_size)) {
                missing = file;
                break;
            }
        }
        zip_discard(za);
        return missing;
    }
    K5_TRAP(kFrm, "FileMissingFromZip")
}

} // namespace k5
