#include "maintenance/RowCopy.h"

#include <optional>
#include <vector>

namespace k5 {

namespace {

constexpr int32_t kProgressEvery = 1024;
constexpr int32_t kErrObjectNotFound = 3011, kErrInputTableNotFound = 3078;

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Reads every value of the current row into values; false at the first value that
// cannot be read.
bool ReadRow(db::Recordset& rs, std::vector<Value>& values) {
    const int count = rs.FieldCount();
    // A table whose definition is lost entirely has no field to read: its rows are damaged.
    if (count == 0) return false;
    values.resize(static_cast<size_t>(count));
    try {
        for (int i = 0; i < count; ++i)
            values[static_cast<size_t>(i)] = rs.GetValue(i);
    } catch (const K5Error&) {
        return false;
    }
    return true;
}

// Null when the database or the table is absent. With `onlyAbsent`, any other failure to open
// (a table the file holds but cannot deliver) is passed on: it must never read as a missing table.
std::unique_ptr<db::Recordset> OpenTableQuietly(db::Database* database, const std::string& name,
                                                bool onlyAbsent) {
    if (!database) return nullptr;
    try {
        return database->OpenRecordset(name, db::dbOpenTable);
    } catch (const K5Error& e) {
        if (onlyAbsent && e.Number() != kErrObjectNotFound && e.Number() != kErrInputTableNotFound) throw;
        return nullptr;
    }
}

std::string Fmt(int64_t count) {
    return ThisFotmat3(static_cast<int32_t>(count));
}

} // namespace

std::string CutEngineAdvice(const std::string& description) {
    for (const char* advice : {kAdviceRequired, kAdviceDuplicate}) {
        const std::string tail(advice);
        if (EndsWith(description, tail)) return description.substr(0, description.size() - tail.size());
    }
    return description;
}

bool IsRecordCorrupded(MaintenanceContext& ctx, db::Recordset& aRecordset) {
    try {
        std::vector<Value> values;
        return !ReadRow(aRecordset, values);
    }
    K5_TRAP(kFrm, "IsRecordCorrupded")
}

bool RsUpdateFT(MaintenanceContext& ctx, db::Recordset& aRecordset, int32_t aRecordNo,
                int32_t aIgnoredCount) {
    try {
        std::string description;
        try {
            aRecordset.Update();
            return true;
        } catch (const K5Error& e) {
            description = e.Description();
        }
        const int32_t limit = ctx.state.mMaxErrorMessages;
        const bool messages = limit == 0 || aIgnoredCount < limit;
        if (messages) {
            description = CutEngineAdvice(description);
            // The first ignored row of the table closes the table's open line.
            if (aIgnoredCount == 0) ctx.log.LogAddEnd(std::string(), true);
            ctx.log.LogAddEnd("Копирование записи № " + Fmt(aRecordNo) + " вызвало ошибку: " + description,
                              false);
        }
        if (aRecordset.EditMode() != db::dbEditNone) {
            aRecordset.CancelUpdate();
            if (messages) ctx.log.LogAddEnd("Сохранение записи № " + Fmt(aRecordNo) + " отменено.", false);
        }
        return false;
    }
    K5_TRAP(kFrm, "RsUpdateFT")
}

bool CopyTableRows(MaintenanceContext& ctx, const std::string& aTableName, db::Database* aSourceDb,
                   db::Database* aTargetDb) {
    std::string fieldName; // the target field being filled, for the error report
    try {
        bool result = true;
        int32_t ignored = 0;

        // A table missing from one side is an expected outcome, whether the database or
        // only the table is absent.
        std::unique_ptr<db::Recordset> source = OpenTableQuietly(aSourceDb, aTableName, true);
        std::unique_ptr<db::Recordset> target = OpenTableQuietly(aTargetDb, aTableName, false);
        if (!source) {
            if (!target) {
                ctx.log.LogAdd(
                    "Таблица " + aTableName +
                        " не обнаружена в исходной базе данных и не удалось создать новую таблицу " +
                        aTableName + ".",
                    false);
            } else {
                ctx.log.LogAdd("Таблица " + aTableName +
                                   " не обнаружена в исходной базе данных. Создана новая таблица " +
                                   aTableName + ".",
                               false);
            }
            return false;
        }
        if (!target) {
            ctx.log.LogAdd("Таблица " + aTableName + " не найдена в конечной базе данных.", false,
                           std::nullopt, true);
            return false;
        }

        // A source field that the rebuilt table lacks would be dropped without a word (with
        // equal versions, a sign of a damaged structure): the run must not count as clean.
        std::string dropped;
        for (int i = 0; i < source->FieldCount(); ++i) {
            const std::string name = source->FieldInfo(i).Name;
            int found = -1;
            try {
                found = target->FieldIndex(name);
            } catch (const K5Error&) {
            }
            if (found < 0) dropped += (dropped.empty() ? "" : ", ") + name;
        }
        if (!dropped.empty())
            ctx.log.LogAdd("Поля таблицы " + aTableName +
                               " исходной БД, которых нет в эталонной БД, не копируются: " + dropped + ".",
                           false);

        // A damaged stored definition was read around; what it may have cost is not known.
        if (const std::string damage = source->DefinitionDamage(); !damage.empty()) {
            ctx.log.LogAdd("Описание таблицы " + aTableName + " в исходной базе данных повреждено: " + damage + ".",
                           false);
            result = false;
        }

        int32_t recordNo = 0;
        const int64_t sourceCount = source->RecordCount();
        ctx.log.LogAddBegin("Копирование таблицы " + aTableName + " (записей: " + Fmt(sourceCount) + ")",
                            true);

        if (sourceCount > 0) {
            source->MoveFirst();
            // Source columns matched to the target's by name once per table.
            const int targetFields = target->FieldCount();
            std::vector<std::string> names(static_cast<size_t>(targetFields));
            std::vector<int> sourceIndex(static_cast<size_t>(targetFields), -1);
            for (int i = 0; i < targetFields; ++i) {
                names[static_cast<size_t>(i)] = target->FieldInfo(i).Name;
                try {
                    sourceIndex[static_cast<size_t>(i)] = source->FieldIndex(names[static_cast<size_t>(i)]);
                } catch (const K5Error&) {
                }
            }
            const std::string progressStep = "Копирование таблицы " + aTableName;
            std::vector<Value> values;
            for (;;) {
                const bool eof = source->IsEOF();
                const bool stop = ctx.log.GlobalStop();
                if (eof || stop) break;
                ++recordNo;
                if (!ReadRow(*source, values)) {
                    ctx.log.LogAddEnd(" Поврежденная запись № " + Fmt(recordNo) + ".", false, std::nullopt,
                                      true);
                    result = false;
                    ++ignored;
                } else {
                    target->AddNew();
                    for (int i = 0; i < targetFields; ++i) {
                        fieldName = names[static_cast<size_t>(i)];
                        const int from = sourceIndex[static_cast<size_t>(i)];
                        if (from >= 0) target->SetValue(i, values[static_cast<size_t>(from)]);
                    }
                    fieldName.clear();
                    if (!RsUpdateFT(ctx, *target, recordNo, ignored)) {
                        ++ignored;
                        result = false;
                    }
                }
                source->MoveNext();
                if (recordNo % kProgressEvery == 0) ctx.ui.Progress(progressStep, recordNo, sourceCount);
            }
        }

        const int64_t targetCount = target->RecordCount();
        ctx.state.mTableRows[aTableName] = targetCount;
        if (targetCount == sourceCount && result) {
            ctx.log.LogAddEnd(" завершено успешно (скопировано записей: " + Fmt(sourceCount) + ").", true);
        } else {
            const std::string counts = "(скопировано записей: " + Fmt(targetCount) + " из " +
                                       Fmt(sourceCount) + " в исходной таблице";
            if (ignored == 0 && ctx.state.mStopRequested) {
                ctx.log.LogAddEnd(" прервано пользователем\r\n" + counts + ").", false, std::nullopt, true);
            } else if (ignored == 0) {
                ctx.log.LogAddEnd(" завершено с ошибкой\r\n" + counts + ").", false, std::nullopt, true);
            } else {
                ctx.log.LogAddEnd("Копирование таблицы " + aTableName + " завершено с ошибкой " + counts +
                                      ", проигнорировано записей: " + Fmt(ignored) + ").",
                                  false, std::nullopt, true);
            }
            result = false;
        }
        source->Close();
        target->Close();
        return result;
    }
    K5_TRAP_DETAIL(kFrm, "CopyTableRows", "Таблица: " + aTableName + ", поле: " + fieldName)
}

} // namespace k5
