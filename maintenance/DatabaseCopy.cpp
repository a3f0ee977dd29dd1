#include "maintenance/DatabaseCopy.h"

#include "maintenance/DatabaseFiles.h"
#include "maintenance/RowCopy.h"
#include "support/Common.h"
#include "support/FileUtils.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>

namespace k5 {

namespace {

std::string UpperAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The work file of the intermediate compaction, in the database folder (or beside the
// target when no folder is known yet).
std::string CompactionFile(const RunState& state, const std::string& targetFile) {
    const std::string folder = !state.mDataBaseFolder.empty()
                                   ? state.mDataBaseFolder
                                   : std::filesystem::path(targetFile).parent_path().string();
    return JoinPath(folder.empty() ? std::string(".") : folder, "Korund5_Compact.mdb");
}

void IntermediateCompaction(MaintenanceContext& ctx, const std::string& targetFile) {
    const std::string compactFile = CompactionFile(ctx.state, targetFile);
    DeleteFile(ctx.env, compactFile, true);
    ctx.log.LogAddBegin("Промежуточное сжатие файла БД " + targetFile, true);
    // The copy only appends to its file: with no free pages to give back, a gigabyte written
    // again would change nothing but the run's time (the final compaction packs it anyway).
    if (ctx.engine.IsCompact(targetFile)) return ctx.log.LogAddEnd(" завершено успешно.", true);
    ctx.engine.CompactDatabase(targetFile, compactFile);
    ctx.log.LogAddEnd(" завершено успешно.", true);
    // The compacted copy replaces the file in one rename: no moment without the new database.
    InBackground(ctx, [&] { MoveFile(ctx.env, compactFile, targetFile); });
}

} // namespace

void AppendField(MaintenanceContext& ctx, db::TableDef& aTableDef, const db::Field& aField) {
    try {
        db::Field created = aTableDef.CreateField(aField.Name, aField.Type, aField.Size);
        if (created.AllowZeroLength != aField.AllowZeroLength)
            created.AllowZeroLength = aField.AllowZeroLength;
        if (created.Required != aField.Required) created.Required = aField.Required;
        // An empty default and no default are the same thing here.
        if (VarToStr(created.DefaultValue, std::string()) != VarToStr(aField.DefaultValue, std::string()))
            created.DefaultValue = aField.DefaultValue;
        aTableDef.Fields.push_back(std::move(created));
    }
    K5_TRAP(kFrm, "AppendField")
}

void AppendIndex(MaintenanceContext& ctx, db::TableDef& aTableDef, const db::Index& aIndex) {
    try {
        db::Index created = aTableDef.CreateIndex(aIndex.Name);
        for (const db::IndexField& refField : aIndex.Fields) {
            db::IndexField f = created.CreateField(refField.Name);
            if (refField.Attributes & db::dbDescending)
                f.Attributes |= db::dbDescending;
            else
                f.Attributes &= ~db::dbDescending;
            created.Fields.push_back(std::move(f));
        }
        if (!aIndex.Primary) {
            created.Primary = false;
            created.Unique = aIndex.Unique;
            created.IgnoreNulls = aIndex.IgnoreNulls;
        } else {
            created.Primary = true;
        }
        aTableDef.Indexes.push_back(std::move(created));
    }
    K5_TRAP(kFrm, "AppendIndex")
}

void DeleteTable(MaintenanceContext& ctx, db::Database& aTargetDb, const std::string& aTableName) {
    try {
        aTargetDb.DeleteTableDef(aTableName);
    } catch (...) {
    }
}

bool CreateTableAndCopyStruct(MaintenanceContext& ctx, const std::string& aTableName, db::Database& aRefDb,
                              db::Database& aTargetDb) {
    try {
        std::optional<db::TableDef> reference;
        try {
            reference = aRefDb.GetTableDef(aTableName);
        } catch (const K5Error&) {
        }
        if (!reference) {
            ctx.log.LogAdd("Таблица " + aTableName + " не найдена в эталонной БД.", false, std::nullopt,
                           true);
            return false;
        }
        db::TableDef created = aTargetDb.CreateTableDef(aTableName);
        for (const db::Field& field : reference->Fields)
            AppendField(ctx, created, field);
        for (const db::Index& index : reference->Indexes)
            AppendIndex(ctx, created, index);
        DeleteTable(ctx, aTargetDb, aTableName);
        aTargetDb.AppendTableDef(created);
        return true;
    }
    K5_TRAP(kFrm, "CreateTableAndCopyStruct")
}

bool CopyTable(MaintenanceContext& ctx, const std::string& aTableName, db::Database* aSourceDb,
               db::Database* aTargetDb, db::Database* aRefDb) {
    try {
        if (!aRefDb || !aTargetDb) RaiseError(91, "Object variable or With block variable not set");
        if (!CreateTableAndCopyStruct(ctx, aTableName, *aRefDb, *aTargetDb)) return false;
        return CopyTableRows(ctx, aTableName, aSourceDb, aTargetDb);
    }
    K5_TRAP(kFrm, "CopyTable")
}

bool CopyDataBase(MaintenanceContext& ctx, const std::string& aSourceFile, const std::string& aTargetFile,
                  const std::string& aRefFile, const std::optional<std::vector<std::string>>& aTableList) {
    try {
        bool result = true;
        DeleteFile(ctx.env, aTargetFile, true);
        if (!CreateMdb(ctx, aTargetFile, "Новый (пустой) файл БД")) return false;

        std::unique_ptr<db::Database> source = OpenMdbFile(ctx, aSourceFile, true, true);
        std::unique_ptr<db::Database> target = OpenMdbFile(ctx, aTargetFile, true, false);
        std::unique_ptr<db::Database> reference = OpenMdbFile(ctx, aRefFile, true, true);

        ctx.log.LogAddEnd("\r\nКопирование таблиц с данными из исходного файла БД во вновь созданный:", true);

        if (!aTableList) {
            std::unique_ptr<db::Recordset> list = reference->OpenRecordset("ListTbl", db::dbOpenTable);
            MoveToFirstRow(*list);
            for (;;) {
                const bool eof = list->IsEOF();
                const bool stop = ctx.log.GlobalStop();
                if (eof || stop) break;
                const std::string name = VarToStr(list->GetValue("TblName"), std::string());
                bool fromSource = VarToLng(list->GetValue("TblType"), 0) != 0;
                // Ticked, the option clears the stored check results by taking the
                // reference's (empty) table.
                if (ctx.options.ClearPfrErrors())
                    fromSource = fromSource && UpperAscii(name) != kPfrErrorsTable;
                if (!CopyTable(ctx, name, fromSource ? source.get() : reference.get(), target.get(),
                               reference.get()))
                    result = false;
                target->Close();
                target.reset();
                if (UpperAscii(name) == kDocCellValuesTable) IntermediateCompaction(ctx, aTargetFile);
                target = OpenMdbFile(ctx, aTargetFile, true, false);
                list->MoveNext();
            }
            list->Close();
        } else {
            for (const std::string& name : *aTableList) {
                if (!CopyTable(ctx, name, source.get(), target.get(), reference.get())) result = false;
                if (ctx.log.GlobalStop()) break;
            }
        }
        return result;
    }
    K5_TRAP(kFrm, "CopyDataBase")
}

} // namespace k5
