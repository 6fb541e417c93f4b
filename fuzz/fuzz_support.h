// What the fuzz targets share: a scratch folder per process, files made from
// the input bytes, captured standard output, the caps that keep one input
// cheap, and the report that ends a run when an invariant does not hold.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/diagnostics.h"

namespace taq::fuzz {

// Every message of the core that the code under test is given (msgs.diag),
// in order (msgs.text).
using Messages = RecordedMessages;

// A fresh folder for this process (under $TMPDIR, else /tmp), removed when
// the process ends normally.
const std::string& scratch_root();

void write_file(const std::string& path, const uint8_t* data, size_t size);
std::string read_file(const std::string& path);
void make_dirs(const std::string& path);
void remove_tree(const std::string& path);
// Every file and folder below `root`, as paths relative to it, sorted.
std::vector<std::string> tree(const std::string& root);

// Sends standard output into a file of the scratch folder, so that what a
// command printed can be checked (and the fuzzer's own lines stay readable).
class CapturedOutput {
public:
    CapturedOutput();
    void reset();      // forget what was printed so far
    std::string text();  // what was printed since the last reset
private:
    std::string path_;
};

// The process's captured output, made on first use.
CapturedOutput& captured_output();
// The input written as the file "archive" of the scratch folder; its path.
const std::string& archive_from(const uint8_t* data, size_t size);

// Ends the run with a report: the fuzzer keeps the input as a crash.
[[noreturn]] void fail(const std::string& what);
inline void check(bool condition, const std::string& what) {
    if (!condition) fail(what);
}

// What one input may claim before a target passes it over: decoding more
// than this or sizing a larger model would only make the run slow.
struct Caps {
    uint64_t data_size = 1 << 20;          // per entry
    uint64_t total_data = 4 << 20;         // all entries together
    uint32_t model_memory = 16u << 20;     // method levels 0..2
};
// Whether every entry whose header can be read stays within the caps (the
// walk stops at the first header that cannot be read, as readers do).
bool within_caps(const std::string& archive_path, const Caps& caps);

// Bytes taken one at a time from the front of an input, zero once it is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u16() { return byte() | (static_cast<uint32_t>(byte()) << 8); }
    // The rest of the input.
    std::vector<uint8_t> rest() { return {data_ + std::min(at_, size_), data_ + size_}; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace taq::fuzz
