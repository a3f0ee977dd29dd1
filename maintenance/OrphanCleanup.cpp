#include "maintenance/OrphanCleanup.h"

#include <algorithm>
#include <cctype>
#include <memory>

namespace k5 {

namespace {

struct KindRule {
    const char* lead;
    SqlKind kind;
    const char* prefix; // protocol prefix of the kinds that do not count rows
};

// Tested in this order; the name starts one character after the leading words.
constexpr KindRule kKindRules[] = {
    {"DELETE FROM", SqlKind::DeleteFrom, ""},
    {"CREATE TABLE", SqlKind::CreateTable, "Создание таблицы "},
    {"CREATE INDEX", SqlKind::CreateIndex, "Создание индекса "},
    {"INSERT INTO", SqlKind::InsertInto, "Наполнение данными таблицы "},
    {"DROP TABLE", SqlKind::DropTable, "Удаление временной таблицы "},
};

const char* KindPrefix(SqlKind kind) {
    for (const KindRule& rule : kKindRules)
        if (rule.kind == kind) return rule.prefix;
    return "";
}

constexpr int32_t kInvalidArgument = 5;

std::string Fmt(int64_t count) {
    return ThisFotmat3(static_cast<int32_t>(count));
}

// Table names compare as the engine compares them: ASCII letters without case.
bool SameTableName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int64_t CountRows(db::Database& database, const std::string& table) {
    std::unique_ptr<db::Recordset> rs = database.OpenRecordset(table, db::dbOpenTable);
    const int64_t count = rs->RecordCount();
    rs->Close();
    return count;
}

} // namespace

std::optional<SqlStatementInfo> ClassifyStatement(const std::string& statement) {
    for (const KindRule& rule : kKindRules) {
        const std::string lead(rule.lead);
        if (statement.compare(0, lead.size(), lead) != 0) continue;
        const size_t start = lead.size() + 1;
        if (rule.kind == SqlKind::DropTable) {
            // The rest of the text less its closing ";".
            if (statement.size() < start + 1)
                RaiseError(kInvalidArgument, "Invalid procedure call or argument");
            return SqlStatementInfo{rule.kind, statement.substr(start, statement.size() - start - 1)};
        }
        const size_t blank = start <= statement.size() ? statement.find(' ', start) : std::string::npos;
        if (blank == std::string::npos) RaiseError(kInvalidArgument, "Invalid procedure call or argument");
        return SqlStatementInfo{rule.kind, statement.substr(start, blank - start)};
    }
    return std::nullopt;
}

void SQLProcessor(MaintenanceContext& ctx, const std::string& aDbFile,
                  const std::vector<std::string>& aStatements) {
    try {
        const int64_t total = static_cast<int64_t>(aStatements.size());
        int64_t done = 0;
        for (const std::string& statement : aStatements) {
            ctx.ui.Progress("Удаление лишних записей", done++, total);
            const std::optional<SqlStatementInfo> info = ClassifyStatement(statement);
            if (!info) continue;

            std::unique_ptr<db::Database> database = ctx.engine.OpenDatabase(aDbFile, true, false);
            if (info->kind == SqlKind::DeleteFrom) {
                const int64_t before = CountRows(*database, info->name);
                ctx.log.LogAddBegin("Удаление лишних записей из таблицы " + info->name +
                                        " (записей: " + Fmt(before) + ")",
                                    true);
                database->Execute(statement);
                const int64_t after = CountRows(*database, info->name);
                if (after == before) {
                    ctx.log.LogAddEnd(" завершено успешно (удалено записей: 0).", true);
                } else {
                    // Removed rows are no failure, but the run no longer counts as clean.
                    ctx.log.LogAddEnd(" завершено (удалено записей: " + Fmt(before - after) +
                                          ", осталось записей: " + Fmt(after) + ").",
                                      false, kColourDarkRed, true);
                }
            } else {
                ctx.log.LogAddBegin(KindPrefix(info->kind) + info->name, true);
                database->Execute(statement);
                ctx.log.LogAddEnd(" завершено успешно.", true);
            }
            // The rows the repaired file is checked against follow what the statement did.
            for (auto it = ctx.state.mTableRows.begin(); it != ctx.state.mTableRows.end(); ++it) {
                if (!SameTableName(it->first, info->name)) continue;
                if (info->kind == SqlKind::DropTable)
                    ctx.state.mTableRows.erase(it);
                else
                    it->second = CountRows(*database, it->first);
                break;
            }
            database->Close();
        }
        ctx.ui.Progress("Удаление лишних записей", done, total);
    }
    K5_TRAP(kFrm, "SQLProcessor")
}

void DeletingUnnecessaryRecords(MaintenanceContext& ctx, const std::string& aDbFile) {
    try {
        ctx.log.LogAddEnd("Удаление лишних записей из таблиц:", true);
        SQLProcessor(ctx, aDbFile, OrphanCleanupStatements());
        ctx.log.LogAddEnd(std::string(), true);
    }
    K5_TRAP(kFrm, "DeletingUnnecessaryRecords")
}

} // namespace k5
