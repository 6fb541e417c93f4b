#include "archive/entry.h"

#include <cstring>

#include "archive/bytes.h"

namespace taq {

namespace {


}  // namespace

std::vector<uint8_t> serialize_header(const EntryHeader& h) {
    std::vector<uint8_t> out;
    out.reserve(h.header_length());
    put_le(out, h.entry_size, 8);
    put_le(out, h.solid, 1);
    put_le(out, h.reset_flag, 1);
    put_le(out, h.stored_name.size() + 1, 2);
    out.insert(out.end(), h.stored_name.begin(), h.stored_name.end());
    out.push_back(0);
    put_le(out, h.stored_dir.size() + 1, 2);
    out.insert(out.end(), h.stored_dir.begin(), h.stored_dir.end());
    out.push_back(0);
    put_le(out, static_cast<uint64_t>(h.data_size), 8);
    put_le(out, h.model_memory, 4);
    put_le(out, h.min_match, 1);
    put_le(out, h.general_path, 1);
    put_le(out, h.delta_flag, 1);
    put_le(out, h.sample_width, 1);
    put_le(out, h.channels, 1);
    put_le(out, h.image_width, 4);
    put_le(out, h.record_length, 1);
    put_le(out, static_cast<uint16_t>(h.data_kind), 2);
    put_le(out, h.range_start, 8);
    return out;
}

namespace {

// Reads a length-prefixed zero-terminated string at `pos`, inside the entry.
bool read_string(const Source& f, uint64_t& pos, uint64_t entry_end, std::string& out, const char* what,
                 std::string* why) {
    uint8_t len_bytes[2];
    if (pos + 2 > entry_end || !f.read_exact(pos, len_bytes, 2)) {
        if (why) *why = std::string(what) + " length past the entry";
        return false;
    }
    const uint64_t len = get_le(len_bytes, 2);
    pos += 2;
    if (len == 0 || pos + len > entry_end) {
        if (why) *why = std::string(what) + " past the entry";
        return false;
    }
    std::string s(len, '\0');
    if (!f.read_exact(pos, s.data(), len)) {
        if (why) *why = std::string(what) + " cut short";
        return false;
    }
    if (s.back() != '\0' || std::memchr(s.data(), 0, len - 1) != nullptr) {
        if (why) *why = std::string(what) + " not zero-terminated";
        return false;
    }
    s.pop_back();
    out = std::move(s);
    pos += len;
    return true;
}

}  // namespace

bool read_header(const Source& f, uint64_t offset, uint64_t archive_size, EntryHeader& h, std::string* why,
                 bool leading_only) {
    uint8_t lead[10];
    if (offset + 10 > archive_size || !f.read_exact(offset, lead, 10)) {
        if (why) *why = "entry header cut short";
        return false;
    }
    h.entry_size = get_le(lead, 8);
    h.solid = lead[8];
    h.reset_flag = lead[9];
    if (h.entry_size < kMinEntrySize) {
        if (why) *why = "entry size too small";
        return false;
    }
    if (h.entry_size > archive_size - offset) {
        if (why) *why = "entry reaches past the end of the archive";
        return false;
    }
    const uint64_t end = offset + h.entry_size;
    uint64_t pos = offset + 10;
    if (!read_string(f, pos, end, h.stored_name, "name", why)) return false;
    if (!read_string(f, pos, end, h.stored_dir, "directory", why)) return false;
    if (leading_only) return true;
    uint8_t rest[36];
    if (pos + 36 > end || !f.read_exact(pos, rest, 36)) {
        if (why) *why = "entry header past the entry";
        return false;
    }
    h.data_size = static_cast<int64_t>(get_le(rest, 8));
    h.model_memory = static_cast<uint32_t>(get_le(rest + 8, 4));
    h.min_match = rest[12];
    h.general_path = rest[13];
    h.delta_flag = rest[14];
    h.sample_width = rest[15];
    h.channels = rest[16];
    h.image_width = static_cast<uint32_t>(get_le(rest + 17, 4));
    h.record_length = rest[21];
    h.data_kind = static_cast<DataKind>(get_le(rest + 22, 2));
    h.range_start = get_le(rest + 24, 8);
    return true;
}

const char* implausible_header(const EntryHeader& h, bool have_model) {
    if (h.data_size < 0) return "negative data size";
    const uint32_t m = h.model_memory;
    if (h.reset_flag && (m < kMinModelMemory || m > kMaxModelMemory || (m & (m - 1)) != 0))
        return "model memory out of range";
    if (!h.reset_flag && !have_model) return "entry continues a model run that was not decoded";
    if (!h.general_path) {
        const uint64_t w = h.image_width;
        switch (h.data_kind) {
            case DataKind::colour_image:
                if (w == 0 || 3 * w > kEntrySegment) return "bad image width";
                break;
            case DataKind::grey_image:
                if (w == 0 || w > kEntrySegment) return "bad image width";
                break;
            case DataKind::audio:
                // One record holds one sample of each channel: any other
                // layout would code some bytes many times over (or never).
                if (h.sample_width == 0 || h.channels == 0 ||
                    h.record_length != static_cast<unsigned>(h.sample_width) * h.channels)
                    return "bad sample layout";
                break;
            case DataKind::media: break;
            case DataKind::general:  // (general_path 0 with no kind)
            default: return "unknown data kind";
        }
    }
    return nullptr;
}

std::string damaged_archive_message(const std::string& archive, uint64_t offset, const std::string& why) {
    return "Error: damaged archive " + archive + " at offset " + std::to_string(offset) + " (" + why + ")\n";
}

}  // namespace taq
