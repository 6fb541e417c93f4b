// What `u` stores: of the files that the arguments name, those that are new
// or changed since the newest version of them in the archive, and which of
// the stored paths under the arguments are gone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/paths.h"
#include "archive/source.h"
#include "archive/versions.h"

namespace taq {

// The stored path that the archiver gives the file at `path` (as the
// enumeration lists it): its stored directory and name, with repeated
// separators collapsed when `recurse`.
std::string stored_path_of(const std::string& path, bool recurse);

struct UpdateChoice {
    FileList to_add;             // new or changed files, in list order
    std::vector<bool> is_new;    // for each of to_add: no version holds it now
    uint64_t unchanged = 0;
    std::vector<std::string> deleted;  // stored paths under the arguments whose files are gone
};

struct UpdateRequest {
    const std::vector<std::string>* args = nullptr;  // the file arguments, as build_file_list took them
    bool recurse = false;
    // Also compare the contents with the stored hashes (one read of every
    // file that looks unchanged).
    bool content = false;
};

// A file is unchanged when the newest version of its stored path stores it
// (not deleted) and that version's record gives the size, modification time
// (compared for equality: a time that went back is a change) and permission
// bits that the enumeration saw; with `content`, when its pieces also cover
// the file and hash as recorded. A stored path counts as deleted when it is
// under an argument (it would be enumerated by it), the run did not list it,
// and nothing is there any more (or a directory is): a file that exists but
// could not be read or listed is never taken for deleted.
UpdateChoice choose_updates(const FileList& list, const UpdateRequest& request, const VersionHistory& history,
                            const ArchiveIndex& index);

}  // namespace taq
