// The rows of a table as far as its pages hold them: a walk of the table's tree that checks
// every page, and the rescue of leaf pages that a damaged tree no longer reaches.
#include "dbengine/Salvage.h"

#include "dbengine/EngineInternal.h"

#include <algorithm>
#include <climits>

namespace k5::db::detail {


namespace {

// A place in a table's rows where a page could not be read: rowids in (lo, hi] may lie on
// leaves that the tree lost.
struct Gap {
    size_t at = 0; // index into the plan's runs, after the damaged row
    int64_t lo = INT64_MIN, hi = INT64_MAX;
};

// The table leaves that no tree claims and whose cells all parse, in rowid order, with
// records of one column count.
std::vector<Candidate> LostLeaves(const FilePages& pages, const std::vector<uint8_t>& claimed) {
    std::vector<Candidate> candidates;
    const uint32_t pageCount = pages.PageCount();
    std::vector<uint8_t> types, page;
    std::vector<uint64_t> serial;
    pages.PageTypes(1, pageCount, types);
    for (uint32_t p = 2; p <= pageCount; ++p) {
        if (types[p - 1] != kTableLeaf || claimed[p] || !pages.Read(p, page)) continue;
        const uint32_t n = Be16(page.data() + 3);
        if (n == 0 || 8 + 2 * n > pages.Usable()) continue;
        Candidate c;
        c.page = p;
        c.cells = static_cast<uint16_t>(n);
        bool ok = true;
        int64_t prev = INT64_MIN;
        for (uint32_t k = 0; k < n && ok; ++k) {
            auto cell = pages.ParseLeafCell(page, p, k);
            ok = cell && cell->start >= 8 + 2 * n && cell->rowid > prev &&
                 RecordSerialTypes(page.data() + cell->offset, cell->local, serial);
            if (!ok) break;
            prev = cell->rowid;
            if (k == 0) {
                c.first = cell->rowid;
                c.columns = static_cast<int>(serial.size());
                c.classes.assign(serial.size(), 0);
            }
            c.last = cell->rowid;
            if (static_cast<int>(serial.size()) != c.columns) {
                ok = false;
                break;
            }
            for (size_t col = 0; col < serial.size(); ++col)
                c.classes[col] |= static_cast<uint8_t>(1 << SerialClass(serial[col]));
        }
        if (ok) candidates.push_back(std::move(c));
    }
    return candidates;
}

// A damaged table's rows with the lost leaves put into the gaps they fill, in rowid order.
TablePlan MergeRescued(const TablePlan& plan, const std::vector<Gap>& gaps, const std::vector<Candidate>& candidates,
                       const std::vector<std::vector<size_t>>& perGap) {
    TablePlan out;
    out.clean = false;
    auto fill = [&](size_t g) {
        auto list = perGap[g];
        std::sort(list.begin(), list.end(),
                  [&](size_t a, size_t b) { return candidates[a].first < candidates[b].first; });
        int64_t last = gaps[g].lo;
        for (size_t ci : list) {
            const Candidate& c = candidates[ci];
            if (c.first <= last) {
                // Two lost leaves claim the same rowids: neither can be trusted more.
                out.runs.push_back(RowRun{0, 0, 1, false});
                ++out.rows;
                continue;
            }
            out.runs.push_back(RowRun{c.page, 0, c.cells, false});
            out.rows += c.cells;
            last = c.last;
        }
    };
    size_t gi = 0;
    for (size_t ri = 0; ri <= plan.runs.size(); ++ri) {
        while (gi < gaps.size() && gaps[gi].at == ri) fill(gi++);
        if (ri == plan.runs.size()) break;
        const RowRun& r = plan.runs[ri];
        out.runs.push_back(r);
        out.rows += r.to - r.from;
    }
    return out;
}

} // namespace

struct FileSalvage::Walker {
    const FilePages& pages;
    const SalvagedTable& table;
    std::vector<uint8_t>* claimed; // pages some tree owns; null for a check of one table
    const std::atomic<bool>* stop;
    TablePlan plan;
    std::vector<Gap> gaps;
    int64_t prev = INT64_MIN;
    std::vector<bool> visited;
    std::vector<uint8_t> page;
    std::vector<uint64_t> types;

    Walker(const FilePages& p, const SalvagedTable& t, std::vector<uint8_t>* c, const std::atomic<bool>* s)
        : pages(p), table(t), claimed(c), stop(s), visited(size_t(p.PageCount()) + 1, false) {}

