// Placeholder until the engine lands.
#include "compress/compress.h"
#include "model/engine.h"

namespace taq {

Compressor::Compressor(CompressOptions options) : options_(std::move(options)) {}
Compressor::~Compressor() = default;
EntryResult Compressor::compress_entry(const std::string&, const std::string&, const std::string&, uint64_t, uint64_t) {
    return EntryResult::input_failed;
}
}  // namespace taq
