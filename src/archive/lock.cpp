#include "archive/lock.h"

#include <cstdio>

#include "archive/paths.h"
#include "archive/walk.h"

namespace taq {

using platform::File;

ArchiveLock::~ArchiveLock() {
    // An archive that this run created and that got no entry goes again.
    if (created_ && file_.valid() && file_.size() == 0) platform::delete_file(path_);
}

bool ArchiveLock::lock(File::LockKind kind) {
    if (file_.lock(kind, false)) return true;
    std::printf("Archive %s is in use by another run; waiting for it to finish\n", path_.c_str());
    std::fflush(stdout);
    if (file_.lock(kind, true)) return true;
    std::printf("Error: cannot lock archive %s (%s)\n", path_.c_str(), file_.error().c_str());
    return false;
}

bool ArchiveLock::acquire_for_append(const std::string& path) {
    path_ = path;
    if (platform::is_directory(path)) {
        std::printf("Error: cannot open Output file %s\n", path.c_str());
        return false;
    }
    const bool existed = platform::exists(path);
    file_ = File::open(path, existed ? File::Mode::write_existing : File::Mode::open_or_create);
    if (!file_) {
        std::printf("Error: cannot open Output file %s (%s)\n", path.c_str(), file_.error().c_str());
        return false;
    }
    created_ = !existed;
    if (!lock(File::LockKind::exclusive) || !file_.identity(identity_)) {
        file_.close();
        return false;
    }
    const int64_t size = file_.size();
    if (size < 0) {
        std::printf("Error: cannot read archive %s\n", path.c_str());
        file_.close();
        return false;
    }
    const AppendCheck c = check_for_append(file_, static_cast<uint64_t>(size));
    switch (c.state) {
        case AppendCheck::clean: return true;
        case AppendCheck::incomplete:
            if (!file_.truncate(c.good_end) || !file_.sync()) {
                std::printf("Error: cannot cut back archive %s (%s)\n", path.c_str(), file_.error().c_str());
                file_.close();
                return false;
            }
            std::printf("Archive %s ended in an entry that an interrupted run left incomplete: cut back from %lld "
                        "to %llu bytes\n",
                        path.c_str(), static_cast<long long>(size), static_cast<unsigned long long>(c.good_end));
            return true;
        case AppendCheck::refused: break;
    }
    std::printf("Error: %s is not an archive that can be added to: damaged at offset %llu (%s); nothing written\n",
                path.c_str(), static_cast<unsigned long long>(c.good_end), c.why.c_str());
    file_.close();
    return false;
}

bool ArchiveLock::roll_back(uint64_t size) {
    if (!file_.valid()) return false;
    const int64_t now = file_.size();
    if (now >= 0 && static_cast<uint64_t>(now) == size) return true;
    if (file_.truncate(size) && file_.sync()) return true;
    std::printf("Error: cannot restore archive %s (%s)\n", path_.c_str(), file_.error().c_str());
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
