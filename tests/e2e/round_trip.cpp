#include "e2e/round_trip.h"

#include <filesystem>

#include "archive/bytes.h"
#include "archive/record.h"
#include "platform/platform.h"

namespace taq::test {

::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << "; first difference at offset " << at;
}

::testing::AssertionResult file_holds(const std::string& path, const std::string& want) {
    if (!file_exists(path)) return ::testing::AssertionFailure() << path << " is missing";
    ::testing::AssertionResult r = same_bytes(read_file(path), want);
    if (!r) r << " (" << path << ")";
    return r;
}

std::set<std::string> files_below(const std::string& root) {
    std::set<std::string> out;
    std::error_code ec;
    // UTF-8 names with '/' separators on every system.
    const std::filesystem::path top(reinterpret_cast<const char8_t*>(root.c_str()));
    for (auto it = std::filesystem::recursive_directory_iterator(top, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        const std::u8string name = std::filesystem::relative(it->path(), top).generic_u8string();
        out.insert(std::string(name.begin(), name.end()));
    }
    return out;
}

std::vector<EntryHeader> read_headers(const std::string& archive) {
    std::vector<EntryHeader> out;
    platform::File f = platform::File::open(archive, platform::File::Mode::read_existing);
    EXPECT_TRUE(f.valid()) << archive;
    const uint64_t size = platform::file_size(archive);
    for (uint64_t at = 0; f.valid() && at < size;) {
        EntryHeader h;
        std::string why;
        if (!read_header(f, at, size, h, &why)) {
            ADD_FAILURE() << archive << " at " << at << ": " << why;
            break;
        }
        at += h.entry_size;
        out.push_back(h);
    }
    return out;
}

std::string without_markers(const std::string& archive) {
    const std::string bytes = read_file(archive);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    std::string out;
    uint64_t at = 0;
    for (const EntryHeader& h : read_headers(archive)) {
        uint64_t end = at + h.entry_size;
        // Stacked records lie on top of the entry's own one.
        while (end - at >= kRecordTrailer + h.header_length() && get_le(p + end - 8, 8) == kRecordMagic) {
            const uint64_t len = get_le(p + end - kRecordTrailer, 4);
            if (!(get_le(p + end - len + 2, 2) & kRecordStacked)) break;
            end -= len;
        }
        std::string entry = bytes.substr(at, end - at);
        const std::string size = le_bytes(entry.size(), 8);
        entry.replace(0, 8, size);
        out += entry;
        at += h.entry_size;
    }
    return out;
}

void add_m0(const TempDir& dir, const std::vector<std::string>& names, const std::vector<std::string>& switches) {
    std::vector<std::string> args{"a", "-m0"};
    args.insert(args.end(), switches.begin(), switches.end());
    args.push_back("arch");
    args.insert(args.end(), names.begin(), names.end());
    const RunResult r = run_taq(args, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

std::vector<EntryHeader> expect_round_trip(const Files& files, const std::vector<std::string>& switches) {
    TempDir dir;
    std::vector<std::string> names;
    for (const auto& [name, data] : files) {
        write_file(dir.file(name), data);
        names.push_back(name);
    }
    add_m0(dir, names, switches);
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const auto& [name, data] : files) EXPECT_TRUE(file_holds(dir.file("out/" + name), data));
    return read_headers(dir.file("arch"));
}

std::string archive_of(const TempDir& dir, const std::string& name, const std::string& file,
                       const std::string& contents) {
    write_file(dir.file(file), contents);
    const RunResult r = run_taq({"a", "-m0", "-n", name, file}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return read_file(dir.file(name));
}

std::string edited_entry(const std::string& path, const std::function<void(EntryHeader&)>& edit) {
    const std::vector<EntryHeader> headers = read_headers(path);
    if (headers.empty()) return {};
    EntryHeader h = headers[0];
    const std::string coded = read_file(path).substr(h.header_length(), h.entry_size - h.header_length());
    edit(h);
    h.entry_size = h.header_length() + coded.size();
    const std::vector<uint8_t> head = serialize_header(h);
    return std::string(head.begin(), head.end()) + coded;
}

}  // namespace taq::test
