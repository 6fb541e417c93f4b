#include "extract/extract.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "archive/entry.h"
#include "archive/paths.h"
#include "model/coder.h"
#include "model/engine.h"
#include "transform/delta.h"
#include "transform/digram.h"
#include "transform/x86.h"

namespace taq {

namespace {

using platform::File;

constexpr uint32_t kMinModelMemory = 4194304;
constexpr uint32_t kMaxModelMemory = 536870912;
// Outputs from this size on touch most 2 MiB regions of the tables: large
// pages then cost less than the many small page faults.
constexpr uint64_t kLargePageOutput = 4096;

// What a header must hold before its stream is decoded: anything else
// cannot come from the compressor and would make the decoders loop for
// hours or step outside the segment.
const char* implausible(const EntryHeader& h, bool have_model) {
    if (h.data_size < 0) return "negative data size";
    const uint32_t m = h.model_memory;
    if (h.reset_flag && (m < kMinModelMemory || m > kMaxModelMemory || (m & (m - 1)) != 0))
        return "model memory out of range";
    if (!h.reset_flag && !have_model) return "entry continues a model run that was not decoded";
    if (!h.general_path) {
        const uint64_t w = h.image_width;
        switch (h.data_kind) {
            case 1:
                if (w == 0 || 3 * w > kSegmentSize) return "bad image width";
                break;
            case 4:
                if (w == 0 || w > kSegmentSize) return "bad image width";
                break;
            case 3:
                if (h.sample_width == 0 || h.channels == 0 || h.record_length == 0) return "bad sample layout";
                break;
            case 2: break;
            default: return "unknown data kind";
        }
    }
    return nullptr;
}

}  // namespace

bool safe_stored_path(const std::string& stored_dir, const std::string& stored_name) {
    if (stored_name.empty() || stored_name == "." || stored_name == "..") return false;
    for (char c : stored_name)
        if (is_separator(c)) return false;
    if (!stored_dir.empty() && is_separator(stored_dir[0])) return false;
    if (stored_dir.size() >= 2 && stored_dir[1] == ':') return false;
    size_t start = 0;
    for (size_t i = 0; i <= stored_dir.size(); ++i) {
        if (i == stored_dir.size() || is_separator(stored_dir[i])) {
            if (stored_dir.compare(start, i - start, "..") == 0 && i - start == 2) return false;
            start = i + 1;
        }
    }
    return true;
}

void OutputSizes::add(const std::string& path, uint64_t range_start, uint64_t size) {
    entries_[path].push_back({range_start, size});
}

uint64_t OutputSizes::final_size(const std::string& path) const {
    const auto it = entries_.find(path);
    if (it == entries_.end()) return 0;
    // Walk back from the newest entry, gathering the newest version: its
    // pieces do not overlap each other, and once its first piece is known,
    // the others start at multiples of that piece's size (a first piece
    // under 8 MiB is the whole version).
    std::vector<Range> version;
    const Range* first = nullptr;
    const auto overlaps = [&version](const Range& r) {
        for (const Range& v : version)
            if (r.start < v.start + v.size && v.start < r.start + r.size) return true;
        return false;
    };
    for (auto e = it->second.rbegin(); e != it->second.rend(); ++e) {
        if (first) {
            const uint64_t step = first->size;
            if (step < 8388608 || e->start == 0 || e->start % step != 0 || e->size > step || overlaps(*e)) break;
        } else if (overlaps(*e)) {
            break;
        }
        version.push_back(*e);
        if (e->start == 0) first = &*e;
    }
    uint64_t end = 0;
    for (const Range& v : version) end = std::max(end, v.start + v.size);
    return end;
}

bool OutputSizes::apply() const {
    bool ok = true;
    for (const auto& [path, ranges] : entries_) {
        const uint64_t size = final_size(path);
        if (platform::file_size(path) == size) continue;
        File f = File::open(path, File::Mode::write_existing);
        if (!f || !f.truncate(size)) {
            std::printf("Error: cannot set the size of Output file %s\n", path.c_str());
            ok = false;
        }
    }
    return ok;
}

bool entry_matches(const std::string& stored_dir, const std::string& stored_name, const std::string& pattern) {
    return match_wildcard(pattern, to_lower_ascii(file_part(stored_dir + stored_name)));
}

Extractor::Extractor(bool verbose)
    : verbose_(verbose), populate_threads_(std::min(2u, platform::processor_count())) {}
Extractor::~Extractor() = default;

DecodeResult Extractor::decode_entry(File& archive, const std::string& archive_path, uint64_t offset,
                                     uint64_t archive_size, const std::string& dest_dir, bool selected) {
    EntryHeader h;
    std::string why;
    if (!read_header(archive, offset, archive_size, h, &why)) {
        std::printf("%s", damaged_archive_message(archive_path, offset, why).c_str());
        return DecodeResult::damaged;
    }
    if (h.data_size < 0) {
        std::fputs("size error\n", stderr);
        return DecodeResult::damaged;
    }
    if (const char* bad = implausible(h, engine_ != nullptr)) {
        std::printf("%s", damaged_archive_message(archive_path, offset, bad).c_str());
        return DecodeResult::damaged;
    }

    DecodeResult result = DecodeResult::ok;
    const std::string out_dir = dest_dir + "/" + h.stored_dir;
    const std::string out_path = collapse_separators(out_dir + h.stored_name);
    File out;
    if (selected && !safe_stored_path(h.stored_dir, h.stored_name)) {
        std::printf("Error: unsafe path in archive %s: %s%s (not restored)\n", archive_path.c_str(),
                    h.stored_dir.c_str(), h.stored_name.c_str());
        selected = false;
        result = DecodeResult::refused;
    }
    if (selected && !path_fits(out_path)) {
        std::printf("Error: path too long %s\n", out_path.c_str());
        selected = false;
        result = DecodeResult::refused;
    }
    if (selected) {
        make_directories(collapse_separators(out_dir));
        if (prepare_outputs_ && prepared_.insert(out_path).second) {
            // First piece of this file in this run: start from an empty file.
            out = File::open(out_path, File::Mode::create);
        } else {
            out = File::open(out_path, File::Mode::write_existing);
            // Another task may be creating the same file at this moment: never truncate here.
            if (!out) out = File::open(out_path, File::Mode::open_or_create);
        }
        if (!out) {
            std::printf("Error: cannot open Output file %s\n", out_path.c_str());
            selected = false;
            result = DecodeResult::refused;
        }
    }
    if (verbose_ && selected) std::printf(" %s \n", out_path.c_str());
    if (selected && sizes_) sizes_->add(out_path, h.range_start, static_cast<uint64_t>(h.data_size));

    if (h.reset_flag) {
        if (!engine_ || engine_->memory() != h.model_memory) {
            engine_.reset();
            try {
                engine_ = std::make_unique<Engine>(h.model_memory);
                if (std::max<uint64_t>(expected_output_, static_cast<uint64_t>(h.data_size)) >= kLargePageOutput)
                    engine_->prefer_large_pages(populate_threads_);
            } catch (const std::bad_alloc&) {
                std::puts("No memory ");
                return DecodeResult::damaged;
            }
        }
        engine_->model_reset(static_cast<uint64_t>(h.data_size));
    }
    if (!digram_) digram_ = std::make_unique<DigramTransform>();
    Engine& engine = *engine_;
    engine.min_match = h.min_match;

    archive.seek(offset + h.header_length());
    Decoder decoder(&archive);
    decoder.start(offset + h.entry_size);
    engine.clear_bit_state();

    uint8_t* seg = engine.segment();
    const uint64_t data_size = static_cast<uint64_t>(h.data_size);
    uint64_t position = 0;
    uint64_t length = kSegmentSize;
    while (position < data_size) {
        if (position + length > data_size) length = data_size - position;
        const size_t n = static_cast<size_t>(length);
        if (h.general_path) {
            engine.clamp_general_segment();
            const bool text = decoder.direct(0);
            uint32_t coded = 0;
            for (int bit = 0; bit < 24; ++bit) coded = (coded << 1) | static_cast<uint32_t>(decoder.direct(0));
            if (coded > n) {
                std::printf("%s", damaged_archive_message(archive_path, offset, "coded length past the segment").c_str());
                return DecodeResult::damaged;
            }
            engine.text_applied = text;
            for (size_t at = 0; at < coded; at += kBlockSize) {
                const uint32_t len = static_cast<uint32_t>(std::min<size_t>(kBlockSize, coded - at));
                engine.code_general_chunk(decoder, seg + at, len, 0);
            }
            if (text) {
                if (!digram_->inverse(seg, coded, n)) {
                    std::printf("%s", damaged_archive_message(archive_path, offset, "text stream cut short").c_str());
                    return DecodeResult::damaged;
                }
            } else {
                x86_inverse(seg, n);
            }
        } else {
            engine.clamp_small_segment();
            switch (h.data_kind) {
                case 1: engine.code_tiled_image(decoder, n, h.image_width); break;
                case 2: engine.code_serial(decoder, n); break;
                case 3: engine.code_frames(decoder, n, h.sample_width, h.channels, h.record_length); break;
                case 4: engine.code_columns(decoder, n, h.image_width); break;
                default: break;
            }
            if (h.delta_flag) delta_inverse(seg, n, h.sample_width, h.channels);
        }
        if (decoder.overrun()) {
            std::printf("%s", damaged_archive_message(archive_path, offset, "coded data ends before the entry's data").c_str());
            return DecodeResult::damaged;
        }
        if (selected) {
            if (!out.seek(h.range_start + position) || !out.write(seg, n)) {
                std::printf("Error: cannot write Output file %s (%s)\n", out_path.c_str(), out.error().c_str());
                selected = false;
                result = DecodeResult::refused;
            }
        }
        position += length;
    }
    return result;
}

bool extract_entries(Extractor& extractor, const std::string& archive_path, const std::string& dest_dir,
                     const std::string& pattern) {
    File archive = File::open(archive_path, File::Mode::read_existing);
    if (!archive) {
        std::printf("Error: cannot open Archive file %s\n", archive_path.c_str());
        return false;
    }
    const uint64_t size = platform::file_size(archive_path);
    extractor.expect_output(size);
    OutputSizes sizes;
    extractor.set_output_sizes(&sizes);
    struct Unset {
        Extractor& e;
        ~Unset() { e.set_output_sizes(nullptr); }
    } unset{extractor};
    bool ok = true;
    uint64_t position = 0;
    bool skip_run = false;  // the current solid run holds nothing selected
    while (position < size) {
        EntryHeader h;
        std::string why;
        if (!read_header(archive, position, size, h, &why, true)) {
            std::printf("%s", damaged_archive_message(archive_path, position, why).c_str());
            return false;
        }
        const bool m = entry_matches(h.stored_dir, h.stored_name, pattern);
        bool decode = false;
        if (h.solid) {
            if (h.reset_flag) {
                // A model run must be decoded from its start to its last
                // selected entry; a run with none is passed over whole.
                skip_run = true;
                uint64_t p = position;
                EntryHeader r;
                while (p < size && read_header(archive, p, size, r, nullptr, true) && (p == position || !r.reset_flag)) {
                    if (entry_matches(r.stored_dir, r.stored_name, pattern)) {
                        skip_run = false;
                        break;
                    }
                    p += r.entry_size;
                }
            }
            decode = !skip_run;
        } else {
            decode = m;
        }
        if (decode) {
            const DecodeResult r = extractor.decode_entry(archive, archive_path, position, size, dest_dir, m);
            if (r == DecodeResult::damaged) return false;
            if (r == DecodeResult::refused) ok = false;
        }
        position += h.entry_size;
    }
    return sizes.apply() && ok;
}

}  // namespace taq
