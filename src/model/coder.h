// The binary arithmetic coder: 32-bit range, 12-bit probabilities, carry
// propagation through held-back 0xFF bytes, byte-wise output through a
// 64 KiB buffer. Encoder and Decoder offer the same two calls so that every
// model loop is written once as a template over the direction:
//   int bit(int b, uint32_t p)  -- p = P(1) in 1/4096; returns the bit
//   int direct(int b)           -- a bit at probability one half
// The encoder codes and returns the bit it is given; the decoder ignores it
// and returns the decoded bit.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/source.h"
#include "platform/platform.h"

namespace taq {

constexpr size_t kCoderBuffer = 65536;

class Encoder {
public:
    static constexpr bool encoding = true;

    explicit Encoder(platform::File* out) : out_(out), buffer_(kCoderBuffer) {}
    // Each full buffer handed to `write` instead of written to a file
    // (an encrypted archive's writer).
    using WriteBlock = bool (*)(void* context, const void* data, size_t n);
    Encoder(WriteBlock write, void* context) : out_(nullptr), write_(write), context_(context), buffer_(kCoderBuffer) {}

    // Starts a new stream; `coded_size` keeps what the caller counted.
    void start() {
        cache_ = 0;
        pending_ = 1;
        low_ = 0;
        range_ = 0xFFFFFFFFu;
        pos_ = 0;
    }

    int bit(int b, uint32_t p) { return code(b, (range_ >> 12) * p); }
    int direct(int b) { return code(b, range_ >> 1); }

    // bit() in two halves: the interval step, and the renormalisation that
    // must follow before the next step. A model loop settles after its
    // learning, when few of its values are live across the (rare) call.
    int step(int b, uint32_t p) { return narrow(b, (range_ >> 12) * p); }
    void settle() {
        if (range_ < (1u << 24)) normalize();
    }

    void flush() {
        for (int i = 0; i < 5; ++i) shift_low();
        if (pos_ != 0) write_buffer(pos_);
        pos_ = 0;
    }

    uint64_t coded_size = 0;
    bool failed() const { return failed_; }
    // The decoder's question, for loops written once for both directions:
    // an encoder never runs past its stream.
    static constexpr bool overrun() { return false; }

private:
    // A 1 takes the lower `bound` of the interval.
    int code(int b, uint32_t bound) {
        narrow(b, bound);
        settle();
        return b;
    }
    int narrow(int b, uint32_t bound) {
        // Without branches: the bits of a good model are the ones it
        // cannot predict, so a branch on them would often be mispredicted.
        const uint32_t one = 0u - static_cast<uint32_t>(b);
        low_ += bound & ~one;
        range_ = (bound & one) | ((range_ - bound) & ~one);
        return b;
    }

    // Kept out of line: it runs about once per output byte, and inlined it
    // crowds the registers of the model loops.
    [[gnu::noinline]] void normalize() {
        while (range_ < (1u << 24)) {
            range_ <<= 8;
            shift_low();
        }
    }

    void shift_low() {
        const uint32_t carry = static_cast<uint32_t>(low_ >> 32);
        const uint32_t low32 = static_cast<uint32_t>(low_);
        if (carry != 0 || low32 < 0xFF000000u) {
            emit(static_cast<uint8_t>(cache_ + carry));
            for (; pending_ > 1; --pending_) emit(static_cast<uint8_t>(0xFF + carry));
            cache_ = static_cast<uint8_t>(low32 >> 24);
            pending_ = 1;
        } else {
            ++pending_;
        }
        low_ = static_cast<uint64_t>(low32 << 8);
    }

    void emit(uint8_t byte) {
        buffer_[pos_++] = byte;
        if (pos_ == kCoderBuffer) {
            write_buffer(kCoderBuffer);
            pos_ = 0;
        }
    }

    void write_buffer(size_t n) {
        if (!failed_ && !(out_ ? out_->write(buffer_.data(), n) : write_(context_, buffer_.data(), n))) failed_ = true;
        coded_size += n;
    }

    platform::File* out_;
    WriteBlock write_ = nullptr;
    void* context_ = nullptr;
    std::vector<uint8_t> buffer_;
    uint64_t low_ = 0;  // bit 32 holds the carry
    uint32_t range_ = 0xFFFFFFFFu;
    uint32_t pending_ = 1;
    size_t pos_ = 0;
    uint8_t cache_ = 0;
    bool failed_ = false;
};

class Decoder {
public:
    static constexpr bool encoding = false;

    explicit Decoder(const Source& in) : in_(in), buffer_(kCoderBuffer) {}

    // Starts decoding at `from`; bytes at or past `limit` (the end of the
    // entry) read as zero.
    void start(uint64_t from, uint64_t limit) {
        limit_ = limit;
        pos_ = from;
        available_ = limit > from ? limit - from : 0;
        consumed_ = 0;
        left_ = 0;
        code_ = 0;
        range_ = 0xFFFFFFFFu;
        for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | next_byte();
    }

    int bit(int, uint32_t p) { return decode((range_ >> 12) * p); }
    int direct(int) { return decode(range_ >> 1); }

    // As the encoder's: the step, then the renormalisation.
    int step(int, uint32_t p) { return narrow((range_ >> 12) * p); }
    void settle() {
        if (range_ < (1u << 24)) normalize();
    }

    // A correct stream never needs a byte past its own end: the decoder
    // takes exactly as many bytes as the encoder wrote. More means the
    // entry is damaged (its sizes do not match its stream).
    bool overrun() const { return consumed_ > available_; }
    // Bytes of the stream taken so far, and how many there were.
    uint64_t consumed() const { return consumed_; }
    uint64_t available() const { return available_; }

private:
    int decode(uint32_t bound) {
        const int b = narrow(bound);
        settle();
        return b;
    }
    int narrow(uint32_t bound) {
        const int b = code_ < bound;
        const uint32_t one = 0u - static_cast<uint32_t>(b);
        code_ -= bound & ~one;
        range_ = (bound & one) | ((range_ - bound) & ~one);
        return b;
    }

    [[gnu::noinline]] void normalize() {
        while (range_ < (1u << 24)) {
            range_ <<= 8;
            code_ = (code_ << 8) | next_byte();
        }
    }

    uint32_t next_byte() {
        ++consumed_;
        if (left_ == 0) refill();
        return buffer_[kCoderBuffer - left_--];
    }

    void refill() {
        size_t want = kCoderBuffer;
        if (pos_ >= limit_) want = 0;
        else if (limit_ - pos_ < want) want = static_cast<size_t>(limit_ - pos_);
        const size_t got = want ? in_.read_at(pos_, buffer_.data(), want) : 0;
        pos_ += got;
        std::memset(buffer_.data() + got, 0, kCoderBuffer - got);
        left_ = kCoderBuffer;
    }

    Source in_;
    std::vector<uint8_t> buffer_;
    uint64_t pos_ = 0;
    uint64_t limit_ = 0;
    uint64_t available_ = 0;
    uint64_t consumed_ = 0;
    size_t left_ = 0;
    uint32_t code_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
};

}  // namespace taq
