// Arbitrary bytes as an archive in memory, through the library's reader:
// every entry listed, and each one's data decoded to a function (a few of
// them twice, to go back over solid runs). Every call must end with one of
// the documented results: 1 or 0 from taq_read_next, a TAQ_* code from
// the rest, a message for each failure, an entry's decoded bytes exactly
// its data size when it reads, and never a read outside the buffer (the
// sanitizers watch that). Inputs above fuzz::Caps are passed over; the
// memory limit refuses larger models before they are allocated.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "taq.h"

using namespace taq;

namespace {

struct Collected {
    uint64_t bytes = 0;
    uint64_t stop_after = UINT64_MAX;  // a write function that gives up
};

int count(void* context, const void*, size_t size) {
    auto* c = static_cast<Collected*>(context);
    c->bytes += size;
    return c->bytes > c->stop_after ? 1 : 0;
}

bool known(int code) { return code <= 0 && code >= TAQ_E_UNSUPPORTED; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes: the sanitizer sees any read past it.
    std::vector<uint8_t> image(data, data + size);
    const fuzz::Caps caps;
    taq_reader* r = nullptr;
    fuzz::check(taq_read_open_memory(&r, image.data(), image.size()) == TAQ_OK && r, "memory reader not opened");
    taq_read_set_memory_limit(r, taq_memory_for_level(2));
    uint64_t total = 0;
    unsigned steps = 0;
    for (int got; steps < 2000; ++steps) {
        taq_entry e;
        got = taq_read_next(r, &e);
        if (got == 0) break;
        if (got < 0) {
            fuzz::check(got == TAQ_E_DAMAGED || got == TAQ_E_MEMORY, "taq_read_next gave " + std::to_string(got));
            fuzz::check(*taq_reader_error(r) != '\0', "a failure without a message");
            continue;
        }
        fuzz::check(got == 1 && e.name != nullptr, "taq_read_next gave " + std::to_string(got));
        fuzz::check(e.offset < size && e.packed_size <= size - e.offset, "entry outside the archive");
        if (e.data_size > caps.data_size || total + e.data_size > caps.total_data) continue;
        total += e.data_size;
        // Every third entry's function gives up halfway.
        Collected c;
        if (steps % 3 == 2) c.stop_after = e.data_size / 2;
        const int read = taq_read_data(r, count, &c);
        fuzz::check(known(read), "taq_read_data gave " + std::to_string(read));
        if (read == TAQ_OK) {
            fuzz::check(c.bytes == e.data_size, "decoded bytes differ from the data size");
        } else {
            fuzz::check(*taq_reader_error(r) != '\0', "a failure without a message");
            if (c.bytes > c.stop_after) fuzz::check(read == TAQ_E_IO, "a stopped write not told as TAQ_E_IO");
        }
    }
    fuzz::check(taq_read_close(r) == TAQ_OK, "close failed");
    return 0;
}
