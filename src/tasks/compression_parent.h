// The parent side of a multi-task `a` run: hands pieces of files to the
// children, then stops them and joins their part archives to the archive.
// Every slot writes a part archive of its own, a fresh file next to the
// archive that is removed again at the end of the run, also after a
// failure: the archive itself gets only the entries of a run that ended
// well, so a parent that dies (killed, a crash) leaves it as it was.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/options.h"
#include "tasks/board.h"

namespace taq {

class CompressionParent {
public:
    // The archive's size before the run is taken now. `cwd` is where a
    // relative archive path leads.
    CompressionParent(TaskBoard& board, const RunOptions& options, std::string archive_path, std::string cwd,
                      Diagnostics& diag);
    ~CompressionParent();
    CompressionParent(const CompressionParent&) = delete;
    CompressionParent& operator=(const CompressionParent&) = delete;

    // The pieces posted from now on belong to the file at `path`.
    void begin_file(const std::string& path) { files_.push_back(path); }

    // Posts one piece (of the file of the last begin_file) to the first idle
    // slot in slot order, starting the slot's child on first use. False
    // (error reported) when the run must stop: a child is lost, could not
    // start, or cannot write its archive.
    bool post(const CompressJob& job);

    // End of the run: stops every child once it is idle, takes every piece
    // of a file of which any piece failed out of the archive and the part
    // archives, then appends the part archives in the order their slots were
    // found idle. `final_size` receives the archive's size after the run.
    // False (error reported) when the run failed; call abort() then.
    bool finish(uint64_t& final_size);

    // Kills the children, removes the part archives and sets the archive
    // back as it was before the run.
    void abort();

    // The argument vector that starts the child of a slot.
    std::vector<std::string> command_line(int slot) const;

    // An encrypted archive, written through `archive`: the children get its
    // keys (see TaskBoard::hand_keys) and write encrypted part archives,
    // whose entries are sealed anew into it at the end. Before any post.
    void use_sealed(SealedWriter& archive) {
        sealed_ = &archive;
        board_.hand_keys(&archive.keys());
    }

private:
    bool prepare_part(int slot);
    void remove_parts();
    void note_result(int slot, JobResult r);
    bool drop_failed_files();

    TaskBoard& board_;
    RunOptions options_;
    std::string archive_path_;
    std::string cwd_;
    Diagnostics& diag_;
    bool archive_existed_ = false;
    uint64_t size_before_ = 0;
    std::array<std::string, kMaxSlots + 1> part_;
    std::array<platform::File, kMaxSlots + 1> part_lock_;
    // Files by the order of begin_file; per slot the file of the job in
    // flight and the files of its written entries, in the order written.
    std::vector<std::string> files_;
    std::array<size_t, kMaxSlots + 1> in_flight_{};
    std::array<std::vector<size_t>, kMaxSlots + 1> written_;
    std::vector<bool> failed_;
    SealedWriter* sealed_ = nullptr;
    // Encrypted parts: which of each part's entries go into the archive
    // (empty: all of them).
    std::array<std::vector<bool>, kMaxSlots + 1> keep_;
};

}  // namespace taq
