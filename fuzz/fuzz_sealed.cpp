// Arbitrary bytes as an encrypted archive, opened with the password of the
// seeds ("fuzz"). Checks that the header is judged without reading past
// it, that every sound frame lies inside the file and that the frames and
// the damaged ranges do not overlap, and that the plain archive inside
// reads without a fault: its index and the walk of `t` over it.
#include "archive/index.h"
#include "archive/sealed.h"
#include "extract/extract.h"
#include "fuzz_support.h"

using namespace taq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& archive_path = fuzz::archive_from(data, size);
    platform::File file = platform::File::open(archive_path, platform::File::Mode::read_existing);
    SealedArchive sealed;
    const SealedStatus status = sealed.open(file, "fuzz");
    fuzz::check(status != SealedStatus::ok || size >= kSealedHeaderBytes, "a header shorter than a header");
    if (status != SealedStatus::ok) return 0;
    uint64_t at = kSealedHeaderBytes;
    for (const SealedFrame& f : sealed.frames()) {
        fuzz::check(f.at >= at && f.at + kFrameOverhead + f.length <= size, "a frame outside the archive");
        fuzz::check(f.length >= 1 && f.length <= kFramePlainBytes, "a frame of an impossible length");
        at = f.at + kFrameOverhead + f.length;
    }
    for (const SealedDamage& d : sealed.damage()) fuzz::check(d.from <= d.to && d.to <= size, "damage outside");
    const Source plain = sealed.plain();
    // The plain archive as a file, for the caps that keep one input cheap.
    std::vector<uint8_t> bytes(sealed.plain_size());
    fuzz::check(plain.read_exact(0, bytes.data(), bytes.size()), "the plain archive cannot be read whole");
    const std::string plain_path = fuzz::scratch_root() + "/plain";
    fuzz::write_file(plain_path, bytes.data(), bytes.size());
    if (!fuzz::within_caps(plain_path, fuzz::Caps{})) return 0;
    const ArchiveIndex index = ArchiveIndex::check(plain, sealed.plain_size());
    fuzz::check(index.end() <= sealed.plain_size(), "an index past the plain archive");
    fuzz::Messages msgs;
    Extractor extractor(false, msgs.diag);
    extractor.set_testing(true);
    extract_entries(extractor, plain, sealed.plain_size(), nullptr, archive_path, "", {"*"});
    return 0;
}
