// The entry header: its bytes, the reader's checks on an untrusted header,
// and the plausibility checks before a stream is decoded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/entry.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace taq {
namespace {

using platform::File;

EntryHeader sample_header() {
    EntryHeader h;
    h.solid = 1;
    h.reset_flag = 0;
    h.stored_name = "name.txt";
    h.stored_dir = "dir/sub/";
    h.data_size = 123456;
    h.model_memory = 1u << 22;
    h.min_match = 3;
    h.general_path = 0;
    h.delta_flag = 1;
    h.sample_width = 2;
    h.channels = 2;
    h.image_width = 640;
    h.record_length = 4;
    h.data_kind = DataKind::audio;
    h.range_start = 1u << 20;
    h.entry_size = h.header_length() + 5;
    return h;
}

// The header's bytes followed by `tail` zero bytes, in a file; the reader
// reads it back from `path`.
struct Archive {
    test::TempDir dir;
    std::string path = dir.file("arch");
    explicit Archive(std::vector<uint8_t> bytes, size_t tail = 0) {
        bytes.resize(bytes.size() + tail);
        test::write_file(path, bytes);
    }
    bool read(EntryHeader& h, std::string& why, bool leading_only = false) {
        File f = File::open(path, File::Mode::read_existing);
        return read_header(f, 0, platform::file_size(path), h, &why, leading_only);
    }
};

TEST(EntryHeader, ReadsBackWhatWasWritten) {
    const EntryHeader want = sample_header();
    const std::vector<uint8_t> bytes = serialize_header(want);
    EXPECT_EQ(bytes.size(), want.header_length());
    Archive a(bytes, 5);
    EntryHeader h;
    std::string why;
    ASSERT_TRUE(a.read(h, why)) << why;
    EXPECT_EQ(serialize_header(h), bytes);
    EXPECT_EQ(h.data_kind, DataKind::audio);
    EXPECT_EQ(h.stored_dir + h.stored_name, "dir/sub/name.txt");
    EXPECT_EQ(h.range_start, want.range_start);

    // A listing reads the names only.
    EntryHeader lead;
    ASSERT_TRUE(a.read(lead, why, true)) << why;
    EXPECT_EQ(lead.stored_name, "name.txt");
    EXPECT_EQ(lead.data_size, 0);
}

TEST(EntryHeader, RefusesHeadersThatCannotBeTrusted) {
    const EntryHeader h0 = sample_header();
    const std::vector<uint8_t> good = serialize_header(h0);
    const size_t name_at = 10, dir_at = name_at + 2 + h0.stored_name.size() + 1;
    struct Case {
        const char* why;
        std::vector<uint8_t> bytes;
        size_t tail;
    };
    auto with = [&](size_t at, uint8_t v) {
        std::vector<uint8_t> b = good;
        b[at] = v;
        return b;
    };
    auto sized = [&](uint64_t size) {
        std::vector<uint8_t> b = good;
        for (int i = 0; i < 8; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (8 * i));
        return b;
    };
    const std::vector<Case> cases = {
        {"entry header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 9), 0},
        {"entry size too small", sized(kMinEntrySize - 1), 0},
        {"entry reaches past the end of the archive", good, 4},
        {"name past the entry", with(name_at, 200), 5},
        {"name past the entry", with(name_at, 0), 5},  // a length of 0 has no terminator
        {"name not zero-terminated", with(dir_at - 1, 'x'), 5},
        {"name not zero-terminated", with(name_at + 3, 0), 5},
        {"directory past the entry", with(dir_at, 250), 5},
        {"entry header past the entry", sized(good.size() - 1), 0},
    };
    for (const Case& c : cases) {
        Archive a(c.bytes, c.tail);
        EntryHeader h;
        std::string why;
        EXPECT_FALSE(a.read(h, why)) << c.why;
        EXPECT_EQ(why, c.why);
    }
}

TEST(EntryHeader, PlausibleOnlyWithASoundModelAndLayout) {
    EntryHeader h = sample_header();
    h.reset_flag = 1;
    EXPECT_EQ(implausible_header(h, false), nullptr);
    auto why = [&](auto edit, bool have_model = false) {
        EntryHeader e = h;
        edit(e);
        const char* w = implausible_header(e, have_model);
        return std::string(w ? w : "");
    };
    EXPECT_EQ(why([](EntryHeader& e) { e.data_size = -1; }), "negative data size");
    EXPECT_EQ(why([](EntryHeader& e) { e.model_memory = (1u << 22) + 1; }), "model memory out of range");
    EXPECT_EQ(why([](EntryHeader& e) { e.model_memory = kMaxModelMemory * 2u; }), "model memory out of range");
    EXPECT_EQ(why([](EntryHeader& e) { e.reset_flag = 0; }), "entry continues a model run that was not decoded");
    EXPECT_EQ(why([](EntryHeader& e) { e.reset_flag = 0; }, true), "");
    EXPECT_EQ(why([](EntryHeader& e) { e.record_length = 3; }), "bad sample layout");
    EXPECT_EQ(why([](EntryHeader& e) { e.data_kind = DataKind::general; }), "unknown data kind");
    EXPECT_EQ(why([](EntryHeader& e) { e.data_kind = static_cast<DataKind>(kLastDataKind + 1); }),
              "unknown data kind");
    EXPECT_EQ(why([](EntryHeader& e) { e.data_kind = DataKind::media; }), "");
    for (DataKind k : {DataKind::grey_image, DataKind::colour_image}) {
        EXPECT_EQ(why([&](EntryHeader& e) { e.data_kind = k; e.image_width = 0; }), "bad image width");
        EXPECT_EQ(why([&](EntryHeader& e) { e.data_kind = k; e.image_width = 4096; }), "");
    }
    EXPECT_EQ(why([](EntryHeader& e) { e.data_kind = DataKind::colour_image; e.image_width = kEntrySegment / 3 + 1; }),
              "bad image width");
    // The general path takes any kind field.
    EXPECT_EQ(why([](EntryHeader& e) { e.general_path = 1; e.data_kind = static_cast<DataKind>(77); }), "");
}

}  // namespace
}  // namespace taq
