#include "driver/encrypted.h"

#include <cstdio>

#include "archive/entry.h"
#include "platform/crypto.h"

namespace taq {

namespace {

// More than any password's first line; the rest of a longer file is not read.
constexpr size_t kPasswordFileLimit = 4096;

bool password_from_file(const std::string& path, Password& out) {
    platform::File f = platform::File::open(path, platform::File::Mode::read_existing);
    if (!f) {
        std::printf("Error: cannot read password file %s (%s)\n", path.c_str(), f.error().c_str());
        return false;
    }
    std::string& line = out.text;
    line.resize(kPasswordFileLimit);
    line.resize(f.read(line.data(), line.size()));
    const size_t end = line.find_first_of("\r\n");
    if (end != std::string::npos) {
        platform::wipe(line.data() + end, line.size() - end);
        line.resize(end);
    }
    if (line.empty()) {
        std::printf("Error: password file %s is empty\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

Password::~Password() { platform::wipe(text.data(), text.size()); }

bool obtain_password(const Settings& s, bool new_archive, Password& out) {
    if (!s.password_file.empty()) return password_from_file(s.password_file, out);
    if (!platform::read_secret_line("Password: ", out.text)) {
        std::puts("Error: no terminal to ask for the password on; give it with --password-file=FILE");
        return false;
    }
    if (out.text.empty()) {
        std::puts("Error: an empty password is refused");
        return false;
    }
    if (new_archive) {
        Password again;
        if (!platform::read_secret_line("Repeat password: ", again.text) || again.text != out.text) {
            std::puts("Error: the passwords do not match; nothing written");
            return false;
        }
    }
    return true;
}

bool receive_keys(const Settings& s, SealedKeys& keys) {
    uint8_t bytes[kHandedKeyBytes];
    size_t got = 0;
    const bool ok = platform::read_handed(s.key_channel, bytes, sizeof bytes, got) && keys_from_bytes(bytes, got, keys);
    platform::wipe(bytes, sizeof bytes);
    if (!ok) std::puts("Error: this task got no keys from its parent");
    return ok;
}

std::string encrypted_without_password(const std::string& path) {
    return "Error: " + path + " is encrypted: give its password with --password or --password-file=FILE\n";
}

std::unique_ptr<OpenedArchive> open_encrypted(const Settings& s, const std::string& path, Diagnostics& diag) {
    auto opened = std::make_unique<OpenedArchive>();
    opened->file = platform::File::open(path, platform::File::Mode::read_existing);
    if (!opened->file) {
        diag.error("Error: cannot open Archive file " + path + "\n");
        return nullptr;
    }
    if (!s.encrypted()) {
        diag.error(encrypted_without_password(path));
        return nullptr;
    }
    // A plain archive, or a header that cannot be opened, is told before
    // any password is asked for.
    uint8_t head[kSealedHeaderBytes] = {};
    const size_t got = opened->file.seek(0) ? opened->file.read(head, sizeof head) : 0;
    if (const SealedStatus status = sealed_header_state(head, got); status != SealedStatus::ok) {
        diag.error(sealed_status_message(status, path));
        return nullptr;
    }
    Password password;
    if (!obtain_password(s, false, password)) return nullptr;
    const SealedStatus status = opened->sealed.open(opened->file, password.text);
    if (status != SealedStatus::ok) {
        diag.error(sealed_status_message(status, path));
        return nullptr;
    }
    opened->damaged = report_sealed_damage(opened->sealed, path, diag);
    return opened;
}

}  // namespace taq


namespace taq {

bool ArchiveBytes::open(const Settings& s, const std::string& path, Diagnostics& console) {
    diag_ = &console;
    if (!s.encrypted() && !is_sealed_archive(path)) {
        file_ = platform::File::open(path, platform::File::Mode::read_existing);
        source_ = file_;
        size_ = file_ ? file_.size() : -1;
        return true;
    }
    opened_ = open_encrypted(s, path, console);
    if (!opened_) return false;
    use_opened(console);
    return true;
}

bool ArchiveBytes::open(const std::string& path, const SealedKeys& keys, Diagnostics& console) {
    diag_ = &console;
    opened_ = std::make_unique<OpenedArchive>();
    opened_->file = platform::File::open(path, platform::File::Mode::read_existing);
    const SealedStatus status = opened_->file ? opened_->sealed.open(opened_->file, keys) : SealedStatus::failed;
    if (status != SealedStatus::ok) {
        console.error(opened_->file ? sealed_status_message(status, path) : "Error: cannot open Archive file " + path + "\n");
        opened_.reset();
        return false;
    }
    use_opened(console);
    return true;
}

void ArchiveBytes::use_opened(Diagnostics& console) {
    source_ = opened_->sealed.plain();
    size_ = static_cast<int64_t>(opened_->sealed.plain_size());
    offsets_ = std::make_unique<ContainerOffsets>(opened_->sealed, console.sink());
    own_diag_ = std::make_unique<Diagnostics>(offsets_.get());
    diag_ = own_diag_.get();
}

bool ArchiveBytes::open_whole(const Settings& s, const std::string& path, Diagnostics& console) {
    if (!open(s, path, console)) return false;
    if (size_ >= 0) return true;
    std::printf("Error: cannot open Archive file %s\n", path.c_str());
    return false;
}

bool WholeArchive::open(const Settings& s) {
    if (!lock.acquire_for_reading(s.archive_path) || !bytes.open_whole(s, s.archive_path, console_)) return false;
    index = ArchiveIndex::check(bytes.source(), size());
    return true;
}

}  // namespace taq
