// The progress line of `a`, `x` and `t`: one line on standard error, shown
// only when standard error is a terminal, redrawn in place a few times a
// second with the share of the run's bytes done, the speed, the time left
// and the file being worked on. Anything the process writes to standard
// output clears the line first; the line is cleared at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace taq {

class Meter;

class ProgressLine {
public:
    // Redraws at most this often.
    static constexpr uint64_t kRedrawMs = 250;
    // The coding loops check the clock after this many bytes.
    static constexpr uint64_t kCheckEvery = 262144;
    // The total of a run whose size is not known ahead (an archive through
    // a pipe): the line shows the bytes done and the speed only.
    static constexpr uint64_t kUnknownTotal = UINT64_MAX;

    // A line for a run of `total` bytes; null (nothing shown, nothing
    // changed) unless standard error is a terminal. The count of bytes done
    // comes from `meter` (which calls tick()) unless set_source() says
    // otherwise.
    static std::unique_ptr<ProgressLine> start(uint64_t total, Meter* meter);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void add_total(uint64_t bytes) { total_ += bytes; }
    // Where the bytes done are read (a parent: its children's counts).
    void set_source(std::function<uint64_t()> done) { source_ = std::move(done); }
    // The name shown when the meter names no file (a parent's runs).
    void set_item(const std::string& name) { item_ = name; }
    // Runs when the line goes away (to unhook whatever calls tick()).
    void on_close(std::function<void()> f) { on_close_ = std::move(f); }

    // Redraws the line when the last drawing is kRedrawMs old.
    void tick();
    // Takes the line off the terminal.
    void clear();

    // A child task: its messages clear the line its parent draws on the
    // same terminal.
    static void follow_parent();

    // The text of the line: percent, MB/s, time left (or, for an unknown
    // total, the bytes done and MB/s) and as much of the name's end as
    // fits in `width` - 1 columns.
    static std::string format(uint64_t done, uint64_t total, uint64_t elapsed_ms, const std::string& item,
                              unsigned width);

private:
    ProgressLine(uint64_t total, Meter* meter);
    void draw(const std::string& text);

    uint64_t total_;
    Meter* meter_;
    uint64_t start_ms_;
    uint64_t last_ms_;
    uint64_t shown_done_ = 0;  // never goes back
    std::function<uint64_t()> source_;
    std::function<void()> on_close_;
    std::string item_;
    size_t drawn_ = 0;  // columns on the terminal now
};

}  // namespace taq
