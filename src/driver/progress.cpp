#include "driver/progress.h"

#include <algorithm>
#include <cstdio>

#include "archive/meter.h"
#include "platform/platform.h"

namespace taq {

namespace {

// The line on the terminal, for the hook that clears it before output.
ProgressLine* shown = nullptr;

void clear_before_output() {
    if (shown) shown->clear();
}

// Columns a UTF-8 text takes (one per character).
size_t columns(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// A child's messages share the terminal with its parent's line.
void clear_parent_line() {
    platform::write_stderr("\r" + std::string(platform::terminal_columns() - 1, ' ') + "\r");
}

std::string duration(uint64_t seconds) {
    char buf[32];
    if (seconds >= 3600)
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
    else
        std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    return buf;
}

}  // namespace

std::unique_ptr<ProgressLine> ProgressLine::start(uint64_t total, Meter* meter) {
    if (!platform::stderr_is_terminal()) return nullptr;
    std::unique_ptr<ProgressLine> line(new ProgressLine(total, meter));
    if (meter) meter->listen([p = line.get()] { p->tick(); }, kCheckEvery);
    return line;
}

ProgressLine::ProgressLine(uint64_t total, Meter* meter)
    : total_(total), meter_(meter), start_ms_(platform::monotonic_ms()), last_ms_(start_ms_) {
    shown = this;
    platform::before_stdout_writes(clear_before_output);
}

ProgressLine::~ProgressLine() {
    if (on_close_) on_close_();
    if (meter_) meter_->listen({}, 0);
    clear();
    shown = nullptr;
}

void ProgressLine::tick() {
    const uint64_t now = platform::monotonic_ms();
    if (now - last_ms_ < kRedrawMs) return;
    last_ms_ = now;
    const bool own = !source_ && meter_;
    const uint64_t done = source_ ? source_() : own ? meter_->done() : 0;
    shown_done_ = std::max(shown_done_, std::min(done, total_));
    const std::string& item = !own || meter_->item().empty() ? item_ : meter_->item();
    draw(format(shown_done_, total_, now - start_ms_, item, platform::terminal_columns()));
}

void ProgressLine::follow_parent() {
    if (platform::stderr_is_terminal()) platform::before_stdout_writes(clear_parent_line);
}

void ProgressLine::clear() {
    if (drawn_ == 0) return;
    platform::write_stderr("\r" + std::string(drawn_, ' ') + "\r");
    drawn_ = 0;
}

void ProgressLine::draw(const std::string& text) {
    // Blanks over what the last line had beyond this one: no terminal
    // control sequences needed.
    const size_t width = columns(text);
    std::string out = "\r" + text;
    if (drawn_ > width) out += std::string(drawn_ - width, ' ') + "\r" + text;
    platform::write_stderr(out);
    drawn_ = width;
}

std::string ProgressLine::format(uint64_t done, uint64_t total, uint64_t elapsed_ms, const std::string& item,
                                 unsigned width) {
    done = std::min(done, total);
    const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char head[96];
    if (total == kUnknownTotal) {
        std::snprintf(head, sizeof head, "%9.1f MB %6.2f MB/s", static_cast<double>(done) / 1e6, rate / 1e6);
    } else {
        const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
        std::string left = "--:--";
        if (rate > 0 && elapsed_ms >= 500)
            left = duration(static_cast<uint64_t>(static_cast<double>(total - done) / rate + 0.5));
        std::snprintf(head, sizeof head, "%3u%% %6.2f MB/s %7s left", percent, rate / 1e6, left.c_str());
    }
    std::string line = head;
    // The end of the name tells most: "..." and as much of it as fits.
    // Control characters would break the line.
    std::string name = item;
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    const size_t room = width > line.size() + 3 ? width - line.size() - 3 : 0;
    if (!name.empty() && room >= 8) {
        line += "  ";
        if (columns(name) <= room) {
            line += name;
        } else {
            size_t from = name.size();
            for (size_t cols = 0; from > 0 && cols < room - 3;) {
                --from;
                if ((static_cast<unsigned char>(name[from]) & 0xC0) != 0x80) ++cols;
            }
            line += "..." + name.substr(from);
        }
    }
    if (width > 1 && line.size() > width - 1 && columns(line) > width - 1) line.resize(width - 1);
    return line;
}

}  // namespace taq
