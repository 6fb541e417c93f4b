// The archive a run works on, held for the whole run. A writer (`a`) locks
// it against every other run and makes sure it may append: an incomplete
// entry that an interrupted run left at the end is cut away, anything else
// that is not a sound archive is refused untouched. Readers (`x`, `t`)
// share their lock with each other, so that they never see a writer's
// half-written entries.
#pragma once

#include <cstdint>
#include <string>

#include "archive/diagnostics.h"
#include "archive/index.h"
#include "platform/platform.h"

namespace taq {

class ArchiveLock {
public:
    explicit ArchiveLock(Diagnostics& diag) : diag_(diag) {}
    ~ArchiveLock();
    ArchiveLock(const ArchiveLock&) = delete;
    ArchiveLock& operator=(const ArchiveLock&) = delete;

    // Opens the archive (created when missing), waits for other runs to let
    // go of it, and checks its end. False (error reported, nothing
    // written) when the run must not go on. With `encrypted` the archive
    // must be an encrypted one (or empty), without it a plain one; an
    // encrypted archive's end is checked once its password opened it.
    bool acquire_for_append(const std::string& path, bool encrypted = false);
    // Waits for a writer to finish. A missing archive is left to the
    // reader to report: true, holding nothing.
    bool acquire_for_reading(const std::string& path);

    // A writer whose run failed: cuts the archive back to `size`, its size
    // when the run began, and makes that durable (an archive this run
    // created, left empty, goes with the lock). False (error reported)
    // when that fails.
    bool roll_back(uint64_t size);

    bool held() const { return file_.valid(); }
    // acquire_for_append failed because the file is no sound archive.
    bool refused() const { return refused_; }
    // Whether this run created the archive.
    bool created() const { return created_; }
    // The identity of the archive (valid while held()).
    const platform::FileIdentity& identity() const { return identity_; }
    // The archive as held (open for writing after acquire_for_append).
    platform::File& file() { return file_; }
    // acquire_for_append: the entries it checked, those before a tail it
    // cut away among them.
    const ArchiveIndex& index() const { return index_; }

private:
    bool lock(platform::File::LockKind kind);

    Diagnostics& diag_;
    std::string path_;
    platform::File file_;
    platform::FileIdentity identity_;
    ArchiveIndex index_;
    bool created_ = false;
    bool refused_ = false;
};

}  // namespace taq
