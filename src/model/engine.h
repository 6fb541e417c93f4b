// The modelling engine: the owner of every model, sized from the model
// memory of an entry and reset at the start of each model run. It holds
// the general block coder (general_coder.h) with everything general data
// is coded with, and the small direct models (small_models.h) that the
// per-kind coders (kind_coders.h) use for images, audio and compressed
// media. The drivers fill segment() and code it through one of the two;
// code_segments (compress/segments.h) is that loop, for both directions.
//
// A reader's map of src/model:
//   coder.h          the binary arithmetic coder (Encoder, Decoder)
//   primitives.h     squash, bit-history states, counters, weight pairs
//   table_memory.h   the tables' memory, large pages, the dirty log
//   sparse.h         the small-input map that stands in for the tables
//   storage.h        TableStorage / MapStorage: where the loops look
//   byte_context.h   history, hashes, newest bytes, the context bases
//   match_model.h    the match model and its flag stages
//   context_model.h  the hashed context model, its stages and final stage
//   general_coder.h  the general block coder: the per-byte schedule and
//                    the fetches ahead
//   small_models.h   the small direct models
//   kind_coders.h    grey image, colour image, audio, media
//   engine.h         this owner
// The segment loop that drives them in either direction, with the
// transforms, sits one layer up, in compress/segments.h.
#pragma once

#include <cstdint>

#include "archive/entry.h"
#include "model/general_coder.h"
#include "model/kind_coders.h"
#include "model/small_models.h"

namespace taq {

class Engine {
public:
    // Allocates the segment buffer and the model tables for model memory
    // `memory` (a power of two, at least 16 bytes). Throws std::bad_alloc.
    explicit Engine(uint32_t memory) : general_(memory) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    uint32_t memory() const { return general_.memory(); }
    // Backs the hashed tables with large pages from now on (see
    // GeneralCoder::prefer_large_pages). Images and audio never touch them.
    void prefer_large_pages(unsigned populate_threads) { general_.prefer_large_pages(populate_threads); }
    uint8_t* segment() { return general_.segment(); }

    // Clears the whole model. Costs what the model touched since the last
    // reset, not the size of the tables. `expected` is about how many bytes
    // will be coded before the next reset: a small input keeps its buckets
    // in a small map rather than in the tables (any figure codes the same).
    void model_reset(uint64_t expected = UINT64_MAX) {
        general_.reset(expected);
        small_.reset();
    }
    // Whether the general model still keeps to the small-input map.
    bool in_small_map() const { return general_.in_small_map(); }

    // Per-entry and per-segment settings: the match length from which the
    // match model predicts, and whether the text transform was applied.
    void set_min_match(uint8_t m) { general_.min_match = m; }
    void set_text_applied(bool on) { general_.text_applied = on; }

    // Weight clamps the drivers run per segment.
    void clamp_general_segment() { general_.clamp_segment(); }
    void clamp_small_segment() { small_.clamp(); }

    // One block (1..4096 bytes) of general data. The encoder passes whether
    // the block goes raw; the decoder learns it from the stream.
    template <class Coder>
    void code_general_chunk(Coder& coder, uint8_t* bytes, uint32_t n, int raw) {
        general_.code_block(coder, bytes, n, raw);
    }
    // The first `length` bytes of `segment()` through the coder of the
    // data kind `c` chooses.
    template <class Coder>
    void code_kind(Coder& coder, uint64_t length, const CodingChoices& c) {
        taq::code_kind(small_, coder, general_.segment(), length, c);
    }

private:
    GeneralCoder general_;
    SmallModels small_;
};

}  // namespace taq