    void Damaged(int64_t lo, int64_t hi) {
        AddDamaged(1);
        gaps.push_back(Gap{plan.runs.size(), lo, hi});
    }

    void AddDamaged(uint16_t n) {
        plan.clean = false;
        plan.rows += n;
        if (!plan.runs.empty() && plan.runs.back().page == 0 && plan.runs.back().to < 60000) {
            plan.runs.back().to = static_cast<uint16_t>(plan.runs.back().to + n);
            return;
        }
        plan.runs.push_back(RowRun{0, 0, n, false});
    }

    void AddCell(uint32_t pageNo, uint32_t index, bool headerless) {
        ++plan.rows;
        if (!plan.runs.empty()) {
            RowRun& last = plan.runs.back();
            if (last.page == pageNo && last.to == index && last.headerless == headerless) {
                ++last.to;
                return;
            }
        }
        plan.runs.push_back(RowRun{pageNo, static_cast<uint16_t>(index), static_cast<uint16_t>(index + 1),
                                   headerless});
    }

    // Whether a record fits the table: no more columns than it has, each of a class its
    // field may hold. A table whose definition is unknown takes any record.
    bool Fits(const std::vector<uint8_t>& data, const LeafCell& cell) {
        if (table.columns <= 0) return true;
        if (!RecordSerialTypes(data.data() + cell.offset, cell.local, types)) {
            // The record's header continues on an overflow page: nothing to look at here.
            return cell.local < cell.payload;
        }
        if (types.empty() || types.size() > static_cast<size_t>(table.columns)) return false;
        for (size_t c = 0; c < types.size(); ++c)
            if (!(table.shape[c] & (1 << SerialClass(types[c])))) return false;
        return true;
    }

    void Run(uint32_t root) {
        struct Frame {
            uint32_t page;
            int64_t lo, hi;
        };
        std::vector<Frame> stack{{root, INT64_MIN, INT64_MAX}};
        while (!stack.empty()) {
            if (stop && stop->load()) return;
            const Frame f = stack.back();
            stack.pop_back();
            if (f.page < 1 || f.page > pages.PageCount() || f.page == pages.LockBytePage() ||
                (f.page == 1 && root != 1) || visited[f.page] || !pages.Read(f.page, page)) {
                Damaged(f.lo, f.hi);
                continue;
            }
            visited[f.page] = true;
            const uint32_t hdr = FilePages::HeaderOffset(f.page);
            const uint8_t type = page[hdr];
            if (type == kTableInterior) {
                const size_t before = stack.size();
                if (Interior(f.page, f.lo, f.hi, stack)) {
                    Claim(f.page);
                    std::reverse(stack.begin() + static_cast<long>(before), stack.end());
                } else {
                    stack.resize(before);
                    Damaged(f.lo, f.hi);
                }
                continue;
            }
            const uint32_t cells = Be16(page.data() + hdr + 3);
            if (type == kTableLeaf && hdr + 8 + 2 * cells <= pages.Usable()) {
                Leaf(f.page, cells, f.lo, f.hi);
                continue;
            }
            Headerless(f.page, f.lo, f.hi);
        }
    }

    template <class Stack>
    bool Interior(uint32_t pageNo, int64_t lo, int64_t hi, Stack& stack) {
        const uint32_t hdr = FilePages::HeaderOffset(pageNo);
        const uint32_t n = Be16(page.data() + hdr + 3);
        const uint32_t arrayEnd = hdr + 12 + 2 * n;
        if (arrayEnd > pages.Usable()) return false;
        int64_t below = lo;
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t at = Be16(page.data() + hdr + 12 + 2 * k);
            if (at < arrayEnd || at + 5 > pages.Usable()) return false;
            uint64_t key = 0;
            int len = 0;
            if (!ReadVarint(page.data() + at + 4, page.data() + pages.Usable(), key, len)) return false;
            const auto k64 = static_cast<int64_t>(key);
            if (k64 <= below || k64 > hi) return false;
            stack.push_back({Be32(page.data() + at), below, k64});
            below = k64;
        }
        stack.push_back({Be32(page.data() + hdr + 8), below, hi});
        return true;
    }

