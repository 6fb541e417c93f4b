#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/entry.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace taq::fuzz {

namespace {

struct Scratch {
    std::string path;
    Scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/taq-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) fail("cannot make a scratch folder");
        path = pattern;
    }
    ~Scratch() { remove_tree(path); }
};

}  // namespace

const std::string& scratch_root() {
    static Scratch scratch;
    return scratch.path;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) fail("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::vector<std::string> tree(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        out.push_back(fs::relative(it->path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

CapturedOutput::CapturedOutput() : path_(scratch_root() + "/stdout") {
    std::fflush(stdout);
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::dup2(fd, 1) < 0) fail("cannot capture standard output");
    ::close(fd);
}

void CapturedOutput::reset() {
    std::fflush(stdout);
    if (::ftruncate(1, 0) != 0 || ::lseek(1, 0, SEEK_SET) != 0) fail("cannot reset captured output");
}

std::string CapturedOutput::text() {
    std::fflush(stdout);
    return read_file(path_);
}

CapturedOutput& captured_output() {
    static CapturedOutput output;
    return output;
}

const std::string& archive_from(const uint8_t* data, size_t size) {
    static const std::string path = scratch_root() + "/archive";
    write_file(path, data, size);
    return path;
}

void fail(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::abort();
}

bool within_caps(const std::string& archive_path, const Caps& caps) {
    platform::File archive = platform::File::open(archive_path, platform::File::Mode::read_existing);
    const int64_t size = archive ? archive.size() : -1;
    if (size < 0) return true;
    uint64_t total = 0;
    for (uint64_t at = 0; at < static_cast<uint64_t>(size);) {
        EntryHeader h;
        if (!read_header(archive, at, static_cast<uint64_t>(size), h, nullptr)) return true;
        if (h.reset_flag && h.model_memory > caps.model_memory) return false;
        if (h.data_size < 0) return true;  // refused before any decoding
        const auto data = static_cast<uint64_t>(h.data_size);
        if (data > caps.data_size) return false;
        total += data;
        if (total > caps.total_data) return false;
        at += h.entry_size;
    }
    return true;
}

}  // namespace taq::fuzz
