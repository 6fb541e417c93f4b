#include "archive/record.h"

#include <algorithm>

#include "archive/bytes.h"
#include "archive/diagnostics.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace taq {

namespace {

// Seeds keep the three hashes apart: a header that happens to hash like
// some data never verifies as it.
constexpr uint64_t kHeaderSeed = 0x68656164;  // "head"
constexpr uint64_t kRecordSeed = 0x72656364;  // "recd"

}  // namespace

namespace {

constexpr size_t kMarkerFixed = 44;  // the marker's fields before its paths

void put_body(std::vector<uint8_t>& out, const CheckRecord& r, uint16_t version, uint16_t flags) {
    put_le(out, version, 2);
    put_le(out, flags, 2);
    put_le(out, r.data_hash, 8);
    put_le(out, r.header_hash, 8);
    put_le(out, r.file_size, 8);
    put_le(out, static_cast<uint64_t>(r.meta.mtime_ns), 8);
    put_le(out, r.meta.permissions, 4);
}

void put_trailer(std::vector<uint8_t>& out) {
    put_le(out, out.size() + kRecordTrailer, 4);
    put_le(out, XXH3_64bits_withSeed(out.data(), out.size(), kRecordSeed), 8);
    put_le(out, kRecordMagic, 8);
}

bool parse_marker(const uint8_t* p, size_t n, VersionMarker& m) {
    if (n < kMarkerFixed) return false;
    m = VersionMarker{};
    m.number = static_cast<uint32_t>(get_le(p, 4));
    m.flags = static_cast<uint32_t>(get_le(p + 4, 4));
    m.started_ns = static_cast<int64_t>(get_le(p + 8, 8));
    m.added = get_le(p + 16, 8);
    m.unchanged = get_le(p + 24, 8);
    m.bytes_stored = get_le(p + 32, 8);
    const uint64_t count = get_le(p + 40, 4);
    size_t at = kMarkerFixed;
    for (uint64_t k = 0; k < count; ++k) {
        if (n - at < 4) return false;
        const uint64_t len = get_le(p + at, 4);
        at += 4;
        if (len == 0 || len > n - at) return false;
        m.deleted.emplace_back(reinterpret_cast<const char*>(p + at), static_cast<size_t>(len));
        at += static_cast<size_t>(len);
    }
    return true;
}

// The record that ends at `end`, none of it below `floor`. With `marker`,
// a marker in its body is parsed too (`marker_ok` false when that fails).
RecordState record_ending_at(const Source& archive, uint64_t floor, uint64_t end, CheckRecord& out, uint64_t& length,
                             VersionMarker* marker = nullptr, bool* marker_ok = nullptr) {
    if (end < floor || end - floor < kRecordTrailer) return RecordState::absent;
    uint8_t trailer[kRecordTrailer];
    if (!archive.read_exact(end - kRecordTrailer, trailer, kRecordTrailer)) return RecordState::absent;
    if (get_le(trailer + 12, 8) != kRecordMagic) return RecordState::absent;
    // From here on the bytes claim a record: anything wrong is damage.
    const uint64_t len = get_le(trailer, 4);
    if (len < kRecordBody + kRecordTrailer || len > end - floor) return RecordState::damaged;
    std::vector<uint8_t> rec(static_cast<size_t>(len));
    if (!archive.read_exact(end - len, rec.data(), rec.size())) return RecordState::damaged;
    const size_t checked = rec.size() - 16;
    if (XXH3_64bits_withSeed(rec.data(), checked, kRecordSeed) != get_le(rec.data() + checked, 8))
        return RecordState::damaged;
    const uint8_t* p = rec.data();
    out.version = static_cast<uint16_t>(get_le(p, 2));
    if (out.version < 1) return RecordState::damaged;
    out.flags = static_cast<uint16_t>(get_le(p + 2, 2));
    out.data_hash = get_le(p + 4, 8);
    out.header_hash = get_le(p + 12, 8);
    out.file_size = get_le(p + 20, 8);
    out.meta.mtime_ns = static_cast<int64_t>(get_le(p + 28, 8));
    out.meta.permissions = static_cast<uint32_t>(get_le(p + 36, 4)) & platform::kPermissionBits;
    if (marker) {
        *marker_ok = out.version >= 2 && (out.flags & kRecordMarker) &&
                     parse_marker(p + kRecordBody, rec.size() - kRecordBody - kRecordTrailer, *marker);
    }
    length = len;
    return RecordState::present;
}

}  // namespace

