// Joining archives: a part archive is appended byte for byte to the end of
// another archive (the format is a plain sequence of entries).
#pragma once

#include <cstddef>
#include <string>

namespace taq {

constexpr size_t kAppendChunk = 1048576;

// Appends the whole of `source` to the end of `destination` (which must
// exist) in chunks of kAppendChunk bytes. Every failure prints its message
// and returns false; a failed copy leaves `destination` at its old length.
bool append_file(const std::string& source, const std::string& destination);

}  // namespace taq
