// Helpers shared by every test binary: scratch directories, running the
// built executable, and small file utilities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/diagnostics.h"

namespace taq {
class SealedWriter;
}  // namespace taq

namespace taq::test {

// Every message of the core that the code under test is given (msgs.diag),
// in order (msgs.text).
using Messages = RecordedMessages;

// A fresh directory under the system's scratch folder (/tmp), removed with everything in it when the
// object goes away. The path contains no '.', because `x` reads a dotted
// destination as directory plus wildcard.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

struct RunResult {
    int exit_code = -1;  // -1 when the process died from a signal or could not start
    std::string output;  // stdout and stderr, interleaved as written
};

// Runs the built taq binary with `args` (no shell) in directory `cwd`.
// A run that takes longer than `timeout_ms` (six times as long under an
// emulator) is killed and reported as -1.
RunResult run_taq(const std::vector<std::string>& args, const std::string& cwd, unsigned timeout_ms = 120000);

// Runs any program the same way (used for the binary under a different name
// and for negative tests).
RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                      unsigned timeout_ms = 120000);

// Starts the built taq binary in `cwd` in a process group of its own
// (children included), its output discarded; returns the process id.
int start_taq(const std::vector<std::string>& args, const std::string& cwd);
// Kills the process group of `pid` at once (as a power cut would stop
// it) and reaps `pid`.
void kill_group(int pid);

// Writes `data` to `path` (creating parent directories), replacing any file.
void write_file(const std::string& path, const std::string& data);
void write_file(const std::string& path, const std::vector<uint8_t>& data);
// Whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
// Whether `part` occurs in `s`.
inline bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }
void make_dirs(const std::string& path);

// Deterministic pseudo-random bytes (xorshift), for test inputs.
std::string random_bytes(size_t n, uint32_t seed = 1);

// One archive entry as a writer would leave it: the header of
// serialize_header followed by five zero bytes of coded data, entry_size
// set to the whole length.
std::string make_entry(const std::string& name, const std::string& dir, bool solid = false, bool reset = true);

// Which 4 KiB pages of [p, p + bytes) are mapped in; empty when the
// system cannot tell.
std::vector<bool> resident_pages(const void* p, size_t bytes);

// A symbolic link at `link` that leads to `target` (a file or a directory);
// false when the system could not make one.
bool make_symlink(const std::string& target, const std::string& link);

// Ids of the running child tasks whose task board lies in `dir`.
std::vector<int> task_children(const std::string& dir);
// Ends the process at once, as a crash would.
void kill_process(int pid);
// The id of the process that started `pid`; 0 when unknown.
int parent_of(int pid);

// The permission bits that the system keeps of `bits` (rwx for owner,
// group and others): all of them, or on Windows only whether the owner may
// write.
uint32_t kept_permissions(uint32_t bits);

// Length of a relative path that, below a scratch directory, is longer
// than the system takes as a whole path at once: 3,900 bytes past PATH_MAX
// on POSIX, 1,000 past MAX_PATH on Windows (wine keeps the whole path as
// a host path, whose own limit is 4,096 bytes).
size_t deep_path_bytes();

// Runs taq as run_taq does, but with the size of the files it writes
// limited to `limit_kib` KiB: a write past it fails (as on a full disk).
// Only where file_limit_supported().
bool file_limit_supported();
RunResult run_taq_with_file_limit(const std::vector<std::string>& args, const std::string& cwd, uint64_t limit_kib);

// Overwrites `bytes` little-endian bytes of `s` at `at` with `v`; the same
// as a string of its own.
void put_le(std::string& s, size_t at, uint64_t v, int bytes);
std::string le_bytes(uint64_t v, int bytes);

// `unit` repeated to exactly `n` bytes.
std::string repeated(const std::string& unit, size_t n);

// A 44-byte RIFF/WAVE header of PCM with `data_bytes` of samples.
std::string wave_header(uint32_t channels, uint32_t bits, uint32_t data_bytes = 0);

// The names of the run's own files (task board, part archives: ".taq-*")
// left in `dir`.
std::vector<std::string> taq_leftovers(const std::string& dir);

// Two segments of data: 8 MiB of text from the vector inputs, then
// 300,000 bytes of machine code.
std::string two_segment_data();

// Adds the files (name, contents; written below `dir` first, stored under
// their names) to the encrypted archive at `archive`: a new one whose key
// is derived with `rounds` rounds, or an existing one opened with
// `password`. False when it cannot be opened or written.
bool add_encrypted(const std::string& dir, const std::string& archive,
                   const std::vector<std::pair<std::string, std::string>>& files, const std::string& password,
                   bool solid = false, uint32_t rounds = 1000);
// The same through an encrypted archive opened for writing (its files
// written under `dir` too).
bool add_sealed_files(const std::string& dir, const std::string& archive, SealedWriter& writer,
                      const std::vector<std::pair<std::string, std::string>>& files, bool solid = false);

// Path of the built executable and of the checked-in test data.
std::string taq_binary();
std::string test_data_dir();

// Whether the tests run under a user-mode emulator (a Linux cross build).
// It maps memory in only when touched: requests to map it in ahead
// (madvise) succeed without effect.
bool under_emulator();

}  // namespace taq::test
