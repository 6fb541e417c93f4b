#include "archive/sealed.h"

#include <algorithm>
#include <cstring>

#include "archive/bytes.h"
#include "archive/diagnostics.h"
#include "archive/walk.h"
#include "archive/entry.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace taq {

namespace {

// The first eight bytes, read as a little-endian entry size by a reader of
// plain archives, are far beyond any file: such a reader finds the archive
// damaged at offset 0.
constexpr uint8_t kMagic[8] = {0x89, 'T', 'A', 'Q', 's', 'e', 'a', 'l'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kPbkdf2Sha256 = 1;
constexpr uint8_t kAes256Gcm = 1;
constexpr uint8_t kFrameLog = 16;
constexpr uint64_t kSealedSeed = 0x7461712d7365616cULL;
// Offsets in the header.
constexpr size_t kIterationsAt = 12, kSaltAt = 16, kCheckAt = 32, kChecksumAt = 56;
// The nonces of the two tags made with no plaintext (the password check
// and the frame marker); frames take random ones.
constexpr uint8_t kCheckNonce[platform::kNonceBytes] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                        0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
constexpr uint8_t kMarkerNonce[platform::kNonceBytes] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                         0xff, 0xff, 0xff, 0xff, 0xff, 0x02};

uint64_t header_checksum(const uint8_t* header) { return XXH3_64bits_withSeed(header, kChecksumAt, kSealedSeed); }

bool derive_marker(SealedKeys& keys) {
    uint8_t tag[platform::kTagBytes];
    if (!platform::seal(keys.key, kMarkerNonce, keys.salt, kSaltBytes, nullptr, 0, nullptr, tag)) return false;
    std::memcpy(keys.marker, tag, sizeof keys.marker);
    return true;
}

// The password check of a header and the marker of its frames.
bool derive_checks(SealedKeys& keys, const uint8_t* header, uint8_t* check) {
    return platform::seal(keys.key, kCheckNonce, header, kCheckAt, nullptr, 0, nullptr, check) && derive_marker(keys);
}

// What a frame's tag covers besides its ciphertext: the salt and the
// frame's head (marker, plain offset, length, nonce).
void frame_aad(const SealedKeys& keys, const uint8_t* head, uint8_t* aad) {
    std::memcpy(aad, keys.salt, kSaltBytes);
    std::memcpy(aad + kSaltBytes, head, kFrameHeadBytes);
}

}  // namespace

const char* wrong_password_message() { return "wrong password, or the archive is not encrypted with it"; }

bool sealed_magic(const uint8_t* data, size_t n) { return n >= sizeof kMagic && std::memcmp(data, kMagic, sizeof kMagic) == 0; }

bool is_sealed_archive(const std::string& path) {
    platform::File f = platform::File::open(path, platform::File::Mode::read_existing);
    uint8_t head[sizeof kMagic];
    return f && f.read(head, sizeof head) == sizeof head && sealed_magic(head, sizeof head);
}

SealedStatus sealed_header_state(const uint8_t* header, size_t n) {
    if (!sealed_magic(header, n)) {
        // A damaged magic is told by the checksum over the rest.
        if (n < kSealedHeaderBytes) return SealedStatus::not_sealed;
        uint8_t mended[kSealedHeaderBytes];
        std::memcpy(mended, header, sizeof mended);
        std::memcpy(mended, kMagic, sizeof kMagic);
        return header_checksum(mended) == get_le(header + kChecksumAt, 8) ? SealedStatus::damaged_header
                                                                           : SealedStatus::not_sealed;
    }
    if (n < kSealedHeaderBytes || header_checksum(header) != get_le(header + kChecksumAt, 8))
        return SealedStatus::damaged_header;
    const uint32_t iterations = static_cast<uint32_t>(get_le(header + kIterationsAt, 4));
    if (header[8] != kVersion || header[9] != kPbkdf2Sha256 || header[10] != kAes256Gcm || header[11] != kFrameLog ||
        iterations < kMinIterations || iterations > kMaxIterations)
        return SealedStatus::unsupported;
    if (!platform::crypto_available()) return SealedStatus::unavailable;
    return SealedStatus::ok;
}

