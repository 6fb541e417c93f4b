// Joining archives: a part archive is appended byte for byte to the end of
// another archive (the format is a plain sequence of entries).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/diagnostics.h"

namespace taq {

constexpr size_t kAppendChunk = 1048576;
// An entry's size field, written last.
constexpr size_t kHeldBytes = 8;

// Appends the whole of `source` to the end of `destination` (which must
// exist) in chunks of kAppendChunk bytes. The size field of every entry of
// the source is written as zeros and set, in order, only once the rest is
// on the disk: a crash in between leaves complete entries followed by
// incomplete ones at the end, which the next run cuts away, never a
// complete-looking entry with data missing, nor a complete one after an
// incomplete one. Every failure reports its message and returns
// false; a failed copy leaves `destination` at its old length.
bool append_file(Diagnostics& diag, const std::string& source, const std::string& destination);

class SealedWriter;

// The same for an encrypted part archive (sealed with the keys of `dst`,
// the archive at `destination`): the plain archive inside it goes to the
// end of `dst`, each entry in
// frames of its own, the size fields held back as above. Only the entries
// whose flag in `keep` is true go (all when `keep` is empty), refused as
// drop_entries refuses. A failed copy leaves `dst` at its old length.
bool append_sealed(Diagnostics& diag, const std::string& source, SealedWriter& dst, const std::string& destination,
                   const std::vector<bool>& keep);

// Removes from the archive at `path` the entries from offset `start` on
// whose flag in `keep` is false (keep[k] belongs to the k-th entry from
// `start`), moving the later ones down. Refused, with a message and false,
// when there are not exactly keep.size() entries from `start`, or when a
// kept entry goes on with the model of a removed one (it could no longer be
// decoded). A failed copy may leave the entries from `start` unusable.
bool drop_entries(Diagnostics& diag, const std::string& path, uint64_t start, const std::vector<bool>& keep);

}  // namespace taq
