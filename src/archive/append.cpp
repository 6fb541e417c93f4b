#include "archive/append.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace taq {

namespace {

bool undo_append(platform::File& dst, uint64_t length, const std::string& destination) {
    if (!dst.truncate(length))
        std::printf("Error: cannot restore destination file %s\n", destination.c_str());
    return false;
}

}  // namespace

bool append_file(const std::string& source, const std::string& destination) {
    using platform::File;
    File src = File::open(source, File::Mode::read_existing);
    if (!src) {
        std::printf("Error: cannot open file to append %s\n", source.c_str());
        return false;
    }
    File dst = File::open(destination, File::Mode::write_existing);
    if (!dst) {
        std::printf("Error: cannot open detination file to append %s\n", destination.c_str());
        return false;
    }
    const int64_t dst_size = dst.size();
    const int64_t src_size = src.size();
    if (dst_size < 0 || src_size < 0 || !dst.seek(static_cast<uint64_t>(dst_size))) {
        std::printf("Error: cannot append %s to %s\n", source.c_str(), destination.c_str());
        return false;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kAppendChunk);
    } catch (const std::bad_alloc&) {
        std::puts("No memory ");
        return false;
    }
    const auto total = static_cast<uint64_t>(src_size);
    uint8_t first_size[kHeldBytes] = {};
    const bool hold = total >= kHeldBytes;
    uint64_t copied = 0;
    const auto fail_write = [&] {
        std::printf("Error: cannot write destination file %s (%s)\n", destination.c_str(), dst.error().c_str());
        return undo_append(dst, static_cast<uint64_t>(dst_size), destination);
    };
    while (copied < total) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kAppendChunk, total - copied));
        if (src.read(buffer.data(), chunk) != chunk) {
            std::printf("Error: cannot read file to append %s\n", source.c_str());
            return undo_append(dst, static_cast<uint64_t>(dst_size), destination);
        }
        if (copied == 0 && hold) {
            std::copy(buffer.begin(), buffer.begin() + kHeldBytes, first_size);
            std::fill(buffer.begin(), buffer.begin() + kHeldBytes, uint8_t{0});
        }
        if (!dst.write(buffer.data(), chunk)) return fail_write();
        copied += chunk;
    }
    if (hold && (!dst.sync() || !dst.seek(static_cast<uint64_t>(dst_size)) || !dst.write(first_size, kHeldBytes)))
        return fail_write();
    return true;
}

}  // namespace taq