void keys_to_bytes(const SealedKeys& keys, uint8_t* out) {
    std::memcpy(out, keys.key.data(), platform::kKeyBytes);
    std::memcpy(out + platform::kKeyBytes, keys.salt, kSaltBytes);
    for (int i = 0; i < 4; ++i) out[platform::kKeyBytes + kSaltBytes + i] = static_cast<uint8_t>(keys.iterations >> (8 * i));
}

bool keys_from_bytes(const uint8_t* data, size_t n, SealedKeys& keys) {
    if (n != kHandedKeyBytes) return false;
    std::memcpy(keys.key.data(), data, platform::kKeyBytes);
    keys.key.mark_set();
    std::memcpy(keys.salt, data + platform::kKeyBytes, kSaltBytes);
    keys.iterations = static_cast<uint32_t>(get_le(data + platform::kKeyBytes + kSaltBytes, 4));
    if (derive_marker(keys)) return true;
    keys.key.clear();
    return false;
}

void copy_keys(const SealedKeys& from, SealedKeys& to) {
    std::memcpy(to.key.data(), from.key.data(), platform::kKeyBytes);
    if (from.key.set()) to.key.mark_set();
    std::memcpy(to.salt, from.salt, kSaltBytes);
    std::memcpy(to.marker, from.marker, sizeof to.marker);
    to.iterations = from.iterations;
}

bool sealed_header_of(SealedKeys& keys, std::vector<uint8_t>& header) {
    header.assign(kSealedHeaderBytes, 0);
    std::memcpy(header.data(), kMagic, sizeof kMagic);
    header[8] = kVersion;
    header[9] = kPbkdf2Sha256;
    header[10] = kAes256Gcm;
    header[11] = kFrameLog;
    for (int i = 0; i < 4; ++i) header[kIterationsAt + i] = static_cast<uint8_t>(keys.iterations >> (8 * i));
    std::memcpy(header.data() + kSaltAt, keys.salt, kSaltBytes);
    if (!derive_checks(keys, header.data(), header.data() + kCheckAt)) return false;
    const uint64_t sum = header_checksum(header.data());
    for (int i = 0; i < 8; ++i) header[kChecksumAt + i] = static_cast<uint8_t>(sum >> (8 * i));
    return true;
}

SealedStatus new_sealed_keys(const std::string& password, uint32_t iterations, SealedKeys& keys,
                             std::vector<uint8_t>& header) {
    if (!platform::crypto_available()) return SealedStatus::unavailable;
    if (!platform::random_bytes(keys.salt, kSaltBytes)) return SealedStatus::failed;
    keys.iterations = iterations;
    if (!platform::derive_key(password, keys.salt, kSaltBytes, iterations, keys.key)) return SealedStatus::failed;
    return sealed_header_of(keys, header) ? SealedStatus::ok : SealedStatus::failed;
}

SealedStatus SealedArchive::check_header(uint8_t* header) {
    const int64_t size = file_->size();
    if (size < 0) return SealedStatus::failed;
    container_size_ = static_cast<uint64_t>(size);
    const size_t got = file_->seek(0) ? file_->read(header, kSealedHeaderBytes) : 0;
    if (const SealedStatus status = sealed_header_state(header, got); status != SealedStatus::ok) return status;
    std::memcpy(keys_.salt, header + kSaltAt, kSaltBytes);
    keys_.iterations = static_cast<uint32_t>(get_le(header + kIterationsAt, 4));
    return SealedStatus::ok;
}

SealedStatus SealedArchive::open_keyed(const uint8_t* header) {
    uint8_t check[platform::kTagBytes];
    if (!derive_checks(keys_, header, check)) return SealedStatus::failed;
    if (std::memcmp(check, header + kCheckAt, sizeof check) != 0) {
        keys_.key.clear();
        return SealedStatus::wrong_password;
    }
    scan();
    hide_damaged_entries();
    return SealedStatus::ok;
}

