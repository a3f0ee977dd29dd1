#include "maintenance/DatabaseFiles.h"

#include "support/Common.h"
#include "support/FileUtils.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace k5 {

namespace {

// How much of a long integrity report the protocol shows.
constexpr int kDamageLines = 10;

std::string QuotedPath(const std::string& path) {
    return " \"" + path + "\"";
}

// CStr of a version column: an empty (null) value cannot be turned into text.
std::string VersionPart(db::Recordset& rs, const char* column) {
    Value v = rs.GetValue(column);
    if (IsNull(v)) RaiseError(94, "Invalid use of Null");
    return VarToStr(v, std::string());
}

// The first lines of the engine's integrity report, or empty for a sound file.
std::string DamageReport(const std::string& report) {
    if (report.empty()) return report;
    std::string text = "Проверка целостности файла обнаружила повреждения:";
    size_t start = 0;
    for (int line = 0; line < kDamageLines && start < report.size(); ++line) {
        const size_t end = std::min(report.find('\n', start), report.size());
        text += "\r\n" + report.substr(start, end - start);
        start = end + 1;
    }
    if (start < report.size()) text += "\r\n...";
    return text;
}

} // namespace

void MoveToFirstRow(db::Recordset& rs) {
    rs.MoveFirst();
    // Whatever the engine does on an empty table, there is no first row to stand on.
    if (rs.IsEOF()) throw db::EngineError(3021, "Текущая запись отсутствует.");
}

bool CreateMdb(MaintenanceContext& ctx, const std::string& aDbFile, const std::string& aDescription) {
    try {
        std::unique_ptr<db::Database> created;
        std::string reason;
        try {
            created = ctx.engine.CreateDatabase(aDbFile, db::dbLangCyrillic, db::dbVersion40);
        } catch (const K5Error& e) {
            reason = e.Description();
        }
        if (!created) {
            ctx.log.LogAdd(aDescription + QuotedPath(aDbFile) +
                               " создать не удалось по следующей причине:\r\n" + reason,
                           false);
            return false;
        }
        ctx.log.LogAdd(aDescription + QuotedPath(aDbFile) + " создан успешно.", true);
        created->Close();
        return true;
    }
    K5_TRAP(kFrm, "CreateMdb")
}

std::unique_ptr<db::Database> OpenMdb(MaintenanceContext& ctx, const std::string& aDbFile,
                                      const std::string& aDescription, bool aExclusive, bool aReadOnly,
                                      bool aVerify) {
    try {
        std::unique_ptr<db::Database> opened;
        int32_t number = 0;
        std::string reason;
        try {
            opened = ctx.engine.OpenDatabase(aDbFile, aExclusive, aReadOnly);
            if (aVerify) reason = DamageReport(opened->IntegrityCheck());
            // A damaged file counts as one that does not open: nothing is built from it.
            if (!reason.empty()) opened.reset();
        } catch (const K5Error& e) {
            number = e.Number();
            reason = e.Description();
        }
        if (!opened && aExclusive && (number == 3356 || number == 3045)) {
            LogInUse(ctx, aDescription, aDbFile);
        } else if (!opened) {
            ctx.log.LogAdd(aDescription + QuotedPath(aDbFile) +
                               " не удалось открыть по следующей причине:\r\n" + reason,
                           false);
        } else {
            ctx.log.LogAdd(aDescription + QuotedPath(aDbFile) + " открыт успешно.", true);
        }
        return opened;
    }
    K5_TRAP(kFrm, "OpenMdb")
}

void LogInUse(MaintenanceContext& ctx, const std::string& aDescription, const std::string& aDbFile) {
    ctx.log.LogAdd(aDescription + QuotedPath(aDbFile) +
                       " не удалось открыть в монопольном режиме, поскольку он уже открыт и используется "
                       "еще какой-то программой. Для дальнейшей работы программы этот файл необходимо "
                       "открыть в монопольном режиме.",
                   false);
    ctx.state.mAdviceText = std::string("\r\n") + kInUseAdvice;
}

std::unique_ptr<db::Database> OpenMdbFile(MaintenanceContext& ctx, const std::string& aDbFile,
                                          bool aExclusive, bool aReadOnly) {
    try {
        if (!IsFileExists(aDbFile)) ShowWarning(ctx.ui, "Файл \"" + aDbFile + "\" не найден.", "Ошибка");
        return ctx.engine.OpenDatabase(aDbFile, aExclusive, aReadOnly);
    }
    K5_TRAP(kFrm, "OpenMdbFile")
}

bool CompactMdb(MaintenanceContext& ctx, const std::string& aDbFile) {
    try {
        const std::string pack = aDbFile + ".pack";
        DeleteFile(ctx.env, pack, true);
        // The engine flushes the compacted copy to disk before it returns.
        ctx.engine.CompactDatabase(aDbFile, pack);
        ctx.env.Pause(Wait::Compaction, ctx.ui);
        const std::string old = aDbFile + ".old";
        // The file's own name is never missing, not even after a crash, and the compacted
        // copy keeps the file's owner and mode.
        InBackground(ctx, [&] {
            DeleteFile(ctx.env, old, true);
            ReplaceKeeping(ctx.env, pack, aDbFile, old);
            DeleteFile(ctx.env, old, false);
        });
        return true;
    }
    K5_TRAP(kFrm, "CompactMdb")
}

std::string GetDataBaseVersion(MaintenanceContext& ctx, db::Database& aDb) {
    try {
        std::unique_ptr<db::Recordset> rs;
        try {
            rs = aDb.OpenRecordset("DBVersion", db::dbOpenTable);
        } catch (const K5Error&) {
        }
        if (!rs) return std::string();
        MoveToFirstRow(*rs);
        std::string version;
        try {
            version = VersionPart(*rs, "MajorVersion") + "." + VersionPart(*rs, "MinorVersion") + "." +
                      VersionPart(*rs, "BuildNumber");
        } catch (const K5Error&) {
            version.clear();
        }
        rs->Close();
        return version;
    }
    K5_TRAP(kModMain, "GetDataBaseVersion")
}

} // namespace k5