    // The cells of a leaf in order; a cell that does not parse, fit the table or keep the
    // rowid order is one damaged row. A page none of whose cells fits is not this table's.
    void Leaf(uint32_t pageNo, uint32_t n, int64_t lo, int64_t hi) {
        const uint32_t arrayEnd = FilePages::HeaderOffset(pageNo) + 8 + 2 * n;
        const size_t runsBefore = plan.runs.size();
        const int64_t rowsBefore = plan.rows, prevBefore = prev;
        const bool cleanBefore = plan.clean;
        uint32_t good = 0;
        for (uint32_t k = 0; k < n; ++k) {
            auto cell = pages.ParseLeafCell(page, pageNo, k);
            if (cell && cell->start >= arrayEnd && cell->rowid > prev && cell->rowid > lo && cell->rowid <= hi) {
                // A record of the wrong shape on a page of the tree is a row with a bad value:
                // the value refuses to be read, the rest of the row stays readable.
                AddCell(pageNo, k, false);
                prev = cell->rowid;
                good += Fits(page, *cell);
            } else {
                AddDamaged(1);
            }
        }
        if (good == 0 && n > 0) {
            plan.runs.resize(runsBefore);
            plan.rows = rowsBefore;
            prev = prevBefore;
            plan.clean = cleanBefore;
            Damaged(lo, hi);
            return;
        }
        Claim(pageNo);
    }

    // A page whose header is damaged where a leaf was expected: its pointer array is read
    // as far as it leads to cells that fit. What it held cannot be known, so it counts as a
    // damaged row as well.
    void Headerless(uint32_t pageNo, int64_t lo, int64_t hi) {
        const uint32_t hdr = FilePages::HeaderOffset(pageNo);
        std::vector<std::pair<uint32_t, int64_t>> found;
        int64_t last = std::max(prev, lo);
        for (uint32_t k = 0; hdr + 8 + 2 * (k + 1) <= pages.Usable(); ++k) {
            auto cell = pages.ParseLeafCell(page, pageNo, k);
            if (!cell || cell->rowid <= last || cell->rowid > hi || !Fits(page, *cell)) break;
            found.emplace_back(k, cell->rowid);
            last = cell->rowid;
        }
        if (found.empty() || table.columns <= 0) {
            Damaged(lo, hi);
            return;
        }
        // The rows found come first, so that a table's first row stays its first row.
        for (auto& [k, rowid] : found)
            AddCell(pageNo, k, true);
        AddDamaged(1);
        prev = last;
        Claim(pageNo);
    }

    void Claim(uint32_t pageNo) {
        if (claimed) (*claimed)[pageNo] = 1;
    }
};

FileSalvage::FileSalvage(int fd, std::string path) : mPages(fd), mPath(std::move(path)) {}
FileSalvage::~FileSalvage() = default;

TablePlan FileSalvage::Walk(const SalvagedTable& table, const std::atomic<bool>* stop) {
    Walker w(mPages, table, nullptr, stop);
    if (table.root == 0)
        w.Damaged(INT64_MIN, INT64_MAX);
    else
        w.Run(table.root);
    return std::move(w.plan);
}

TablePlan FileSalvage::Rescue(const SalvagedTable& table, const std::atomic<bool>* stop) {
    BuildRescue(stop);
    auto it = mRescued.find(table.name);
    if (it != mRescued.end()) return it->second;
    return Walk(table, stop);
}

// Free pages keep what they held before they were freed: old rows must not come back.
void FileSalvage::ClaimFreelist(std::vector<uint8_t>& claimed) const {
    const uint32_t pageCount = mPages.PageCount();
    uint32_t trunk = mPages.FreelistTrunk();
    std::vector<uint8_t> page;
    for (uint32_t hops = 0; trunk >= 2 && trunk <= pageCount && hops < pageCount && !claimed[trunk]; ++hops) {
        claimed[trunk] = 1;
        if (!mPages.Read(trunk, page)) break;
        const uint32_t n = Be32(page.data() + 4);
        if (n > mPages.Usable() / 4 - 2) break;
        for (uint32_t i = 0; i < n; ++i)
            if (const uint32_t leaf = Be32(page.data() + 8 + 4 * i); leaf >= 2 && leaf <= pageCount) claimed[leaf] = 1;
        trunk = Be32(page.data());
    }
}

// Unclaimed leaves whose records are schema rows: five values, the first the kind of a
// schema object, the fourth its root page.
std::vector<Candidate> FileSalvage::SchemaLeaves(const std::vector<uint8_t>& claimed) const {
    std::vector<Candidate> found;
    std::vector<uint8_t> page;
    std::string record;
    std::vector<StoredValue> values;
    for (Candidate& c : LostLeaves(mPages, claimed)) {
        bool ok = c.columns == 5 && mPages.Read(c.page, page);
        for (uint32_t k = 0; k < c.cells && ok; ++k) {
            auto cell = mPages.ParseLeafCell(page, c.page, k);
            ok = cell && mPages.Payload(page, *cell, record) && DecodeRecord(record, values) && values.size() == 5 &&
                 values[0].storage == kClassText && values[3].storage == kClassInteger &&
                 (values[0].bytes == "table" || values[0].bytes == "index" || values[0].bytes == "view" ||
                  values[0].bytes == "trigger");
        }
        if (ok) found.push_back(std::move(c));
    }
    return found;
}

