#include "archive/lock.h"

#include "archive/paths.h"
#include "archive/sealed.h"
#include "archive/walk.h"

namespace taq {

using platform::File;

ArchiveLock::~ArchiveLock() {
    // An archive that this run created and that got no entry goes again.
    if (created_ && file_.valid() && file_.size() == 0) platform::delete_file(path_);
}

bool ArchiveLock::lock(File::LockKind kind) {
    if (file_.lock(kind, false)) return true;
    diag_.info(text("Archive ", path_, " is in use by another run; waiting for it to finish\n"));
    diag_.flush();
    if (file_.lock(kind, true)) return true;
    diag_.error(text("Error: cannot lock archive ", path_, " (", file_.error(), ")\n"));
    return false;
}

bool ArchiveLock::acquire_for_append(const std::string& path, bool encrypted) {
    path_ = path;
    if (platform::is_directory(path)) {
        diag_.error(text("Error: cannot open Output file ", path, "\n"));
        return false;
    }
    const bool existed = platform::exists(path);
    file_ = File::open(path, existed ? File::Mode::write_existing : File::Mode::open_or_create);
    if (!file_) {
        diag_.error(text("Error: cannot open Output file ", path, " (", file_.error(), ")\n"));
        return false;
    }
    created_ = !existed;
    if (!lock(File::LockKind::exclusive) || !file_.identity(identity_)) {
        file_.close();
        return false;
    }
    const int64_t size = file_.size();
    if (size < 0) {
        diag_.error(text("Error: cannot read archive ", path, "\n"));
        file_.close();
        return false;
    }
    // Never a plain archive made partly encrypted, nor the other way round.
    uint8_t head[8] = {};
    const bool sealed = size > 0 && file_.seek(0) && file_.read(head, sizeof head) == sizeof head &&
                        sealed_magic(head, sizeof head);
    if (size > 0 && sealed != encrypted) {
        refused_ = true;
        diag_.error(sealed ? text("Error: ", path,
                                  " is encrypted: give its password with --password or --password-file=FILE; "
                                  "nothing written\n")
                           : text("Error: ", path, " is not encrypted: a run with a password adds only to an "
                                  "encrypted archive; nothing written\n"));
        file_.close();
        return false;
    }
    if (encrypted) return true;
    const AppendCheck c = check_for_append(file_, static_cast<uint64_t>(size), &index_);
    switch (c.state) {
        case AppendCheck::clean: return true;
        case AppendCheck::incomplete:
            if (!file_.truncate(c.good_end) || !file_.sync()) {
                diag_.error(text("Error: cannot cut back archive ", path, " (", file_.error(), ")\n"));
                file_.close();
                return false;
            }
            diag_.info(text("Archive ", path, " ended in an entry that an interrupted run left incomplete: cut back from ",
                            size, " to ", c.good_end, " bytes\n"));
            return true;
        case AppendCheck::refused: break;
    }
    refused_ = true;
    diag_.error(text("Error: ", path, " is not an archive that can be added to: damaged at offset ", c.good_end, " (",
                     c.why, "); nothing written\n"));
    file_.close();
    return false;
}

bool ArchiveLock::roll_back(uint64_t size) {
    if (!file_.valid()) return false;
    const int64_t now = file_.size();
    if (now >= 0 && static_cast<uint64_t>(now) == size) return true;
    if (file_.truncate(size) && file_.sync()) return true;
    diag_.error(text("Error: cannot restore archive ", path_, " (", file_.error(), ")\n"));
    return false;
}

bool ArchiveLock::acquire_for_reading(const std::string& path) {
    path_ = path;
    file_ = File::open(path, File::Mode::read_existing);
    if (!file_) return true;
    if (!lock(File::LockKind::shared) || !file_.identity(identity_)) {
        file_.close();
        return false;
    }
    return true;
}

}  // namespace taq
