// The work meter: how many bytes of file data this process has coded or
// decoded so far, for the progress display and for a parent run that shows
// its children's work. The coding loops add to it once per block or
// segment; whoever listens is called back every `every` bytes, never from
// the per-bit path.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace taq {

class Meter {
public:
    uint64_t done() const { return done_; }
    // Counting starts from `bytes` (a child taking over its slot's count).
    void set_done(uint64_t bytes) { done_ = bytes; }

    void add(uint64_t bytes) {
        done_ += bytes;
        if (done_ >= next_report_) report();
    }

    // The file whose data is being coded now; kept only while someone listens.
    void set_item(const std::string& name) {
        if (listener_) item_ = name;
    }
    const std::string& item() const { return item_; }

    // `listener` is called after every `every` bytes (and by report()).
    // An empty listener stops the calls.
    void listen(std::function<void()> listener, uint64_t every);
    // Calls the listener now.
    void report();

private:
    uint64_t done_ = 0;
    uint64_t next_report_ = std::numeric_limits<uint64_t>::max();
    uint64_t every_ = 0;
    std::function<void()> listener_;
    std::string item_;
};

}  // namespace taq
