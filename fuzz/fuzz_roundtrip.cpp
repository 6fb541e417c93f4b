// Arbitrary bytes compressed and restored: they must come back exactly.
// Input: a flag byte (method level = flags % 3, solid = flags & 4, no
// check records = flags & 8), two bytes that place a cut, then the data. A solid run stores the data as two
// files cut there, one model run over both; otherwise one file. Guards the
// analysis, the coders and the transforms against inputs that no corpus
// holds: empty, one byte, runs of one value, image and audio headers with
// absurd widths, channel counts and sample sizes.
#include "compress/compress.h"
#include "driver/settings.h"
#include "extract/extract.h"
#include "fuzz_support.h"

using namespace taq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const unsigned flags = in.byte();
    const unsigned cut_arg = in.u16();
    const std::vector<uint8_t> bytes = in.rest();
    const int level = static_cast<int>(flags % 3);
    const bool solid = (flags & 4) != 0;
    const bool plain = (flags & 8) != 0;
    const size_t cut = solid ? cut_arg % (bytes.size() + 1) : bytes.size();

    const std::string dir = fuzz::scratch_root() + "/rt";
    const std::string archive = dir + "/archive";
    const std::string dest = dir + "/out";
    fuzz::remove_tree(dir);
    fuzz::make_dirs(dest);
    struct Part {
        std::string name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Part> parts{{"first", {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)}}};
    if (solid) parts.push_back({"second", {bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end()}});

    fuzz::Messages msgs;
    {
        CompressOptions options;
        options.archive_path = archive;
        options.model_memory = model_memory_for_level(level);
        options.solid = solid;
        options.check_record = !plain;
        Compressor compressor(options, msgs.diag);
        compressor.expect_input(bytes.size());
        for (const Part& p : parts) {
            const std::string path = dir + "/" + p.name;
            fuzz::write_file(path, p.bytes.data(), p.bytes.size());
            fuzz::check(compressor.compress_entry(path, p.name, "", 0, p.bytes.size()) == EntryResult::written,
                        "compression failed: " + msgs.text);
        }
        fuzz::check(compressor.finish_run(), "archive not settled: " + msgs.text);
    }
    Extractor extractor(false, msgs.diag);
    extractor.set_populate_threads(1);
    fuzz::check(extract_entries(extractor, archive, dest, "*"), "extraction failed: " + msgs.text);
    for (const Part& p : parts)
        fuzz::check(fuzz::read_file(dest + "/" + p.name) == std::string(p.bytes.begin(), p.bytes.end()),
                    p.name + " did not come back");
    return 0;
}
