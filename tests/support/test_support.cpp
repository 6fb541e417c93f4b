#include "support/test_support.h"

#include "archive/entry.h"
#include "archive/sealed.h"
#include "compress/compress.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#ifndef TAQ_BINARY
#define TAQ_BINARY "taq"
#endif
#ifndef TAQ_TEST_DATA
#define TAQ_TEST_DATA "."
#endif

namespace fs = std::filesystem;

namespace taq::test {

namespace {

// Paths are UTF-8 text (the system's own encoding may be another).
fs::path utf8_path(const std::string& path) { return fs::path(reinterpret_cast<const char8_t*>(path.c_str())); }

}  // namespace

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

RunResult run_taq(const std::vector<std::string>& args, const std::string& cwd, unsigned timeout_ms) {
    return run_program(taq_binary(), args, cwd, timeout_ms);
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(utf8_path(path), ec);
}

void write_file(const std::string& path, const std::string& data) {
    const fs::path p = utf8_path(path);
    std::error_code ec;
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    write_file(path, std::string(data.begin(), data.end()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(utf8_path(path), ec);
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed ? seed : 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

std::string make_entry(const std::string& name, const std::string& dir, bool solid, bool reset) {
    EntryHeader h;
    h.stored_name = name;
    h.stored_dir = dir;
    h.solid = solid ? 1 : 0;
    h.reset_flag = reset ? 1 : 0;
    h.entry_size = h.header_length() + 5;
    std::vector<uint8_t> bytes = serialize_header(h);
    bytes.resize(bytes.size() + 5, 0);
    return std::string(bytes.begin(), bytes.end());
}

std::string taq_binary() { return TAQ_BINARY; }
std::string test_data_dir() { return TAQ_TEST_DATA; }

bool under_emulator() {
#ifdef TAQ_TEST_EMULATED
    return true;
#else
    return false;
#endif
}

void put_le(std::string& s, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

std::string le_bytes(uint64_t v, int bytes) {
    std::string s(static_cast<size_t>(bytes), '\0');
    put_le(s, 0, v, bytes);
    return s;
}

std::string repeated(const std::string& unit, size_t n) {
    std::string s;
    s.reserve(n + unit.size());
    while (s.size() < n) s += unit;
    s.resize(n);
    return s;
}

std::string wave_header(uint32_t channels, uint32_t bits, uint32_t data_bytes) {
    const uint32_t width = bits / 8;
    return "RIFF" + le_bytes(36 + uint64_t{data_bytes}, 4) + "WAVEfmt " + le_bytes(16, 4) + le_bytes(1, 2) +
           le_bytes(channels, 2) + le_bytes(22050, 4) + le_bytes(22050 * channels * width, 4) +
           le_bytes(channels * width, 2) + le_bytes(bits, 2) + "data" + le_bytes(data_bytes, 4);
}

std::vector<std::string> taq_leftovers(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        if (n.rfind(".taq-", 0) == 0) out.push_back(n);
    }
    return out;
}

std::string two_segment_data() {
    const std::string inputs = test_data_dir() + "/vectors/inputs";
    const std::string text =
        read_file(inputs + "/alice29.txt") + read_file(inputs + "/cp.html") + read_file(inputs + "/fields.c");
    return repeated(text, 8388608) + read_file(inputs + "/libz.so").substr(0, 300000);
}

bool add_encrypted(const std::string& dir, const std::string& archive,
                   const std::vector<std::pair<std::string, std::string>>& files, const std::string& password,
                   bool solid, uint32_t rounds) {
    Messages msgs;
    SealedAppend target;
    return target.open(archive, password, rounds, msgs.diag) && add_sealed_files(dir, archive, *target.writer(), files, solid);
}

bool add_sealed_files(const std::string& dir, const std::string& archive, SealedWriter& writer,
                      const std::vector<std::pair<std::string, std::string>>& files, bool solid) {
    Messages msgs;
    CompressOptions options;
    options.archive_path = archive;
    options.model_memory = 4194304;
    options.solid = solid;
    options.sealed = &writer;
    Compressor compressor(options, msgs.diag);
    bool ok = true;
    for (const auto& [name, data] : files) {
        write_file(dir + "/" + name, data);
        ok = compressor.compress_entry(dir + "/" + name, name, "", 0, data.size()) == EntryResult::written && ok;
    }
    return compressor.finish_run() && ok;
}

}  // namespace taq::test
