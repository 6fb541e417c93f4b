// The parent side of a multi-task `a` run: hands pieces of files to the
// children, then stops them and joins their part archives to the archive.
// Slot 1 writes the archive itself; slots 2..8 each write a part archive of
// their own, a fresh file next to the archive that is removed again at the
// end of the run, also after a failure.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/settings.h"
#include "tasks/board.h"

namespace taq {

class CompressionParent {
public:
    // The archive path and the switches come from `settings`; the archive's
    // size before the run is taken now.
    CompressionParent(TaskBoard& board, const Settings& settings);
    ~CompressionParent();
    CompressionParent(const CompressionParent&) = delete;
    CompressionParent& operator=(const CompressionParent&) = delete;

    // Posts one piece to the first idle slot in slot order, starting the
    // slot's child on first use. False (message printed) when the run must
    // stop: a child is lost, could not start, or cannot write its archive.
    bool post(const CompressJob& job);

    // End of the run: stops every child once it is idle, then appends the
    // part archives in the order their slots were found idle. `final_size`
    // receives the archive's size after the run. False (message printed)
    // when the run failed; call abort() then.
    bool finish(uint64_t& final_size);

    // Kills the children, removes the part archives and puts the archive
    // back as it was before the run.
    void abort();

    // The argument vector that starts the child of a slot.
    std::vector<std::string> command_line(int slot) const;

private:
    bool prepare_part(int slot);
    void remove_parts();

    TaskBoard& board_;
    const Settings& settings_;
    bool archive_existed_ = false;
    uint64_t size_before_ = 0;
    std::array<std::string, kMaxSlots + 1> part_;
};

}  // namespace taq
