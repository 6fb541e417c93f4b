// decode_entry and the single-process walk over an archive.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace taq {

class Engine;
class DigramTransform;

// The size each restored file must end with. Several entries may write one
// file: the pieces of one version (disjoint ranges, cut at multiples of the
// first piece's size, in any archive order), and versions added by later
// runs. The newest version decides; a longer older one or a stale file
// must not leave its tail behind.
class OutputSizes {
public:
    void add(const std::string& path, uint64_t range_start, uint64_t size);
    uint64_t final_size(const std::string& path) const;
    // Cuts every recorded file to its final size; false (message printed)
    // when one cannot be cut.
    bool apply() const;

private:
    struct Range {
        uint64_t start, size;
    };
    std::map<std::string, std::vector<Range>> entries_;
};

enum class DecodeResult {
    ok,        // decoded (and written when selected)
    refused,   // decoded but not written: unsafe name or output not writable (message printed)
    damaged,   // the entry cannot be trusted (message printed); the walk must stop
};

// Owns the decoding model across the entries of a run: a reset entry sizes
// the tables from its own model memory, a continuation entry keeps them.
class Extractor {
public:
    explicit Extractor(bool verbose);
    ~Extractor();
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    // Decodes the entry at `offset`. When `selected`, its data is written to
    // dest_dir + stored_dir + stored_name at range_start. When
    // `prepare_outputs` is set, the first entry of this Extractor that writes
    // a given output path truncates it first, so no stale tail survives.
    DecodeResult decode_entry(platform::File& archive, const std::string& archive_path, uint64_t offset,
                              uint64_t archive_size, const std::string& dest_dir, bool selected);

    void set_prepare_outputs(bool on) { prepare_outputs_ = on; }
    // Where the ranges written by decode_entry are recorded (none: null).
    void set_output_sizes(OutputSizes* sizes) { sizes_ = sizes; }
    // About how much the run will decode; lets the model choose its page
    // size before the tables are first touched.
    void expect_output(uint64_t bytes) { expected_output_ = bytes; }
    // On how many threads the model maps its tables in (1 when several
    // decoding processes share the machine).
    void set_populate_threads(unsigned n) { populate_threads_ = n; }

private:
    bool verbose_;
    bool prepare_outputs_ = true;
    uint64_t expected_output_ = 0;
    unsigned populate_threads_;
    OutputSizes* sizes_ = nullptr;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<DigramTransform> digram_;
    std::set<std::string> prepared_;
};

// Lower-cased file part of stored_dir + stored_name matched against the
// (already lower-cased) pattern.
bool entry_matches(const std::string& stored_dir, const std::string& stored_name, const std::string& pattern);

// The single-process walk: every matching entry is restored under dest_dir;
// entries of solid runs are always decoded (selected only when they match).
// Returns false when anything failed (every failure prints its message).
bool extract_entries(Extractor& extractor, const std::string& archive_path, const std::string& dest_dir,
                     const std::string& pattern);

// Whether an entry's stored path may be written under a destination: not
// absolute, no ".." component, no separator in the name.
bool safe_stored_path(const std::string& stored_dir, const std::string& stored_name);

}  // namespace taq
