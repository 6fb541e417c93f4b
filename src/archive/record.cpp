#include "archive/record.h"

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

std::vector<uint8_t> serialize_record(const CheckRecord& r) {
    std::vector<uint8_t> out;
    out.reserve(kRecordLength);
    put_le(out, r.version, 2);
    put_le(out, r.flags, 2);
    put_le(out, r.data_hash, 8);
    put_le(out, r.header_hash, 8);
    put_le(out, r.file_size, 8);
    put_le(out, static_cast<uint64_t>(r.meta.mtime_ns), 8);
    put_le(out, r.meta.permissions, 4);
    put_le(out, kRecordLength, 4);
    put_le(out, XXH3_64bits_withSeed(out.data(), out.size(), kRecordSeed), 8);
    put_le(out, kRecordMagic, 8);
    return out;
}

uint64_t header_hash(const std::vector<uint8_t>& header_bytes) {
    return XXH3_64bits_withSeed(header_bytes.data(), header_bytes.size(), kHeaderSeed);
}

RecordState find_record(const Source& archive, uint64_t offset, uint64_t entry_size, uint64_t header_length,
                        CheckRecord& out, uint64_t& length) {
    if (entry_size < header_length + kRecordTrailer) return RecordState::absent;
    const uint64_t end = offset + entry_size;
    uint8_t trailer[kRecordTrailer];
    if (!archive.read_exact(end - kRecordTrailer, trailer, kRecordTrailer))
        return RecordState::absent;
    if (get_le(trailer + 12, 8) != kRecordMagic) return RecordState::absent;
    // From here on the entry claims a record: anything wrong is damage.
    const uint64_t len = get_le(trailer, 4);
    if (len < kRecordBody + kRecordTrailer || len > entry_size - header_length) return RecordState::damaged;
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
    length = len;
    return RecordState::present;
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