SealedStatus SealedArchive::open(platform::File& file, const std::string& password) {
    file_ = &file;
    uint8_t header[kSealedHeaderBytes] = {};
    if (const SealedStatus status = check_header(header); status != SealedStatus::ok) return status;
    if (!platform::derive_key(password, keys_.salt, kSaltBytes, keys_.iterations, keys_.key))
        return SealedStatus::failed;
    return open_keyed(header);
}

SealedStatus SealedArchive::open(platform::File& file, const SealedKeys& keys) {
    file_ = &file;
    uint8_t header[kSealedHeaderBytes] = {};
    if (const SealedStatus status = check_header(header); status != SealedStatus::ok) return status;
    if (std::memcmp(keys_.salt, keys.salt, kSaltBytes) != 0 || keys_.iterations != keys.iterations)
        return SealedStatus::wrong_password;
    copy_keys(keys, keys_);
    return open_keyed(header);
}

bool SealedArchive::try_frame(uint64_t at, SealedFrame& frame) {
    uint8_t head[kFrameHeadBytes];
    if (at + kFrameOverhead > container_size_ || !file_->seek(at) || file_->read(head, sizeof head) != sizeof head)
        return false;
    if (std::memcmp(head, keys_.marker, sizeof keys_.marker) != 0) return false;
    frame.at = at;
    frame.plain = get_le(head + 8, 8);
    frame.length = static_cast<uint32_t>(get_le(head + 16, 4));
    if (frame.length == 0 || frame.length > kFramePlainBytes || at + kFrameOverhead + frame.length > container_size_)
        return false;
    sealed_.resize(frame.length + platform::kTagBytes);
    if (file_->read(sealed_.data(), sealed_.size()) != sealed_.size()) return false;
    uint8_t aad[kSaltBytes + kFrameHeadBytes];
    frame_aad(keys_, head, aad);
    cache_.resize(frame.length);
    cached_ = SIZE_MAX;
    return platform::open(keys_.key, head + 20, aad, sizeof aad, sealed_.data(), frame.length,
                          sealed_.data() + frame.length, cache_.data());
}

bool SealedArchive::cut_short(uint64_t at) {
    uint8_t head[kFrameHeadBytes];
    if (container_size_ - at < kFrameHeadBytes) return true;
    if (!file_->seek(at) || file_->read(head, sizeof head) != sizeof head) return false;
    return std::memcmp(head, keys_.marker, sizeof keys_.marker) == 0 &&
           at + kFrameOverhead + get_le(head + 16, 4) > container_size_;
}

void SealedArchive::scan() {
    frames_.clear();
    damage_.clear();
    tail_ = false;
    uint64_t at = kSealedHeaderBytes;
    uint64_t expected = 0;  // the plain offset the next frame must have
    std::vector<uint8_t> window;
    while (at < container_size_) {
        SealedFrame f;
        if (try_frame(at, f) && f.plain == expected) {
            frames_.push_back(f);
            expected += f.length;
            at += kFrameOverhead + f.length;
            continue;
        }
        // A sound frame whose plain offset does not follow on: frames
        // between were taken out (or this one was put in).
        if (try_frame(at, f) && f.plain > expected) {
            damage_.push_back({at, at});
            frames_.push_back(f);
            expected = f.plain + f.length;
            at += kFrameOverhead + f.length;
            continue;
        }
        // Damage: the next sound frame further on, found by its marker.
        uint64_t next = container_size_;
        for (uint64_t from = at + 1; from < container_size_ && next == container_size_;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(size_t{1} << 20, container_size_ - from));
            window.resize(want);
            if (!file_->seek(from) || file_->read(window.data(), want) != want) break;
            for (size_t i = 0; i + sizeof keys_.marker <= want; ++i) {
                if (window[i] != keys_.marker[0] || std::memcmp(&window[i], keys_.marker, sizeof keys_.marker) != 0)
                    continue;
                if (try_frame(from + i, f) && f.plain >= expected) {
                    next = from + i;
                    break;
                }
            }
            if (want < sizeof keys_.marker) break;
            from += want - (sizeof keys_.marker - 1);
        }
        damage_.push_back({at, next});
        // What a killed writer leaves at the end: a frame cut short (a
        // whole frame that fails its check is damage).
        if (next == container_size_) tail_ = cut_short(at);
        at = next;
        // The frame found goes in on the next round at its own plain offset.
        if (next < container_size_) {
            try_frame(next, f);
            frames_.push_back(f);
            expected = f.plain + f.length;
            at = next + kFrameOverhead + f.length;
        }
    }
    plain_size_ = expected;
    cached_ = SIZE_MAX;
}

