// The command line's side of encrypted archives: where the password comes
// from, and the one way every command opens an encrypted archive (so that
// a command added later gets the same checks and messages).
#pragma once

#include <memory>
#include <string>

#include "archive/diagnostics.h"
#include "archive/index.h"
#include "archive/lock.h"
#include "archive/sealed.h"
#include "driver/settings.h"
#include "platform/platform.h"

namespace taq {

// A password in memory: wiped when it goes.
class Password {
public:
    Password() = default;
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    ~Password();
    std::string text;
};

// The run's password: from --password-file's first line, or asked on the
// terminal (twice for a new archive). False (message printed) when none
// can be had: no terminal, a missing or empty file, an empty password,
// two answers that differ.
bool obtain_password(const Settings& s, bool new_archive, Password& out);

// An encrypted archive opened for reading with the run's password: every
// frame authenticated, damage reported (in container offsets).
struct OpenedArchive {
    platform::File file;
    SealedArchive sealed;
    // Whether the container had damage (reported when opened).
    bool damaged = false;
};
// Null (message printed) when the run cannot go on: no file, a plain
// archive, a damaged header, a wrong password.
std::unique_ptr<OpenedArchive> open_encrypted(const Settings& s, const std::string& path, Diagnostics& diag);

// The message for an encrypted archive opened without a password.
std::string encrypted_without_password(const std::string& path);

// A task's keys, handed over by its parent (see Settings::key_channel);
// false (message printed) when none came.
bool receive_keys(const Settings& s, SealedKeys& keys);

}  // namespace taq


namespace taq {

// The bytes a reader (`x`, `t`, `l`) takes an archive from: the file, or
// the plain archive inside an encrypted one, with the messages about it in
// container offsets.
class ArchiveBytes {
public:
    // False (message printed) when an encrypted archive cannot be opened;
    // a plain file that cannot be opened gives size() -1.
    bool open(const Settings& s, const std::string& path, Diagnostics& console);
    // The same for a command that reads the whole archive: a file that
    // cannot be opened is reported too ("Error: cannot open Archive file").
    bool open_whole(const Settings& s, const std::string& path, Diagnostics& console);
    // An encrypted archive opened with the run's keys (by a task: its
    // parent has reported what the container holds).
    bool open(const std::string& path, const SealedKeys& keys, Diagnostics& console);
    const Source& source() const { return source_; }
    int64_t size() const { return size_; }
    Diagnostics& diagnostics() { return *diag_; }
    bool encrypted() const { return opened_ != nullptr; }
    bool damaged() const { return opened_ && opened_->damaged; }
    const platform::File& file() const { return opened_ ? opened_->file : file_; }
    const SealedKeys* keys() const { return opened_ ? &opened_->sealed.keys() : nullptr; }

private:
    void use_opened(Diagnostics& console);

    platform::File file_;
    std::unique_ptr<OpenedArchive> opened_;
    std::unique_ptr<ContainerOffsets> offsets_;
    std::unique_ptr<Diagnostics> own_diag_;
    Diagnostics* diag_ = nullptr;
    Source source_;
    int64_t size_ = -1;
};

// An archive that one command reads whole (`v`, `x -c`): locked for
// reading, opened (the plain archive inside an encrypted one) and its
// entries checked.
struct WholeArchive {
    explicit WholeArchive(Diagnostics& console) : lock(console), console_(console) {}
    // False (message printed) when the run cannot go on.
    bool open(const Settings& s);
    const Source& source() const { return bytes.source(); }
    uint64_t size() const { return static_cast<uint64_t>(bytes.size()); }

    ArchiveLock lock;
    ArchiveBytes bytes;
    ArchiveIndex index;

private:
    Diagnostics& console_;
};

}  // namespace taq
