#pragma once
// Writing the demo rows: values of the engine's types, a row writer over one table, and the
// small made-up values (INN, SNILS, reporting periods) that several tables share.
#include "Generator.h"
#include "Rng.h"
#include "Schema.h"
#include "dbengine/DaoEngine.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace k5demo {

inline constexpr int32_t kMajor = 4, kMinor = 2, kBuild = 17;
// Ids of documents, sub-documents and the like that exist nowhere: what orphans point at.
inline constexpr int32_t kGhostBase = 900000000;

inline k5::Value L(int64_t v) {
    return static_cast<int32_t>(v);
}
inline k5::Value I(int v) {
    return static_cast<int16_t>(v);
}
inline k5::Value B(int v) {
    return static_cast<uint8_t>(v);
}
inline k5::Value S(std::string s) {
    return s;
}
inline k5::Value D(double days) {
    return k5::Date{days};
}
inline k5::Value Money(int64_t kopecks) {
    return k5::Currency{kopecks * 100};
}

// Appends rows to one table through the engine's row interface.
class Writer {
public:
    Writer(k5::db::Database& db, const TableSpec& spec)
        : mSpec(spec), mRs(db.OpenRecordset(spec.Name, k5::db::dbOpenTable)), mRow(spec.Columns.size()) {
        for (const auto& c : spec.Columns) {
            mMap.push_back(mRs->FieldIndex(c.Name));
            if (mMap.back() < 0)
                throw std::runtime_error("the engine shows no field " + c.Name + " in " + spec.Name);
        }
    }
    void Begin() {
        for (auto& v : mRow)
            v = k5::Null{};
    }
    void Set(const char* column, k5::Value v) {
        mRow[static_cast<size_t>(mSpec.ColumnIndex(column))] = std::move(v);
    }
    void SetAt(size_t index, k5::Value v) { mRow[index] = std::move(v); }
    // Starts a row under the table's next id, set in `idColumn`; returns the id.
    int32_t BeginRow(const char* idColumn = "Id") {
        const int32_t id = NextId();
        Begin();
        Set(idColumn, L(id));
        return id;
    }
    void Put() {
        mRs->AddNew();
        for (size_t i = 0; i < mRow.size(); ++i) {
            if (!k5::IsNull(mRow[i])) mRs->SetValue(mMap[i], mRow[i]);
        }
        mRs->Update();
        ++mCount;
    }
    int32_t NextId() { return ++mLastId; }
    int32_t LastId() const { return mLastId; }
    int64_t Count() const { return mCount; }
    void Close() { mRs->Close(); }

private:
    const TableSpec& mSpec;
    std::unique_ptr<k5::db::Recordset> mRs;
    std::vector<k5::Value> mRow;
    std::vector<int> mMap;
    int32_t mLastId = 0;
    int64_t mCount = 0;
};

k5::Bytes RandomBytes(Rng& rng, size_t n);
std::string Inn(Rng& rng, bool legal);
std::string Snils(Rng& rng);

struct Period {
    int32_t Id;
    int Year;
    const char* Code;
    double End;
};

std::vector<Period> MakePeriods();
const char* PeriodName(const char* code);

} // namespace k5demo
