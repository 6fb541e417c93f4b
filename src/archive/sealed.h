// Encrypted ("sealed") archives: a container whose contents are a plain
// archive, cut into frames that are each encrypted and authenticated with
// a key derived from a password. Every reader of plain archives works over
// the container through SealedArchive::plain(), and the compressor writes
// into one through a SealedWriter; doc/encryption.md has the layout.
//
//   header  magic, version, key derivation and its rounds, salt, a check
//           of the password (a tag over the header), an unkeyed checksum
//   frames  marker, plain offset, length, nonce, ciphertext, tag
//
// A frame's marker is derived from the key, so that a reader that met
// damage finds the next frame by scanning; its position in the plain
// archive and the archive's salt are authenticated with it, so frames
// cannot be moved, reordered or taken from another archive unnoticed.
// Every entry starts a frame of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/index.h"
#include "archive/source.h"
#include "platform/crypto.h"
#include "platform/platform.h"

namespace taq {

constexpr size_t kSealedHeaderBytes = 64;
constexpr size_t kSaltBytes = 16;
constexpr size_t kFrameHeadBytes = 32;
constexpr size_t kFrameOverhead = kFrameHeadBytes + platform::kTagBytes;
constexpr uint32_t kFramePlainBytes = 65536;
// What the command line derives keys with; archives carry their own count.
constexpr uint32_t kDefaultIterations = 600000;
// The counts a reader accepts from a header: fewer only in tests' archives
// (made through the library), more would take minutes.
constexpr uint32_t kMinIterations = 1000;
constexpr uint32_t kMaxIterations = 100000000;

// Whether the bytes at the start of a file are a sealed archive's magic.
bool sealed_magic(const uint8_t* data, size_t n);
// The same for the file at `path` (false when it is missing or short).
bool is_sealed_archive(const std::string& path);

enum class SealedStatus {
    ok,
    not_sealed,      // no sealed archive's magic
    damaged_header,  // the header fails its checksum (or is cut short)
    unsupported,     // a version, method or round count this reader does not take
    wrong_password,  // the header is sound but the password check fails
    failed,          // the system or the library failed (reading, deriving)
    unavailable,     // this build has no cryptography
};

// A frame found sound when the archive was opened.
struct SealedFrame {
    uint64_t at = 0;     // offset of its marker in the container
    uint64_t plain = 0;  // offset of its first byte in the plain archive
    uint32_t length = 0;
};
// Container bytes that are no sound frame (offsets in the container).
struct SealedDamage {
    uint64_t from = 0, to = 0;
};

// The keys of one archive: derived once per run, wiped when it ends.
struct SealedKeys {
    platform::SecretKey key;
    uint8_t salt[kSaltBytes] = {};
    uint8_t marker[8] = {};
    uint32_t iterations = 0;
};

// The keys as handed to another process of the run (which then derives
// nothing): key, salt, rounds. copy_keys makes the same in place.
constexpr size_t kHandedKeyBytes = platform::kKeyBytes + kSaltBytes + 4;
void keys_to_bytes(const SealedKeys& keys, uint8_t* out);
// False when the bytes are not kHandedKeyBytes or the marker cannot be
// derived.
bool keys_from_bytes(const uint8_t* data, size_t n, SealedKeys& keys);
void copy_keys(const SealedKeys& from, SealedKeys& to);

// What the first bytes of a file say: ok for the header of an encrypted
// archive that this reader can open (the password not yet tried).
SealedStatus sealed_header_state(const uint8_t* header, size_t n);

// Derives the keys of a new archive (a fresh salt) and its header.
SealedStatus new_sealed_keys(const std::string& password, uint32_t iterations, SealedKeys& keys,
                             std::vector<uint8_t>& header);
// The header of an archive with these keys (the one new_sealed_keys made).
bool sealed_header_of(SealedKeys& keys, std::vector<uint8_t>& header);

// An existing sealed archive, opened for reading: the header checked, the
// key derived and every frame authenticated before anything is used.
class SealedArchive {
public:
    // `file` must stay open while the archive is used.
    SealedStatus open(platform::File& file, const std::string& password);
    // The same with the keys of the run (another archive of the same keys:
    // a part that a task wrote); wrong_password when they are not its keys.
    SealedStatus open(platform::File& file, const SealedKeys& keys);

    // The plain archive inside: the bytes of the sound frames at their
    // plain offsets. Bytes of no sound frame, and every byte of an entry
    // that damage cut into, read as zeros: such an entry is passed over
    // whole, none of it decoded.
    Source plain() const { return Source::callback(&SealedArchive::read_plain, const_cast<SealedArchive*>(this), plain_size_); }
    uint64_t plain_size() const { return plain_size_; }
    const std::vector<SealedFrame>& frames() const { return frames_; }
    const std::vector<SealedDamage>& damage() const { return damage_; }
    // Damage that reaches the end of the container with no sound frame
    // after it: what a killed writer leaves (a frame written in part).
    bool damage_is_tail() const { return !damage_.empty() && damage_.back().to == container_size_ && tail_; }
    uint64_t container_size() const { return container_size_; }
    SealedKeys& keys() { return keys_; }
    const SealedKeys& keys() const { return keys_; }
    // The container offset of plain offset `plain` (the start of the frame
    // holding it); the container's end when none does.
    uint64_t container_offset(uint64_t plain) const;
    // Makes the plain range [from, to) read as zeros.
    void hide(uint64_t from, uint64_t to);

private:
    // Reads and checks the header; ok with the salt and rounds in keys_.
    SealedStatus check_header(uint8_t* header);
    // Checks the derived key against the header, then reads the frames.
    SealedStatus open_keyed(const uint8_t* header);
    static size_t read_plain(void* self, uint64_t offset, void* data, size_t n);
    bool read_frame(size_t index);
    bool try_frame(uint64_t at, SealedFrame& frame);
    void scan();
    bool cut_short(uint64_t at);
    void hide_damaged_entries();

