// One archive entry: the header that precedes every coded stream. An
// archive is nothing but a sequence of these, each followed by its data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/source.h"

namespace taq {

// What an entry's data is, as the analysis judged it: general data, or one
// of the kinds that a per-kind coder of its own takes. The values are those
// stored in the header's data_kind field.
enum class DataKind : uint16_t {
    general = 0,
    colour_image = 1,  // 24-bit pixels, coded in tiles of 128 x 16
    media = 2,         // already compressed (JPEG, MP3, PNG, ...), coded serially
    audio = 3,         // wave samples, coded per sample byte and channel
    grey_image = 4,    // 8-bit pixels, coded column by column
};
constexpr uint16_t kLastDataKind = 4;

// How an entry's data is coded, as the analysis chose it: the general path
// or a per-kind coder, and that coder's parameters.
struct CodingChoices {
    uint8_t general_path = 1;
    uint8_t delta_flag = 0;
    uint8_t sample_width = 0;
    uint8_t channels = 0;
    uint32_t image_width = 256;
    uint8_t record_length = 1;
    DataKind data_kind = DataKind::general;
};

struct EntryHeader : CodingChoices {
    uint64_t entry_size = 0;  // whole entry, this header included
    uint8_t solid = 0;
    uint8_t reset_flag = 1;
    std::string stored_name;
    std::string stored_dir;
    int64_t data_size = 0;
    uint32_t model_memory = 0;
    uint8_t min_match = 3;
    uint64_t range_start = 0;

    // The path the entry stands for: its directory and name, as stored.
    std::string stored_path() const { return stored_dir + stored_name; }

    // 46 fixed bytes plus both zero-terminated strings.
    uint64_t header_length() const { return 46 + stored_name.size() + 1 + stored_dir.size() + 1; }
};

// The smallest header a writer can produce: two empty strings.
constexpr uint64_t kMinEntrySize = 48;

// The header's bytes as they stand in the archive (entry_size as given).
std::vector<uint8_t> serialize_header(const EntryHeader& h);

// Reads the header of the entry at `offset` of an archive of `archive_size`
// bytes and checks that it can be trusted: entry_size at least the smallest
// header and inside the file, both strings inside the entry and
// zero-terminated, the whole header inside the entry. `leading_only` stops
// after stored_dir (what a listing needs). On failure `why` says what is
// wrong and false is returned.
bool read_header(const Source& archive, uint64_t offset, uint64_t archive_size, EntryHeader& h,
                 std::string* why, bool leading_only = false);

// Bytes of data the coders take at once: no per-kind layout may need more.
constexpr uint64_t kEntrySegment = 8388608;
constexpr uint32_t kMinModelMemory = 4194304;
constexpr uint32_t kMaxModelMemory = 536870912;

// What a header must hold before its stream is decoded: anything else
// cannot come from the compressor and would make the decoders loop for
// hours or step outside the segment. Null when it is plausible, else why
// not. `have_model`: a decoded model run is there for an entry that
// continues one.
const char* implausible_header(const EntryHeader& h, bool have_model);

// "Error: damaged archive %s at offset %llu (%s)\n"
std::string damaged_archive_message(const std::string& archive, uint64_t offset, const std::string& why);

}  // namespace taq
