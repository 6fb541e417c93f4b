// The match model and the context model, each driven alone on a small
// model memory: what they predict from a repeat, and that a reset makes
// them forget it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "model/byte_context.h"
#include "model/context_model.h"
#include "model/match_model.h"
#include "model/storage.h"
#include "model/table_memory.h"

namespace taq {
namespace {

constexpr uint32_t kMemory = 1u << 16;
constexpr uint32_t kMinMatch = 3;

// A sentence whose windows of eight bytes all differ.
const std::string kPhrase = "the quick brown fox jumps over a lazy dog; ";

// The parts the general coder drives, over one TableMemory.
struct Parts {
    TableMemory tables{kMemory};
    ByteContext bytes;
    Parts() {
        bytes.history = tables.history;
        bytes.mask = kMemory - 1;
    }
    TableStorage storage() { return {tables}; }
};

struct MatchParts : Parts {
    MatchModel match{tables.hot, kMemory};

    // The byte the model predicts next (-1: none), and its probability.
    int32_t prediction() const { return match.len >= kMinMatch ? match.predicted(bytes) : -1; }
    // Adds `c`, as the coder does after coding it.
    int32_t add(uint8_t c) {
        const int32_t p = prediction();
        int32_t probability = 0;
        if (p >= 0) {
            match.pred = p;
            probability = match.predict(bytes);
        }
        bytes.push(c);
        match.update(storage(), bytes, c, p >= 0, p, false, kMinMatch);
        return probability;
    }
    void reset() {
        tables.clear(bytes.written);
        bytes.reset();
        match.reset();
        match.reset_stages();
    }
};

TEST(MatchModel, ARepeatPredictsItsNextByteFromTheMinimumLengthOn) {
    MatchParts m;
    for (char c : kPhrase) {
        EXPECT_EQ(m.prediction(), -1) << "first time, at " << c;
        m.add(static_cast<uint8_t>(c));
    }
    // The slot hashes eight bytes: from the eighth byte of the repeat on,
    // the match is found and checked back over at least kMinMatch bytes.
    for (size_t i = 0; i < kPhrase.size(); ++i) {
        if (i >= 8) {
            EXPECT_EQ(m.prediction(), static_cast<uint8_t>(kPhrase[i])) << i;
        }
        m.add(static_cast<uint8_t>(kPhrase[i]));
    }
    // A different byte breaks the match; the next repeat finds it again.
    m.add('#');
    EXPECT_EQ(m.prediction(), -1);
}

TEST(MatchModel, FlagStagesGrowSureOfAMatchThatHolds) {
    MatchParts m;
    std::vector<int32_t> at_20;
    for (int copy = 0; copy < 6; ++copy) {
        for (size_t i = 0; i < kPhrase.size(); ++i) {
            const int32_t p = m.add(static_cast<uint8_t>(kPhrase[i]));
            if (i == 20) at_20.push_back(p);
        }
    }
    ASSERT_EQ(at_20.size(), 6u);
    EXPECT_EQ(at_20[0], 0);  // no prediction the first time
    EXPECT_GT(at_20[5], at_20[1]);
    EXPECT_GT(at_20[5], 3000);  // of 4096
}

TEST(MatchModel, AResetForgetsTheHistoryAndTheSlots) {
    MatchParts m;
    for (int copy = 0; copy < 3; ++copy)
        for (char c : kPhrase) m.add(static_cast<uint8_t>(c));
    m.reset();
    for (char c : kPhrase) {
        EXPECT_EQ(m.prediction(), -1) << "after the reset, at " << c;
        m.add(static_cast<uint8_t>(c));
    }
}

// Stands in for the coder: codes nothing, sums what each bit costs.
struct CostProbe {
    static constexpr bool encoding = true;
    double bits = 0;
    std::vector<uint32_t> ps;
    int step(int bit, uint32_t p) {
        ps.push_back(p);
        bits -= std::log2((bit ? p : 4096 - p) / 4096.0);
        return bit;
    }
    void settle() {}
};

struct ContextParts : Parts {
    ContextModel cm{tables.hot, kMemory};
    ContextParts() { cm.reset_weights(); }

    // Codes `s` without match predictions; returns what it cost in bits.
    double code(const std::string& s, std::vector<uint32_t>* ps = nullptr) {
        CostProbe probe;
        for (char ch : s) {
            const auto c = static_cast<uint8_t>(ch);
            bytes.bases_now(false, 0xFFFFFFFFu, false, cm.base);
            cm.start_byte(false, -1, bytes.c1);
            cm.code_byte(probe, storage(), c, [](uint32_t) {});
            bytes.push(c);
            cm.follow(c, bytes.c2);
        }
        if (ps) *ps = probe.ps;
        return probe.bits;
    }
    void reset() {
        tables.clear(bytes.written);
        bytes.reset();
        cm.reset_weights();
        cm.reset();
    }
};

TEST(ContextModel, LearnsWhatFollowsItsContexts) {
    ContextParts m;
    const double first = m.code(kPhrase);
    EXPECT_GT(first, 6.0 * kPhrase.size());  // about eight bits a byte when new
    double later = 0;
    for (int copy = 0; copy < 30; ++copy) later = m.code(kPhrase);
    EXPECT_LT(later, 1.0 * kPhrase.size());
}

TEST(ContextModel, AResetForgetsTheBucketsRowsAndWeights) {
    ContextParts fresh;
    std::vector<uint32_t> want;
    fresh.code(kPhrase, &want);

    ContextParts m;
    for (int copy = 0; copy < 10; ++copy) m.code(kPhrase + "and more text " + std::to_string(copy));
    m.reset();
    std::vector<uint32_t> got;
    m.code(kPhrase, &got);
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace taq
