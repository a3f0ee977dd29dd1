#include "maintenance/Leftovers.h"

#include "support/FileUtils.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <utility>

namespace k5 {

namespace {

namespace fs = std::filesystem;

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The six characters mkstemp puts in place of "XXXXXX".
bool IsRandom(const std::string& s) {
    return s.size() == 6 && std::all_of(s.begin(), s.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0;
           });
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// An archive under construction: "<archive>.zip.k5tmpXXXXXX" and the zip library's own
// "<that>.XXXXXX" beside it; the archive of the old main file made beside the copy,
// "<archive>.zip.k5part" and its "<that>.XXXXXX"; only archives of ours ("Korund5...").
bool IsArchiveWorkFile(const std::string& name) {
    if (name.rfind("Korund5", 0) != 0) return false;
    const std::string part = ".zip.k5part";
    if (const size_t at = name.find(part); at != std::string::npos) {
        const std::string rest = name.substr(at + part.size());
        return rest.empty() || (rest.size() == 7 && rest[0] == '.' && IsRandom(rest.substr(1)));
    }
    const std::string mark = ".zip.k5tmp";
    const size_t at = name.find(mark);
    if (at == std::string::npos) return false;
    const std::string rest = name.substr(at + mark.size());
    return IsRandom(rest) ||
           (rest.size() == 13 && rest[6] == '.' && IsRandom(rest.substr(0, 6)) && IsRandom(rest.substr(7)));
}

bool IsMoveWorkFile(const std::string& name) {
    return name.rfind(".k5move-", 0) == 0 && IsRandom(name.substr(8));
}

void NoteRemoved(MaintenanceContext& ctx, const std::string& path) {
    ctx.log.LogAdd("Удален рабочий файл прерванной профилактики: \"" + path + "\".", true);
}

void Removed(MaintenanceContext& ctx, const std::string& path) {
    if (DeleteFile(ctx.env, path, true)) NoteRemoved(ctx, path);
}

bool IsMainWorkFile(const std::string& name) {
    return name == "Korund5_Compact.mdb" || name == "Korund5_Compact.mdb-journal" || IsMoveWorkFile(name);
}

// A write-test file of ours, by its name and contents.
void RemoveWriteTest(MaintenanceContext& ctx, const std::string& name, const std::string& path) {
    const std::string prefix = std::string(kWriteTestName) + ".";
    const bool ours =
        name == kWriteTestName || (name.rfind(prefix, 0) == 0 && IsRandom(name.substr(prefix.size())));
    if (ours && RemoveStaleWriteTest(path)) NoteRemoved(ctx, path);
}

// Calls `each` with the name and the path of every regular file (no link, no folder).
void EachRegularFile(const std::string& folder,
                     const std::function<void(const std::string&, const std::string&)>& each) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    for (const std::string& name : names)
        if (IsRegularFile(folder + "/" + name)) each(name, folder + "/" + name);
}

} // namespace

void RemoveLeftovers(MaintenanceContext& ctx) {
    std::string dbFolder = ctx.state.mDataBaseFolder;
    if (!dbFolder.empty() && dbFolder.back() == '/') dbFolder.pop_back();
    const std::pair<std::string, bool (*)(const std::string&)> folders[] = {
        {dbFolder, IsMainWorkFile}, {dbFolder + "/" + kProtocolFolderName, IsArchiveWorkFile}};
    for (const auto& [folder, isWorkFile] : folders)
        EachRegularFile(folder, [&](const std::string& name, const std::string& path) {
            if (isWorkFile(name))
                Removed(ctx, path);
            else
                RemoveWriteTest(ctx, name, path);
        });
    EachRegularFile(dbFolder + "/BigDocs", [&](const std::string& name, const std::string& path) {
        if (EndsWith(name, ".mdb.pack") || EndsWith(name, ".mdb.pack-journal") || IsMoveWorkFile(name)) {
            Removed(ctx, path);
        } else if (EndsWith(name, ".mdb.old")) {
            // The document under its own name is whole; without it this is the document.
            const std::string own = path.substr(0, path.size() - 4);
            struct stat ownSt {};
            if (::lstat(own.c_str(), &ownSt) != 0) {
                MoveFile(ctx.env, path, own);
                ctx.log.LogAdd("Файл \"" + path + "\" возвращен под свое имя \"" + own + "\".", true);
            } else if (S_ISREG(ownSt.st_mode)) {
                Removed(ctx, path);
            }
        }
    });
}

} // namespace k5