bool SealedArchive::read_frame(size_t index) {
    if (cached_ == index) return true;
    SealedFrame f;
    // Read and authenticated again: the file may have changed since.
    if (!try_frame(frames_[index].at, f) || f.plain != frames_[index].plain || f.length != frames_[index].length)
        return false;
    cached_ = index;
    return true;
}

uint64_t SealedArchive::container_offset(uint64_t plain) const {
    auto it = std::upper_bound(frames_.begin(), frames_.end(), plain,
                               [](uint64_t p, const SealedFrame& f) { return p < f.plain; });
    if (it == frames_.begin()) return kSealedHeaderBytes;
    --it;
    if (plain >= it->plain + it->length) return it->at + kFrameOverhead + it->length;
    return it->at;
}

void SealedArchive::hide(uint64_t from, uint64_t to) {
    if (from < to) hidden_.push_back({from, to});
}

size_t SealedArchive::read_plain(void* context, uint64_t offset, void* data, size_t n) {
    auto& self = *static_cast<SealedArchive*>(context);
    uint8_t* out = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < n) {
        const uint64_t p = offset + done;
        uint64_t limit = p + (n - done);
        bool hidden = false;
        for (const SealedDamage& h : self.hidden_) {
            if (p >= h.from && p < h.to) {
                hidden = true;
                limit = std::min(limit, h.to);
            } else if (h.from > p) {
                limit = std::min(limit, h.from);
            }
        }
        auto it = std::upper_bound(self.frames_.begin(), self.frames_.end(), p,
                                   [](uint64_t v, const SealedFrame& f) { return v < f.plain; });
        // Bytes of no sound frame (and of entries that damage cut into) read
        // as zeros: no reader takes them for an entry, and one that looks
        // for the next entry after damage goes on past them.
        if (hidden || it == self.frames_.begin() || p >= std::prev(it)->plain + std::prev(it)->length) {
            if (!hidden && it != self.frames_.end()) limit = std::min(limit, it->plain);
            const size_t take = static_cast<size_t>(limit - p);
            std::memset(out + done, 0, take);
            done += take;
            continue;
        }
        --it;
        if (!self.read_frame(static_cast<size_t>(it - self.frames_.begin()))) return done;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(limit, it->plain + it->length) - p);
        std::memcpy(out + done, self.cache_.data() + (p - it->plain), take);
        done += take;
    }
    return done;
}

void SealedArchive::hide_damaged_entries() {
    const Source source = plain();
    for (size_t i = 0; i < frames_.size(); ++i) {
        const uint64_t gap_from = i == 0 ? 0 : frames_[i - 1].plain + frames_[i - 1].length;
        const uint64_t gap_to = frames_[i].plain;
        if (gap_from == gap_to) continue;
        // The entry that the gap cut into starts a frame before it.
        for (size_t j = i; j-- > 0;) {
            EntryHeader h;
            if (!read_header(source, frames_[j].plain, plain_size_, h, nullptr, true)) continue;
            if (frames_[j].plain + h.entry_size > gap_from) hide(frames_[j].plain, gap_to);
            break;
        }
    }
}

std::unique_ptr<SealedWriter> SealedWriter::create(const std::string& path, SealedKeys& keys,
                                                   const std::vector<uint8_t>& header, std::string& error) {
    platform::File f = platform::File::open(path, platform::File::Mode::open_or_create);
    if (!f || !f.truncate(0) || !f.seek(0) || !f.write(header.data(), header.size())) {
        error = f.error();
        return nullptr;
    }
    std::unique_ptr<SealedWriter> w(new SealedWriter(std::move(f), keys));
    w->container_end_ = header.size();
    return w;
}

