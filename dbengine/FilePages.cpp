// Pages, cells and records of an SQLite 3 file, read without trusting any of it.
#include "dbengine/FilePages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace k5::db::detail {

namespace {

// Bytes read before the end of the file or an error.
size_t ReadUpTo(int fd, void* buffer, size_t size, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool ReadFull(int fd, void* buffer, size_t size, uint64_t offset) {
    return ReadUpTo(fd, buffer, size, offset) == size;
}

bool ValidPageSize(uint32_t size) {
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

} // namespace

int SerialClass(uint64_t t) {
    if (t == 0) return kClassNull;
    if (t <= 6 || t == 8 || t == 9) return kClassInteger;
    if (t == 7) return kClassFloat;
    if (t >= 12) return (t & 1) ? kClassText : kClassBlob;
    return 0;
}

bool ReadVarint(const uint8_t* p, const uint8_t* end, uint64_t& value, int& length) {
    value = 0;
    for (int i = 0; i < 9; ++i) {
        if (p + i >= end) return false;
        if (i == 8) {
            value = (value << 8) | p[i];
            length = 9;
            return true;
        }
        value = (value << 7) | (p[i] & 0x7f);
        if (!(p[i] & 0x80)) {
            length = i + 1;
            return true;
        }
    }
    return false;
}

FilePages::FilePages(int fd, uint32_t pageSize) : mFd(fd) {
    uint8_t header[100] = {};
    const bool haveHeader = ReadFull(fd, header, sizeof header, 0);
    uint32_t size = pageSize;
    if (size == 0 && haveHeader) {
        size = Be16(header + 16);
        if (size == 1) size = 65536;
    }
    // Bytes 21-23 never change; when they or the page size are wrong the header is damaged,
    // and the engine's own layout (4096-byte pages, no reserved bytes, UTF-8) is the best guess.
    const bool sane = haveHeader && ValidPageSize(size) && header[21] == 64 && header[22] == 32 && header[23] == 32;
    mPageSize = ValidPageSize(size) && (sane || pageSize != 0) ? size : 4096;
    const uint32_t reserved = sane ? header[20] : 0;
    mUsable = (reserved <= mPageSize - 480) ? mPageSize - reserved : mPageSize;
    if (sane) {
        mFreelistTrunk = Be32(header + 32);
        mEncoding = Be32(header + 56);
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        const uint64_t pages = (static_cast<uint64_t>(st.st_size) + mPageSize - 1) / mPageSize;
        mPages = pages > 0xfffffffeULL ? 0xfffffffeU : static_cast<uint32_t>(pages);
    }
}

bool FilePages::Read(uint32_t number, std::vector<uint8_t>& out) const {
    if (number == 0 || number > mPages) return false;
    out.assign(mPageSize, 0);
    // The last page of a truncated file keeps what it still holds; the rest reads as zeros,
    // which no cell survives.
    return ReadUpTo(mFd, out.data(), mPageSize, uint64_t(number - 1) * mPageSize) > 0;
}

void FilePages::PageTypes(uint32_t first, uint32_t count, std::vector<uint8_t>& types) const {
    types.assign(count, 0);
    // Whole runs of pages are read at once: this looks at every page of the file.
    constexpr uint32_t kRun = 256;
    std::vector<uint8_t> buffer;
    for (uint32_t done = 0; done < count; done += kRun) {
        const uint32_t n = std::min(kRun, count - done);
        const uint32_t page = first + done;
        if (page == 0 || page > mPages) break;
        const uint32_t have = std::min(n, mPages - page + 1);
        buffer.resize(size_t(have) * mPageSize);
        if (!ReadFull(mFd, buffer.data(), buffer.size(), uint64_t(page - 1) * mPageSize)) {
            // A read error in the run: page by page, so that one bad sector costs one page.
            std::vector<uint8_t> one;
            for (uint32_t k = 0; k < have; ++k)
                if (Read(page + k, one)) types[done + k] = one[HeaderOffset(page + k)];
            continue;
        }
        for (uint32_t k = 0; k < have; ++k)
            types[done + k] = buffer[size_t(k) * mPageSize + HeaderOffset(page + k)];
    }
}

std::optional<LeafCell> FilePages::ParseLeafCell(const std::vector<uint8_t>& page, uint32_t pageNo,
                                                 uint32_t index) const {
    const uint32_t hdr = HeaderOffset(pageNo);
    const uint32_t slot = hdr + 8 + 2 * index;
    if (slot + 2 > mUsable) return std::nullopt;
    const uint32_t at = Be16(page.data() + slot);
    // A cell lies after the pointer array and inside the usable part of the page.
    if (at < slot + 2 || at >= mUsable) return std::nullopt;
    const uint8_t* p = page.data() + at;
    const uint8_t* end = page.data() + mUsable;
    LeafCell cell;
    cell.start = at;
    int n1 = 0, n2 = 0;
    uint64_t rowid = 0;
    if (!ReadVarint(p, end, cell.payload, n1) || !ReadVarint(p + n1, end, rowid, n2)) return std::nullopt;
    cell.rowid = static_cast<int64_t>(rowid);
    // Larger than SQLite ever writes: the size is damage.
    if (cell.payload > 0x7fffffffULL) return std::nullopt;
    const uint32_t u = mUsable;
    const uint64_t x = u - 35;
    if (cell.payload <= x) {
        cell.local = static_cast<uint32_t>(cell.payload);
    } else {
        const uint64_t m = ((uint64_t(u) - 12) * 32 / 255) - 23;
        const uint64_t k = m + ((cell.payload - m) % (u - 4));
        cell.local = static_cast<uint32_t>(k <= x ? k : m);
    }
    cell.offset = at + static_cast<uint32_t>(n1 + n2);
    const uint64_t cellEnd = uint64_t(cell.offset) + cell.local + (cell.local < cell.payload ? 4 : 0);
    if (cellEnd > mUsable) return std::nullopt;
    if (cell.local < cell.payload) {
        cell.overflow = Be32(page.data() + cell.offset + cell.local);
        if (cell.overflow < 2 || cell.overflow > mPages) return std::nullopt;
    }
    return cell;
}

bool FilePages::Payload(const std::vector<uint8_t>& page, const LeafCell& cell, std::string& out) const {
    out.assign(reinterpret_cast<const char*>(page.data()) + cell.offset, cell.local);
    uint64_t left = cell.payload - cell.local;
    uint32_t next = cell.overflow;
    std::vector<uint8_t> buffer;
    // A chain never needs more pages than its bytes fill, which also ends any loop.
    uint64_t budget = left / (mUsable - 4) + 1;
    while (left > 0) {
        if (next < 2 || next > mPages || next == LockBytePage() || budget-- == 0) return false;
        if (!Read(next, buffer)) return false;
        const uint64_t take = std::min<uint64_t>(left, mUsable - 4);
        out.append(reinterpret_cast<const char*>(buffer.data()) + 4, static_cast<size_t>(take));
        left -= take;
        next = Be32(buffer.data());
    }
    return true;
}

bool RecordSerialTypes(const uint8_t* record, size_t size, std::vector<uint64_t>& types) {
    types.clear();
    const uint8_t* end = record + size;
    uint64_t headerSize = 0;
    int n = 0;
    if (!ReadVarint(record, end, headerSize, n) || headerSize < uint64_t(n) || headerSize > size) return false;
    const uint8_t* p = record + n;
    const uint8_t* headerEnd = record + headerSize;
    while (p < headerEnd) {
        uint64_t t = 0;
        if (!ReadVarint(p, headerEnd, t, n) || SerialClass(t) == 0) return false;
        types.push_back(t);
        p += n;
    }
    return true;
}

bool DecodeRecord(const std::string& record, std::vector<StoredValue>& values) {
    const auto* base = reinterpret_cast<const uint8_t*>(record.data());
    std::vector<uint64_t> types;
    if (!RecordSerialTypes(base, record.size(), types)) return false;
    uint64_t headerSize = 0;
    int n = 0;
    ReadVarint(base, base + record.size(), headerSize, n);
    uint64_t at = headerSize;
    values.resize(types.size());
    for (size_t k = 0; k < types.size(); ++k) {
        const uint64_t t = types[k];
        StoredValue& v = values[k];
        v.storage = SerialClass(t);
        static const int kIntSize[] = {0, 1, 2, 3, 4, 6, 8};
        uint64_t len = t <= 6 ? kIntSize[t] : t == 7 ? 8 : t >= 12 ? (t - 12) / 2 : 0;
        if (at + len > record.size()) return false;
        const uint8_t* p = base + at;
        if (t >= 1 && t <= 6) {
            // Big-endian two's complement of 1 to 8 bytes.
            int64_t x = static_cast<int8_t>(p[0]);
            for (uint64_t b = 1; b < len; ++b)
                x = static_cast<int64_t>((static_cast<uint64_t>(x) << 8) | p[b]);
            v.i = x;
        } else if (t == 7) {
            uint64_t bits = 0;
            for (int b = 0; b < 8; ++b)
                bits = (bits << 8) | p[b];
            std::memcpy(&v.d, &bits, 8);
        } else if (t == 8 || t == 9) {
            v.i = t == 9 ? 1 : 0;
        } else if (t >= 12) {
            v.bytes.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
        }
        at += len;
    }
    return true;
}

} // namespace k5::db::detail