std::vector<uint8_t> serialize_record(const CheckRecord& r) {
    std::vector<uint8_t> out;
    out.reserve(kRecordLength);
    put_body(out, r, r.version, r.flags);
    put_trailer(out);
    return out;
}

std::vector<uint8_t> serialize_marker_record(const CheckRecord& r, const VersionMarker& m, bool stacked) {
    std::vector<uint8_t> out;
    put_body(out, r, 2, static_cast<uint16_t>(kRecordMarker | (stacked ? kRecordStacked : 0)));
    put_le(out, m.number, 4);
    put_le(out, m.flags, 4);
    put_le(out, static_cast<uint64_t>(m.started_ns), 8);
    put_le(out, m.added, 8);
    put_le(out, m.unchanged, 8);
    put_le(out, m.bytes_stored, 8);
    put_le(out, m.deleted.size(), 4);
    for (const std::string& path : m.deleted) {
        put_le(out, path.size(), 4);
        out.insert(out.end(), path.begin(), path.end());
    }
    put_trailer(out);
    return out;
}

uint64_t header_hash(const std::vector<uint8_t>& header_bytes) {
    return XXH3_64bits_withSeed(header_bytes.data(), header_bytes.size(), kHeaderSeed);
}

RecordState find_record(const Source& archive, uint64_t offset, uint64_t entry_size, uint64_t header_length,
                        CheckRecord& out, uint64_t& length) {
    if (entry_size < header_length) return RecordState::absent;
    const uint64_t floor = offset + header_length;
    const uint64_t end = offset + entry_size;
    uint64_t region = 0;
    const RecordState state = record_ending_at(archive, floor, end, out, region);
    if (state != RecordState::present) return state;
    // The records stacked below the topmost one are part of the region.
    for (uint16_t flags = out.flags; flags & kRecordStacked;) {
        CheckRecord below;
        uint64_t below_length = 0;
        if (record_ending_at(archive, floor, end - region, below, below_length) != RecordState::present) break;
        region += below_length;
        flags = below.flags;
    }
    length = region;
    return RecordState::present;
}

bool read_markers(const Source& archive, uint64_t offset, uint64_t entry_size, uint64_t header_length,
                  std::vector<VersionMarker>& out) {
    out.clear();
    if (entry_size < header_length) return true;
    const uint64_t floor = offset + header_length;
    uint64_t end = offset + entry_size;
    bool sound = true;
    for (bool more = true, first = true; more; first = false) {
        CheckRecord r;
        VersionMarker m;
        bool marker_ok = false;
        uint64_t length = 0;
        const RecordState state = record_ending_at(archive, floor, end, r, length, &m, &marker_ok);
        if (state != RecordState::present) {
            // Only a record that claimed one below it can miss one.
            sound = first && state == RecordState::absent;
            break;
        }
        if (r.flags & kRecordMarker) {
            if (marker_ok)
                out.push_back(std::move(m));
            else
                sound = false;
        }
        more = (r.flags & kRecordStacked) != 0;
        end -= length;
        if (more && end == floor) {
            sound = false;
            break;
        }
    }
    std::reverse(out.begin(), out.end());
    return sound;
}

bool pending_marker_at(const Source& archive, uint64_t offset, uint64_t size) {
    CheckRecord r;
    VersionMarker m;
    bool marker_ok = false;
    uint64_t length = 0;
    return size > offset &&
           record_ending_at(archive, offset, size, r, length, &m, &marker_ok) == RecordState::present &&
           length == size - offset && marker_ok;
}

struct DataHasher::State {
    XXH3_state_t s;
};

DataHasher::DataHasher() : state_(std::make_unique<State>()) { reset(); }
DataHasher::~DataHasher() = default;

void DataHasher::reset() { XXH3_64bits_reset(&state_->s); }

void DataHasher::update(const void* data, size_t n) { XXH3_64bits_update(&state_->s, data, n); }

uint64_t DataHasher::digest() const { return XXH3_64bits_digest(&state_->s); }

std::string hash_text(uint64_t h) {
    return hex_text(h, 16);
}

}  // namespace taq
