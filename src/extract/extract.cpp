// Placeholder until the engine lands.
#include "extract/extract.h"
#include "model/engine.h"

namespace taq {
Extractor::Extractor(bool verbose) : verbose_(verbose) {}
Extractor::~Extractor() = default;
DecodeResult Extractor::decode_entry(platform::File&, const std::string&, uint64_t, uint64_t, const std::string&, bool) {
    return DecodeResult::damaged;
}
bool entry_matches(const std::string&, const std::string&, const std::string&) { return false; }
bool extract_entries(Extractor&, const std::string&, const std::string&, const std::string&) { return false; }
bool safe_stored_path(const std::string&, const std::string&) { return false; }
}  // namespace taq