std::unique_ptr<SealedWriter> SealedWriter::append(const std::string& path, SealedArchive& archive,
                                                   std::string& error) {
    platform::File f = platform::File::open(path, platform::File::Mode::write_existing);
    if (!f) {
        error = f.error();
        return nullptr;
    }
    std::unique_ptr<SealedWriter> w(new SealedWriter(std::move(f), archive.keys()));
    w->frames_ = archive.frames();
    w->plain_end_ = archive.plain_size();
    w->container_end_ = w->frames_.empty() ? kSealedHeaderBytes
                                           : w->frames_.back().at + kFrameOverhead + w->frames_.back().length;
    // What follows the last sound frame (a frame a killed run wrote in
    // part) goes.
    if (archive.container_size() > w->container_end_ && !w->file_.truncate(w->container_end_)) {
        error = w->file_.error();
        return nullptr;
    }
    return w;
}

bool SealedWriter::seal_frame(uint64_t at, uint64_t plain, const uint8_t* data, uint32_t n) {
    buffer_.resize(kFrameOverhead + n);
    uint8_t* head = buffer_.data();
    std::memcpy(head, keys_.marker, sizeof keys_.marker);
    for (int i = 0; i < 8; ++i) head[8 + i] = static_cast<uint8_t>(plain >> (8 * i));
    for (int i = 0; i < 4; ++i) head[16 + i] = static_cast<uint8_t>(n >> (8 * i));
    if (!platform::random_bytes(head + 20, platform::kNonceBytes)) return false;
    uint8_t aad[kSaltBytes + kFrameHeadBytes];
    frame_aad(keys_, head, aad);
    if (!platform::seal(keys_.key, head + 20, aad, sizeof aad, data, n, head + kFrameHeadBytes,
                        head + kFrameHeadBytes + n))
        return false;
    return file_.seek(at) && file_.write(buffer_.data(), buffer_.size());
}

bool SealedWriter::open_frame(const SealedFrame& f, std::vector<uint8_t>& plain) {
    std::vector<uint8_t> sealed(kFrameOverhead + f.length);
    plain.resize(f.length);
    if (!file_.seek(f.at) || file_.read(sealed.data(), sealed.size()) != sealed.size()) return false;
    uint8_t aad[kSaltBytes + kFrameHeadBytes];
    frame_aad(keys_, sealed.data(), aad);
    return platform::open(keys_.key, sealed.data() + 20, aad, sizeof aad, sealed.data() + kFrameHeadBytes, f.length,
                          sealed.data() + kFrameHeadBytes + f.length, plain.data());
}

size_t SealedWriter::read_at(uint64_t position, void* data, size_t n) {
    uint8_t* out = static_cast<uint8_t*>(data);
    size_t done = 0;
    std::vector<uint8_t> plain;
    while (done < n && position + done < size()) {
        const uint64_t p = position + done;
        if (p >= plain_end_) {
            const size_t at = static_cast<size_t>(p - plain_end_);
            const size_t take = std::min(n - done, open_.size() - at);
            std::memcpy(out + done, open_.data() + at, take);
            done += take;
            continue;
        }
        auto it = std::upper_bound(frames_.begin(), frames_.end(), p,
                                   [](uint64_t v, const SealedFrame& f) { return v < f.plain; });
        --it;
        if (!open_frame(*it, plain)) break;
        const size_t at = static_cast<size_t>(p - it->plain);
        const size_t take = std::min<size_t>(n - done, it->length - at);
        std::memcpy(out + done, plain.data() + at, take);
        done += take;
    }
    if (!plain.empty()) platform::wipe(plain.data(), plain.size());
    return done;
}

bool SealedWriter::rewrite(size_t index, uint64_t position, const uint8_t* data, size_t n) {
    const SealedFrame& f = frames_[index];
    std::vector<uint8_t> plain;
    if (!open_frame(f, plain)) return false;
    std::memcpy(plain.data() + (position - f.plain), data, n);
    const bool ok = seal_frame(f.at, f.plain, plain.data(), f.length);
    platform::wipe(plain.data(), plain.size());
    return ok;
}

