// Where a run's messages go. Nothing below the command line prints: every
// warning, error and per-file notice is handed, as the whole text the
// command line shows (line end included), to the sink the caller supplies.
// A run without a sink keeps only its count of errors and the first and
// last of them.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace taq {

enum class Severity {
    info,     // a per-file notice, a verbose line, a note on what the run did
    warning,  // something the user should know; the run's result stands
    error,    // something failed; the run's result says so too
};

class DiagnosticSink {
public:
    virtual void message(Severity severity, const std::string& text) = 0;
    // Whatever the sink holds back goes out now (before another process
    // writes to the same place).
    virtual void flush() {}

protected:
    ~DiagnosticSink() = default;
};

class Diagnostics {
public:
    Diagnostics() = default;
    explicit Diagnostics(DiagnosticSink* sink) : sink_(sink) {}
    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;

    void info(const std::string& text) { emit(Severity::info, text); }
    void warning(const std::string& text) { emit(Severity::warning, text); }
    void error(const std::string& text) { emit(Severity::error, text); }
    void emit(Severity severity, const std::string& text) {
        if (severity == Severity::error) {
            if (errors_++ == 0) first_error_ = text;
            last_error_ = text;
        }
        if (sink_) sink_->message(severity, text);
    }
    void flush() {
        if (sink_) sink_->flush();
    }

    uint64_t errors() const { return errors_; }
    const std::string& first_error() const { return first_error_; }
    const std::string& last_error() const { return last_error_; }
    DiagnosticSink* sink() const { return sink_; }

private:
    DiagnosticSink* sink_ = nullptr;
    uint64_t errors_ = 0;
    std::string first_error_;
    std::string last_error_;
};

// Passes every message on to other Diagnostics, which count it as their
// own: the end of a chain of sinks that change the text.
class DiagnosticsRelay final : public DiagnosticSink {
public:
    explicit DiagnosticsRelay(Diagnostics& to) : to_(to) {}
    void message(Severity severity, const std::string& text) override { to_.emit(severity, text); }
    void flush() override { to_.flush(); }

private:
    Diagnostics& to_;
};

// Diagnostics that keep the text of every message, in order: for a caller
// that shows them later, or looks at what a run said.
class RecordedMessages final : public DiagnosticSink {
public:
    RecordedMessages() : diag(this) {}
    RecordedMessages(const RecordedMessages&) = delete;
    RecordedMessages& operator=(const RecordedMessages&) = delete;
    void message(Severity, const std::string& line) override { text += line; }

    Diagnostics diag;
    std::string text;
};

namespace detail {
inline void append_text(std::string& s, std::string_view v) { s += v; }
inline void append_text(std::string& s, const char* v) { s += v ? v : ""; }
inline void append_text(std::string& s, const std::string& v) { s += v; }
inline void append_text(std::string& s, char c) { s += c; }
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>)
void append_text(std::string& s, T v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}
}  // namespace detail

// The pieces (texts, characters and integers in decimal) joined.
template <class... Parts>
std::string text(const Parts&... parts) {
    std::string s;
    (detail::append_text(s, parts), ...);
    return s;
}

// `v` in lower-case hexadecimal, at least `digits` digits.
inline std::string hex_text(uint64_t v, unsigned digits) {
    char buf[17];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
    std::string s(r.ptr - buf < static_cast<std::ptrdiff_t>(digits) ? digits - (r.ptr - buf) : 0, '0');
    s.append(buf, r.ptr);
    return s;
}

}  // namespace taq
