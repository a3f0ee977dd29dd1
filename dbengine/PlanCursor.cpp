// Reading a table's rows from its pages, run by run as a walk or a rescue planned them.
#include "dbengine/Salvage.h"

#include "dbengine/EngineInternal.h"

#include <optional>

namespace k5::db::detail {

PlanCursor::PlanCursor(const FilePages& pages, const SalvagedTable& table, TablePlan plan)
    : mPages(pages), mTable(table), mPlan(std::move(plan)) {}

bool PlanCursor::Next() {
    const auto& runs = mPlan.runs;
    if (!mStarted) {
        mStarted = true;
        mRun = 0;
        mCell = runs.empty() ? 0 : runs[0].from;
    } else {
        ++mCell;
    }
    while (mRun < runs.size() && mCell >= runs[mRun].to)
        if (++mRun < runs.size()) mCell = runs[mRun].from;
    if (mRun >= runs.size()) return false;
    return Load();
}

void PlanCursor::Restore(std::pair<size_t, uint32_t> position) {
    mStarted = true;
    mRun = position.first;
    mCell = position.second;
    if (mRun < mPlan.runs.size()) Load();
}

// Damaged rows between the last row at or below `after` and the first above it come first.
bool PlanCursor::Seek(int64_t after) {
    mStarted = false;
    std::optional<std::pair<size_t, uint32_t>> pending;
    while (Next()) {
        if (mDamaged) {
            if (!pending) pending = Position();
            continue;
        }
        if (mRowid <= after) {
            pending.reset();
            continue;
        }
        if (pending) Restore(*pending);
        return true;
    }
    if (pending) {
        Restore(*pending);
        return true;
    }
    return false;
}

bool PlanCursor::Load() {
    const RowRun& run = mPlan.runs[mRun];
    mDamaged = run.page == 0;
    mRecordOk = false;
    if (mDamaged) return true;
    if (mPageNo != run.page) {
        mPageNo = 0;
        if (!mPages.Read(run.page, mPage)) {
            mDamaged = true;
            return true;
        }
        mPageNo = run.page;
    }
    auto cell = mPages.ParseLeafCell(mPage, run.page, mCell);
    if (!cell) {
        mDamaged = true;
        return true;
    }
    mRowid = cell->rowid;
    mRecordOk = mPages.Payload(mPage, *cell, mRecord) && DecodeRecord(mRecord, mValues);
    return true;
}

bool PlanCursor::Value(size_t index, k5::Value& out) const {
    if (mDamaged || index >= mTable.def.Fields.size()) return false;
    const Field& f = mTable.def.Fields[index];
    ColumnView c;
    // The key stands in the cell itself, readable when the record's overflow is not.
    if (static_cast<int>(index) == mTable.rowidField) {
        c.storage = kClassInteger;
        c.i = mRowid;
        return ConvertStored(c, f, out);
    }
    if (!mRecordOk) return false;
    const int col = mTable.column[index];
    if (col < 0 || static_cast<size_t>(col) >= mValues.size()) {
        // Columns added after a row was written are not in its record.
        c.storage = kClassNull;
        return ConvertStored(c, f, out);
    }
    const StoredValue& v = mValues[static_cast<size_t>(col)];
    c.storage = v.storage;
    c.i = v.i;
    c.d = v.d;
    c.p = v.bytes.data();
    c.n = v.bytes.size();
    return ConvertStored(c, f, out);
}

} // namespace k5::db::detail