// The schema's rows. Its lost leaves are told by their records.
TablePlan FileSalvage::SchemaPlan(const SalvagedTable& schema) {
    std::vector<uint8_t> claimed(size_t(mPages.PageCount()) + 1, 0);
    Walker w(mPages, schema, &claimed, nullptr);
    w.Run(1);
    if (w.plan.clean || w.gaps.empty()) return std::move(w.plan);
    ClaimFreelist(claimed);
    const std::vector<Candidate> found = SchemaLeaves(claimed);
    std::vector<std::vector<size_t>> perGap(w.gaps.size());
    for (size_t ci = 0; ci < found.size(); ++ci)
        for (size_t gi = 0; gi < w.gaps.size(); ++gi)
            if (found[ci].first > w.gaps[gi].lo && found[ci].last <= w.gaps[gi].hi) {
                perGap[gi].push_back(ci);
                break;
            }
    return MergeRescued(w.plan, w.gaps, found, perGap);
}

void FileSalvage::BuildRescue(const std::atomic<bool>* stop) {
    if (mRescueBuilt) return;
    LoadTables();
    const uint32_t pageCount = mPages.PageCount();
    std::vector<uint8_t> claimed(size_t(pageCount) + 1, 0);
    if (pageCount >= 1) claimed[1] = 1;
    if (mPages.LockBytePage() <= pageCount) claimed[mPages.LockBytePage()] = 1;

    // Every tree, so that a leaf one of them reaches is never given to another table.
    struct Walked {
        const SalvagedTable* table;
        TablePlan plan;
        std::vector<Gap> gaps;
    };
    std::vector<Walked> walked;
    for (const SalvagedTable& t : mTables) {
        Walker w(mPages, t, &claimed, stop);
        if (t.root == 0)
            w.Damaged(INT64_MIN, INT64_MAX);
        else
            w.Run(t.root);
        if (stop && stop->load()) return;
        walked.push_back({&t, std::move(w.plan), std::move(w.gaps)});
    }
    ClaimFreelist(claimed);

    const bool anyGap = std::any_of(walked.begin(), walked.end(), [](const Walked& w) { return !w.gaps.empty(); });
    std::vector<Candidate> candidates;
    if (anyGap) candidates = LostLeaves(mPages, claimed);

    // A lost leaf goes to the one table whose records it matches and whose gap its rowids
    // fill; a leaf that would fit two tables goes to neither.
    auto fits = [](const SalvagedTable& t, const Candidate& c) {
        if (t.columns <= 0 || c.columns != t.columns) return false;
        for (int col = 0; col < c.columns; ++col)
            if (c.classes[size_t(col)] & ~t.shape[size_t(col)]) return false;
        return true;
    };
    std::vector<std::vector<std::vector<size_t>>> assigned(walked.size()); // table, gap -> candidates
    for (size_t ci = 0; ci < candidates.size(); ++ci) {
        const Candidate& c = candidates[ci];
        int matches = 0;
        size_t tableAt = 0, gapAt = 0;
        for (size_t ti = 0; ti < walked.size(); ++ti) {
            if (walked[ti].gaps.empty() || !fits(*walked[ti].table, c)) continue;
            for (size_t gi = 0; gi < walked[ti].gaps.size(); ++gi) {
                const Gap& g = walked[ti].gaps[gi];
                if (c.first > g.lo && c.last <= g.hi) {
                    ++matches;
                    tableAt = ti;
                    gapAt = gi;
                }
            }
        }
        if (matches != 1) continue;
        auto& perGap = assigned[tableAt];
        perGap.resize(walked[tableAt].gaps.size());
        perGap[gapAt].push_back(ci);
    }

    for (size_t ti = 0; ti < walked.size(); ++ti) {
        Walked& w = walked[ti];
        if (w.plan.clean) continue;
        assigned[ti].resize(w.gaps.size());
        mRescued[w.table->name] = MergeRescued(w.plan, w.gaps, candidates, assigned[ti]);
    }
    mRescueBuilt = true;
}

} // namespace k5::db::detail
