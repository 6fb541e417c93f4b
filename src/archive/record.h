// The check record: what lets a reader know that an entry it restored is
// right. It follows the entry's coded stream, inside entry_size, where no
// reader of the plain format ever looks (their decoders stop where the
// encoder stopped, and their walks advance by entry_size).
//
// Layout (little-endian), found from the entry's end alone:
//   body     version u16, flags u16, data_hash u64, header_hash u64,
//            file_size u64, mtime_ns i64, permissions u32
//            (a later version appends fields; readers skip what they
//            do not know)
//   trailer  record_length u32 (the whole record), record_check u64,
//            magic u64
// data_hash is the hash of the entry's original bytes (its range of the
// file, before any transform); header_hash that of the entry's header as
// stored (final entry_size included); record_check that of the body and
// record_length. A coded stream that happens to end in the magic is not
// taken for a record: its check would have to match too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/source.h"
#include "platform/platform.h"

namespace taq {

struct CheckRecord {
    uint16_t version = 1;
    uint16_t flags = 0;
    uint64_t data_hash = 0;
    uint64_t header_hash = 0;
    uint64_t file_size = 0;
    platform::FileMeta meta;
};

constexpr uint64_t kRecordMagic = 0x31636572'51415489ull;  // bytes 89 'T' 'A' 'Q' 'r' 'e' 'c' '1'
constexpr size_t kRecordBody = 40;
constexpr size_t kRecordTrailer = 20;
// What this version writes.
constexpr size_t kRecordLength = kRecordBody + kRecordTrailer;

std::vector<uint8_t> serialize_record(const CheckRecord& r);

// The hash of an entry's header bytes, as header_hash holds it.
uint64_t header_hash(const std::vector<uint8_t>& header_bytes);

enum class RecordState {
    absent,   // no record: an entry of the plain format
    present,  // a record that verifies itself
    damaged,  // the trailer's magic is there but the record does not verify
};

// Looks for the record at the end of the entry at `offset` (its header
// `header_length` bytes long, the whole entry `entry_size`). On `present`,
// `out` holds it and `length` its size in the archive.
RecordState find_record(const Source& archive, uint64_t offset, uint64_t entry_size, uint64_t header_length,
                        CheckRecord& out, uint64_t& length);

// Streaming hash of an entry's original bytes.
class DataHasher {
public:
    DataHasher();
    ~DataHasher();
    DataHasher(const DataHasher&) = delete;
    DataHasher& operator=(const DataHasher&) = delete;

    void reset();
    void update(const void* data, size_t n);
    uint64_t digest() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// "%016llx", for messages.
std::string hash_text(uint64_t h);

}  // namespace taq
