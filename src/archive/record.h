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
//
// Version 2 appends a version marker to the body (see VersionMarker): the
// end of one run of the archiver. A marker is added to the last entry of
// the archive after the fact, as a further record stacked on the entry's
// own (flag kRecordStacked: another record ends where this one begins),
// the entry's size grown to take it in. The topmost record repeats the
// data fields, so that a reader that knows only the topmost one checks the
// entry as before; the records below it are, to such a reader, bytes
// between the coded stream and the record that it never reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/source.h"
#include "platform/platform.h"

namespace taq {

// The end of one run (`a` or `u`): the run's version number (1, 2, ... in
// archive order), when it started, what it did, and which stored paths it
// found gone (with `u`). The entries of a version are those from the end of
// the previous version's entry up to and including the entry that carries
// its marker.
struct VersionMarker {
    uint32_t number = 0;
    uint32_t flags = 0;
    int64_t started_ns = 0;  // wall clock, 0 when not known
    uint64_t added = 0;      // files stored
    uint64_t unchanged = 0;  // files found as stored before (`u`)
    uint64_t bytes_stored = 0;  // what the run added to the archive, this marker aside
    std::vector<std::string> deleted;  // stored paths, each found gone by the run
    bool operator==(const VersionMarker&) const = default;
};
// The marker stands for entries that no marker closed (written by an older
// archiver, or by a run that was stopped before it could add its own): it
// was added by the run after them, which knows nothing of when they were
// written or what was deleted then.
constexpr uint32_t kMarkerAdopted = 1;

constexpr uint16_t kRecordStacked = 1;  // another record lies directly below
constexpr uint16_t kRecordMarker = 2;   // the body carries a VersionMarker

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
// A version 2 record: the data fields of `r` (its header_hash as given) and
// the marker; flags kRecordMarker, and kRecordStacked when `stacked`.
std::vector<uint8_t> serialize_marker_record(const CheckRecord& r, const VersionMarker& marker, bool stacked);

// The hash of an entry's header bytes, as header_hash holds it.
uint64_t header_hash(const std::vector<uint8_t>& header_bytes);

enum class RecordState {
    absent,   // no record: an entry of the plain format
    present,  // a record that verifies itself
    damaged,  // the trailer's magic is there but the record does not verify
};

// Looks for the record at the end of the entry at `offset` (its header
// `header_length` bytes long, the whole entry `entry_size`). On `present`,
// `out` holds the topmost record and `length` the size of all the records
// stacked at the entry's end (where its coded stream ends): down to the
// first record below which none is stacked, or that does not verify (which
// read_markers reports).
RecordState find_record(const Source& archive, uint64_t offset, uint64_t entry_size, uint64_t header_length,
                        CheckRecord& out, uint64_t& length);

// The version markers in the records stacked at the end of the entry at
// `offset`, lowest (oldest) first. False when a record below the topmost
// one does not verify (or a marker does not parse): the markers above it
// are still given.
bool read_markers(const Source& archive, uint64_t offset, uint64_t entry_size, uint64_t header_length,
                  std::vector<VersionMarker>& out);

// Whether [offset, size) is exactly one verifying record with a marker:
// what a run leaves when it is stopped after writing the marker of its
// version and before growing the last entry to take it in.
bool pending_marker_at(const Source& archive, uint64_t offset, uint64_t size);

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