bool SealedWriter::write_at(uint64_t position, const void* data, size_t n) {
    const uint8_t* in = static_cast<const uint8_t*>(data);
    if (position > size()) return false;
    // The part that lands in sealed frames: each sealed anew.
    while (n > 0 && position < plain_end_) {
        auto it = std::upper_bound(frames_.begin(), frames_.end(), position,
                                   [](uint64_t v, const SealedFrame& f) { return v < f.plain; });
        --it;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n, it->plain + it->length - position));
        if (!rewrite(static_cast<size_t>(it - frames_.begin()), position, in, take)) return false;
        position += take;
        in += take;
        n -= take;
    }
    if (n == 0) return true;
    const size_t at = static_cast<size_t>(position - plain_end_);
    if (open_.size() < at + n) open_.resize(at + n);
    std::memcpy(open_.data() + at, in, n);
    // Full frames go out at once; the rest waits for more.
    size_t sealed = 0;
    while (open_.size() - sealed >= kFramePlainBytes) {
        if (!seal_frame(container_end_, plain_end_, open_.data() + sealed, kFramePlainBytes)) return false;
        frames_.push_back({container_end_, plain_end_, kFramePlainBytes});
        container_end_ += kFrameOverhead + kFramePlainBytes;
        plain_end_ += kFramePlainBytes;
        sealed += kFramePlainBytes;
    }
    if (sealed != 0) open_.erase(open_.begin(), open_.begin() + static_cast<std::ptrdiff_t>(sealed));
    return true;
}

bool SealedWriter::end_frame() {
    if (open_.empty()) return true;
    const uint32_t n = static_cast<uint32_t>(open_.size());
    if (!seal_frame(container_end_, plain_end_, open_.data(), n)) return false;
    frames_.push_back({container_end_, plain_end_, n});
    container_end_ += kFrameOverhead + n;
    plain_end_ += n;
    platform::wipe(open_.data(), open_.size());
    open_.clear();
    return true;
}

bool SealedWriter::truncate(uint64_t position) {
    if (position >= plain_end_) {
        if (position > size()) return false;
        open_.resize(static_cast<size_t>(position - plain_end_));
        return true;
    }
    open_.clear();
    auto it = std::upper_bound(frames_.begin(), frames_.end(), position,
                               [](uint64_t v, const SealedFrame& f) { return v < f.plain; });
    --it;
    const SealedFrame cut = *it;
    if (cut.plain != position) {
        // A frame cut in the middle: its first part is sealed again.
        std::vector<uint8_t> plain;
        if (!open_frame(cut, plain)) return false;
        open_.assign(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(position - cut.plain));
        platform::wipe(plain.data(), plain.size());
    }
    frames_.erase(it, frames_.end());
    container_end_ = cut.at;
    plain_end_ = cut.plain;
    return file_.truncate(container_end_) && end_frame();
}

std::string sealed_status_message(SealedStatus status, const std::string& path) {
    switch (status) {
        case SealedStatus::ok: return {};
        case SealedStatus::not_sealed:
        case SealedStatus::wrong_password: return std::string(wrong_password_message()) + "\n";
        case SealedStatus::damaged_header: return damaged_archive_message(path, 0, "encrypted archive header damaged");
        case SealedStatus::unsupported:
            return "Error: " + path + " is encrypted in a way this version of taq cannot read\n";
        case SealedStatus::failed: return "Error: cannot read Archive file " + path + "\n";
        case SealedStatus::unavailable: return "Error: this build of taq cannot encrypt or decrypt archives\n";
    }
    return {};
}

bool report_sealed_damage(const SealedArchive& sealed, const std::string& path, Diagnostics& diag) {
    for (const SealedDamage& d : sealed.damage()) {
        if (d.from == d.to)
            diag.error(damaged_archive_message(path, d.from, "encrypted frames missing before this offset"));
        else
            diag.error(damaged_archive_message(
                path, d.from, text("encrypted frames fail their check: bytes ", d.from, " to ", d.to)));
    }
    return !sealed.damage().empty();
}