    platform::File* file_ = nullptr;
    SealedKeys keys_;
    std::vector<SealedFrame> frames_;
    std::vector<SealedDamage> damage_;
    uint64_t plain_size_ = 0;
    uint64_t container_size_ = 0;
    bool tail_ = false;
    std::vector<SealedDamage> hidden_;  // plain ranges made unreadable
    size_t cached_ = SIZE_MAX;
    std::vector<uint8_t> cache_;
    std::vector<uint8_t> sealed_;
};

// Appends to a sealed archive: what is written to it is the plain
// archive, sealed frame by frame into the container file at `path`.
// Positions are those of the plain archive; a write below the end changes
// sealed frames, which are sealed anew (fresh nonces) in place.
class SealedWriter {
public:
    // A new container: `header` written to the (empty) file at `path`.
    static std::unique_ptr<SealedWriter> create(const std::string& path, SealedKeys& keys,
                                                const std::vector<uint8_t>& header, std::string& error);
    // The end of an opened archive, its sound frames all there is.
    static std::unique_ptr<SealedWriter> append(const std::string& path, SealedArchive& archive, std::string& error);

    bool write_at(uint64_t position, const void* data, size_t n);
    // Reads the plain archive as written so far (sealed frames opened
    // again, what is pending as it stands); how many bytes it read.
    size_t read_at(uint64_t position, void* data, size_t n);
    static size_t read_plain(void* self, uint64_t position, void* data, size_t n) {
        return static_cast<SealedWriter*>(self)->read_at(position, data, n);
    }
    bool append(const void* data, size_t n) { return write_at(size(), data, n); }
    // The plain archive's size, what is not sealed yet included.
    uint64_t size() const { return plain_end_ + open_.size(); }
    // Cuts the plain archive at `position` (the start of an entry).
    bool truncate(uint64_t position);
    // Seals what is pending (the next write starts a frame) and makes the
    // container durable.
    bool end_frame();
    bool sync() { return end_frame() && file_.sync(); }
    std::string error() const { return file_.error(); }
    uint64_t container_size() const { return container_end_; }
    const SealedKeys& keys() const { return keys_; }

    // For the compressor's coder: appends, as a block writer.
    static bool write_block(void* self, const void* data, size_t n) {
        return static_cast<SealedWriter*>(self)->append(data, n);
    }

private:
    SealedWriter(platform::File file, SealedKeys& keys) : file_(std::move(file)), keys_(keys) {}
    bool seal_frame(uint64_t at, uint64_t plain, const uint8_t* data, uint32_t n);
    bool rewrite(size_t index, uint64_t position, const uint8_t* data, size_t n);
    // A sealed frame's plain bytes, its tag checked.
    bool open_frame(const SealedFrame& f, std::vector<uint8_t>& plain);

    platform::File file_;
    SealedKeys& keys_;
    std::vector<SealedFrame> frames_;
    uint64_t plain_end_ = 0;      // end of the sealed frames' plain bytes
    uint64_t container_end_ = 0;  // end of the sealed frames
    std::vector<uint8_t> open_;   // plain bytes after plain_end_, not sealed yet
    std::vector<uint8_t> buffer_;
};

// The line for a wrong password (or a plain archive opened with one).
const char* wrong_password_message();
// The message (line end included) for a status other than ok.
std::string sealed_status_message(SealedStatus status, const std::string& path);

// Reports the container's damage (in container offsets); true when there
// was any.
bool report_sealed_damage(const SealedArchive& sealed, const std::string& path, Diagnostics& diag);

// An encrypted archive opened for appending: a new one created with a
// fresh salt (its key derived with `rounds` rounds), or an existing one
// opened with its password, every frame checked, and what an interrupted
// run left at its end cut away, before anything is written to it.
class SealedAppend {
public:
    // False (error reported) when nothing may be written: a wrong password,
    // damage before the end, a failure. `status` (when given) receives why.
    bool open(const std::string& path, const std::string& password, uint32_t rounds, Diagnostics& diag,
              SealedStatus* status = nullptr);
    // The same with the keys of the run: a new archive gets their salt and
    // rounds (the header their password makes), an existing one must have
    // them.
    bool open(const std::string& path, const SealedKeys& keys, Diagnostics& diag);
    SealedWriter* writer() { return writer_.get(); }
    // The plain archive as it was found (nothing, for a new one) and its
    // checked entries.
    Source found() const { return existing_.plain(); }
    const ArchiveIndex& index() const { return index_; }

private:
    // `create` makes the keys and header of a new archive, `open_existing`
    // opens one.
    bool open_with(const std::string& path, Diagnostics& diag, SealedStatus* status_out,
                   const std::function<SealedStatus(std::vector<uint8_t>&)>& create,
                   const std::function<SealedStatus()>& open_existing);

    SealedKeys fresh_;
    platform::File file_;
    SealedArchive existing_;
    ArchiveIndex index_;
    std::unique_ptr<SealedWriter> writer_;
};

// Messages about the plain archive inside an encrypted one name plain
// offsets; this sink passes them on with container offsets (the start of
// the frame that holds each), which is what a user can look at.
class ContainerOffsets final : public DiagnosticSink {
public:
    ContainerOffsets(const SealedArchive& sealed, DiagnosticSink* next) : sealed_(sealed), next_(next) {}
    void message(Severity severity, const std::string& text) override;
    void flush() override {
        if (next_) next_->flush();
    }

private:
    const SealedArchive& sealed_;
    DiagnosticSink* next_;
};

}  // namespace taq
