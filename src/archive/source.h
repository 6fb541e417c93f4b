// Bytes to read: an open file, a buffer in memory, or a caller's function;
// and where decoded bytes go: a file at an offset, a caller's function, or
// nowhere.
// Every read names its offset, so one source serves readers that jump
// about (the header walk) and readers that go straight through (the
// decoder), and a buffer is never read outside its bounds. A source is a
// small handle: it owns nothing, and what it reads must outlive it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace taq {

class Source {
public:
    // Reads up to n bytes at offset into data; returns how many it read.
    using ReadAt = size_t (*)(void* context, uint64_t offset, void* data, size_t n);

    Source() = default;
    // The file's bytes (its position moves with each read).
    Source(platform::File& file) : file_(&file) {}  // NOLINT: a file is a source
    static Source memory(const void* data, uint64_t size) {
        Source s;
        s.data_ = static_cast<const uint8_t*>(data);
        s.size_ = size;
        return s;
    }
    static Source callback(ReadAt read, void* context, uint64_t size) {
        Source s;
        s.read_ = read;
        s.context_ = context;
        s.size_ = size;
        return s;
    }

    // Up to n bytes at `offset`: fewer only at the end or on a failure.
    size_t read_at(uint64_t offset, void* data, size_t n) const {
        if (file_) return file_->seek(offset) ? file_->read(data, n) : 0;
        if (offset >= size_) return 0;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
        if (data_) {
            std::memcpy(data, data_ + offset, take);
            return take;
        }
        return read_ ? read_(context_, offset, data, take) : 0;
    }
    bool read_exact(uint64_t offset, void* data, size_t n) const { return read_at(offset, data, n) == n; }

    // The size now (a file may grow while it is read); -1 when unknown.
    int64_t size() const { return file_ ? file_->size() : static_cast<int64_t>(size_); }
    // The system's reason for the last failure (files only).
    std::string error() const { return file_ ? file_->error() : std::string(); }
    // The file behind the source, if it is one.
    platform::File* file() const { return file_; }

private:
    platform::File* file_ = nullptr;
    const uint8_t* data_ = nullptr;
    ReadAt read_ = nullptr;
    void* context_ = nullptr;
    uint64_t size_ = 0;
};

// A file source read through a window of bytes read ahead: for walks that
// read small pieces, mostly in ascending order (the headers and records of
// an archive's entries), one read of the system serves many. Reads larger
// than the window go straight to the source.
class ReadAhead {
public:
    static constexpr size_t kWindow = 16384;
    // The bytes [0, size) of `source`, which must outlive this.
    ReadAhead(const Source& source, uint64_t size) : source_(source), size_(size) {}
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    Source source() { return Source::callback(&ReadAhead::read, this, size_); }

private:
    static size_t read(void* context, uint64_t offset, void* data, size_t n) {
        auto& self = *static_cast<ReadAhead*>(context);
        if (n > kWindow) return self.source_.read_at(offset, data, n);
        if (offset < self.base_ || offset + n > self.base_ + self.have_) {
            self.base_ = offset;
            self.have_ = self.source_.read_at(offset, self.window_, kWindow);
        }
        const size_t take = offset - self.base_ < self.have_
                                ? std::min<size_t>(n, self.have_ - static_cast<size_t>(offset - self.base_))
                                : 0;
        std::memcpy(data, self.window_ + (offset - self.base_), take);
        return take;
    }

    Source source_;
    uint64_t size_;
    uint64_t base_ = 0;
    size_t have_ = 0;
    uint8_t window_[kWindow];
};

// Decoded bytes, in order, each write naming its position in the entry's
// data. The first failed write is reported once (on_failure) and ends the
// writing; a caller's function that fails also asks the decoder to stop.
class Sink {
public:
    // Takes n bytes; 0 to go on, anything else to fail and stop.
    using Write = int (*)(void* context, const void* data, size_t n);

    // Takes everything and keeps nothing (testing).
    Sink() = default;
    // Position p of the data goes to offset base + p of the file.
    Sink(platform::File& file, uint64_t base) : file_(&file), base_(base) {}
    static Sink callback(Write write, void* context) {
        Sink s;
        s.write_ = write;
        s.context_ = context;
        return s;
    }
    void on_failure(std::function<void()> f) { on_failure_ = std::move(f); }

    void write(uint64_t position, const uint8_t* data, size_t n) {
        if (failed_) return;
        bool ok = true;
        if (file_) {
            ok = file_->seek(base_ + position) && file_->write(data, n);
        } else if (write_) {
            status_ = write_(context_, data, n);
            ok = status_ == 0;
            stop_ = !ok;
        }
        if (!ok) {
            failed_ = true;
            if (on_failure_) on_failure_();
        }
    }
    bool failed() const { return failed_; }
    // A caller's function asked to stop.
    bool stopped() const { return stop_; }
    // What the caller's function returned when it failed.
    int status() const { return status_; }

private:
    platform::File* file_ = nullptr;
    uint64_t base_ = 0;
    Write write_ = nullptr;
    void* context_ = nullptr;
    std::function<void()> on_failure_;
    bool failed_ = false;
    bool stop_ = false;
    int status_ = 0;
};

}  // namespace taq