bool SealedAppend::open(const std::string& path, const std::string& password, uint32_t rounds, Diagnostics& diag,
                        SealedStatus* status_out) {
    return open_with(
        path, diag, status_out,
        [&](std::vector<uint8_t>& header) { return new_sealed_keys(password, rounds, fresh_, header); },
        [&] { return existing_.open(file_, password); });
}

bool SealedAppend::open(const std::string& path, const SealedKeys& keys, Diagnostics& diag) {
    return open_with(
        path, diag, nullptr,
        [&](std::vector<uint8_t>& header) {
            copy_keys(keys, fresh_);
            return sealed_header_of(fresh_, header) ? SealedStatus::ok : SealedStatus::failed;
        },
        [&] { return existing_.open(file_, keys); });
}

bool SealedAppend::open_with(const std::string& path, Diagnostics& diag, SealedStatus* status_out,
                             const std::function<SealedStatus(std::vector<uint8_t>&)>& create,
                             const std::function<SealedStatus()>& open_existing) {
    SealedStatus status = SealedStatus::ok;
    const auto fail = [&](SealedStatus why, const std::string& message) {
        if (status_out) *status_out = why;
        diag.error(message);
        writer_.reset();
        return false;
    };
    std::string error;
    if (platform::file_size(path) == 0) {
        std::vector<uint8_t> header;
        status = create(header);
        if (status != SealedStatus::ok) return fail(status, sealed_status_message(status, path));
        writer_ = SealedWriter::create(path, fresh_, header, error);
    } else {
        file_ = platform::File::open(path, platform::File::Mode::read_existing);
        status = file_ ? open_existing() : SealedStatus::failed;
        if (status != SealedStatus::ok) return fail(status, sealed_status_message(status, path));
        const SealedArchive& a = existing_;
        // Damage before the end is never written after; a frame cut short
        // at the end is what a killed run leaves.
        if (!a.damage().empty() && !(a.damage().size() == 1 && a.damage_is_tail())) {
            report_sealed_damage(a, path, diag);
            return fail(SealedStatus::ok, text("Error: ", path, " is not an archive that can be added to: damaged at "
                                               "offset ", a.damage().front().from,
                                               " (encrypted frames fail their check); nothing written\n"));
        }
        const AppendCheck c = check_for_append(a.plain(), a.plain_size(), &index_);
        if (c.state == AppendCheck::refused)
            return fail(SealedStatus::ok, text("Error: ", path, " is not an archive that can be added to: damaged at "
                                               "offset ", a.container_offset(c.good_end), " (", c.why,
                                               "); nothing written\n"));
        writer_ = SealedWriter::append(path, existing_, error);
        const uint64_t before = a.container_size();
        if (writer_ && c.state == AppendCheck::incomplete && !writer_->truncate(c.good_end)) writer_.reset();
        if (writer_ && !writer_->sync()) writer_.reset();
        if (writer_ && writer_->container_size() != before)
            diag.info(text("Archive ", path, " ended in an entry that an interrupted run left incomplete: cut back from ",
                           before, " to ", writer_->container_size(), " bytes\n"));
    }
    if (!writer_) return fail(SealedStatus::failed, text("Error: cannot write Output file ", path, " (", error, ")\n"));
    if (status_out) *status_out = SealedStatus::ok;
    return true;
}

void ContainerOffsets::message(Severity severity, const std::string& text) {
    // "at offset N" and "bytes N to M": the numbers after those words.
    static const char* const kBefore[] = {" at offset ", "Skipped bytes ", " to "};
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t best = std::string::npos, length = 0;
        for (const char* word : kBefore) {
            const size_t p = text.find(word, at);
            if (p < best) {
                best = p;
                length = std::char_traits<char>::length(word);
            }
        }
        if (best == std::string::npos) break;
        size_t digits = best + length;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        out.append(text, at, best + length - at);
        if (digits == best + length) {
            at = best + length;
            continue;
        }
        const uint64_t plain = std::stoull(text.substr(best + length, digits - best - length));
        out += std::to_string(sealed_.container_offset(plain));
        at = digits;
    }
    out.append(text, at, std::string::npos);
    if (next_) next_->message(severity, out);
}


}  // namespace taq
