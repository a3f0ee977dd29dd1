#pragma once
// Read-only access to the pages of a database file by the published SQLite 3 file format:
// the header, b-tree pages, cells, records and overflow chains. Nothing here trusts the
// file: every number read is checked before it is used, so a damaged file gives "damaged"
// answers, never a crash or a loop.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace k5::db::detail {

// B-tree page types.
inline constexpr uint8_t kIndexInterior = 0x02;
inline constexpr uint8_t kTableInterior = 0x05;
inline constexpr uint8_t kIndexLeaf = 0x0a;
inline constexpr uint8_t kTableLeaf = 0x0d;

// Storage classes, numbered as SQLite numbers them.
inline constexpr int kClassInteger = 1;
inline constexpr int kClassFloat = 2;
inline constexpr int kClassText = 3;
inline constexpr int kClassBlob = 4;
inline constexpr int kClassNull = 5;

// One value of a record as it is stored.
struct StoredValue {
    int storage = kClassNull;
    int64_t i = 0;
    double d = 0;
    std::string bytes; // text (as stored) or blob
};

inline uint32_t Be16(const uint8_t* p) {
    return (uint32_t(p[0]) << 8) | p[1];
}
inline uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The storage class of a serial type; 0 for the reserved types 10 and 11.
int SerialClass(uint64_t serialType);

// Reads a varint of at most 9 bytes from [p, end); false when it runs past the end.
bool ReadVarint(const uint8_t* p, const uint8_t* end, uint64_t& value, int& length);

// A table b-tree cell of a leaf page, as far as its header tells.
struct LeafCell {
    int64_t rowid = 0;
    uint64_t payload = 0;   // whole record size
    uint32_t local = 0;     // bytes of it on the page
    uint32_t start = 0;     // of the cell within the page
    uint32_t offset = 0;    // of the record's first byte within the page
    uint32_t overflow = 0;  // first overflow page, 0 when the record fits
};

class FilePages {
public:
    // Reads through `fd`, which stays open and owned by the caller; `pageSize` 0 takes the
    // size from the header, or 4096 when the header is damaged.
    explicit FilePages(int fd, uint32_t pageSize = 0);

    uint32_t PageSize() const { return mPageSize; }
    uint32_t Usable() const { return mUsable; }
    // Pages the file holds, the last one perhaps cut short.
    uint32_t PageCount() const { return mPages; }
    // The header's first freelist trunk page and the text encoding (1 = UTF-8).
    uint32_t FreelistTrunk() const { return mFreelistTrunk; }
    uint32_t TextEncoding() const { return mEncoding; }
    // The page that holds the locking bytes at 1 GiB; never part of a b-tree.
    uint32_t LockBytePage() const { return static_cast<uint32_t>(0x40000000ULL / mPageSize) + 1; }

    // Reads page `number` into `out`; false when it lies past the end or cannot be read.
    bool Read(uint32_t number, std::vector<uint8_t>& out) const;
    // First byte of the b-tree header of each page in [first, first + count): the page type.
    void PageTypes(uint32_t first, uint32_t count, std::vector<uint8_t>& types) const;

    // The b-tree header offset within a page (100 on page 1).
    static uint32_t HeaderOffset(uint32_t page) { return page == 1 ? 100 : 0; }

    // Parses the cell whose pointer is entry `index` of a table leaf page's pointer array
    // (the page's own cell count is not looked at). nullopt when the cell does not fit.
    std::optional<LeafCell> ParseLeafCell(const std::vector<uint8_t>& page, uint32_t pageNo,
                                          uint32_t index) const;
    // The whole record of a cell, following its overflow chain; false when the chain is
    // broken (a page out of range, a loop, too short).
    bool Payload(const std::vector<uint8_t>& page, const LeafCell& cell, std::string& out) const;

private:
    int mFd;
    uint32_t mPageSize = 4096;
    uint32_t mUsable = 4096;
    uint32_t mPages = 0;
    uint32_t mFreelistTrunk = 0;
    uint32_t mEncoding = 1;
};

// Splits a record into its values; false when its header or a value runs past its end or
// uses a reserved serial type.
bool DecodeRecord(const std::string& record, std::vector<StoredValue>& values);
// Only the serial types of a record's header (the record may be cut after the header).
bool RecordSerialTypes(const uint8_t* record, size_t size, std::vector<uint64_t>& types);

} // namespace k5::db::detail
