// What a run is asked to do, as plain values: the command line fills them
// from its switches, a library caller sets them itself.
#pragma once

#include <cstdint>

namespace taq {

constexpr int kDefaultMethodLevel = 5;
constexpr unsigned kMaxTasks = 8;

// 4 MiB shifted left by the method level (0..7).
constexpr uint32_t model_memory_for_level(int level) { return 4194304u << level; }

struct RunOptions {
    int level = kDefaultMethodLevel;  // method and model memory, 0..7
    bool solid = false;               // the model carries over from file to file
    bool check_records = true;        // false: the plain format
    unsigned tasks = 1;               // processes that share the work, 1..kMaxTasks
    bool recurse = false;             // into subdirectories whose names match
    bool verbose = false;             // a line for each file

    uint32_t model_memory() const { return model_memory_for_level(level); }
};

}  // namespace taq
