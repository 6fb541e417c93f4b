// decode_entry on every entry of an arbitrary archive, in order, with one
// Extractor: the general path, each per-kind coder, the inverse transforms
// and the check records, continuation entries included. Inputs whose headers claim
// more than fuzz::Caps (model memory of method level 2, 1 MiB per entry)
// are passed over, so that one input cannot run for minutes. Nothing is
// written; the decoding must end (damaged or not) without a report.
#include "archive/entry.h"
#include "extract/extract.h"
#include "fuzz_support.h"

using namespace taq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& archive_path = fuzz::archive_from(data, size);
    if (!fuzz::within_caps(archive_path, fuzz::Caps{})) return -1;
    platform::File archive = platform::File::open(archive_path, platform::File::Mode::read_existing);
    fuzz::Messages msgs;
    Extractor extractor(false, msgs.diag);
    extractor.set_populate_threads(1);
    for (uint64_t at = 0; at < size;) {
        EntryHeader h;
        if (!read_header(archive, at, size, h, nullptr, true)) break;
        const DecodeResult r = extractor.decode_entry(archive, archive_path, at, size, fuzz::scratch_root(), false);
        if (r == DecodeResult::damaged || r == DecodeResult::corrupt)
            fuzz::check(msgs.text.find("Error: ") != std::string::npos ||
                            msgs.text.find("No memory") != std::string::npos,
                        "failed entry without a message");
        if (r == DecodeResult::damaged) break;
        at += h.entry_size;
    }
    return 0;
}
