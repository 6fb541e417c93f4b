// The task board: the small file through which a parent run hands jobs to
// its child processes (copies of this executable started with -p<slot>).
//
// Layout (integers little-endian):
//   1..8       status byte of slot s: 0 idle, 1 job posted, 2 stop
//   9..16      result of the slot's last job (JobResult), written by the
//              child before it sets its status back to 0
//   24..31     process id of the parent that owns the board
//   32 + (s-1) * 8   bytes of file data slot s has coded so far (64-bit),
//              written by the slot's child as it goes, read by the parent
//              for its progress line
//   256 + (s-1) * kRecordStride   job record of slot s
// Every access is a positioned read or write of the shared file, so each
// write is visible to the other processes' next read. There are no locks:
// the parent writes a record completely before it sets 1 and posts only to
// a slot that reads 0; a child reads the record only after it sees 1 and
// sets 0 only after the job is finished and its result written. A slot's
// byte count has one writer, the slot's child; a child started again for
// the slot goes on from the count its predecessor left.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/sealed.h"
#include "platform/platform.h"

namespace taq {

constexpr unsigned kMaxSlots = 8;
// How a child is told where its keys come from (see TaskBoard::hand_keys).
constexpr const char* kKeyChannelSwitch = "--key-channel=";

enum class SlotStatus : uint8_t { idle = 0, posted = 1, stop = 2 };

// How a child's job went.
enum class JobResult : uint8_t {
    ok = 0,
    partial = 1,  // a file was skipped or not written (message printed); the run goes on
    fatal = 2,    // the archive cannot be written or is damaged (message printed)
};

// Compression job: one byte range of one input file.
struct CompressJob {
    std::string path;
    uint64_t range_start = 0;
    uint64_t range_end = 0;
};

// Extraction job: decode `count` consecutive entries from the one at
// `offset` under `dest_dir`, writing the data of the k-th only when bit k
// of `selected` is set.
constexpr uint32_t kMaxBatchEntries = 64;
struct ExtractJob {
    uint64_t offset = 0;
    std::string dest_dir;
    uint64_t selected = 0;
    uint32_t count = 1;
};

// Longest path (terminating zero included) a job record can carry.
constexpr size_t kBoardPathRoom = 4096;

// Pauses between polls: from 0.1 ms, doubling up to 4 ms while nothing
// happens, so that a waiting process leaves the processors to the working
// ones and still answers within a few milliseconds.
class Backoff {
public:
    void pause();
    void reset() { us_ = kFirst; }

private:
    static constexpr unsigned kFirst = 100;
    static constexpr unsigned kLast = 4000;
    unsigned us_ = kFirst;
};

// Whether `name` (one component) is a name that a run gives its board
// (".taq-board-<pid>", maybe with "-<n>" after it), one of its part
// archives (".taq-part-<pid>-<slot>", likewise), its standard input held
// for `a archive -` (".taq-input-<pid>", likewise) or the entries it holds
// for standard output (".taq-output-<pid>", likewise); `owner` receives the
// pid.
bool is_run_file_name(const std::string& name, platform::ProcessId* owner = nullptr);

// Removes from `dir` the boards and part archives that runs which are gone
// left behind (killed, or the system went down). The run that made such a
// file holds a lock on it for as long as it lives: a file whose lock can be
// taken, and whose owner's id names no live process (which covers the
// moment between its creation and its lock), belongs to nobody.
void remove_stale_run_files(const std::string& dir);

class TaskBoard {
public:
    // The argument vector (after the program name) that starts the child of
    // a slot.
    using CommandLine = std::function<std::vector<std::string>(int slot)>;

    // Parent: creates a board of its own in `dir` (a fresh name, created
    // exclusively, so that concurrent runs never share one). Null when that
    // fails; `error` (when given) then receives the system's text.
    static std::unique_ptr<TaskBoard> create(const std::string& dir, unsigned slots, std::string* error = nullptr);
    // Child: opens the board its parent named on the command line.
    static std::unique_ptr<TaskBoard> open(const std::string& path);

    // A parent's board kills children that are still running and removes
    // the board file; a child's only closes it.
    ~TaskBoard();
    TaskBoard(const TaskBoard&) = delete;
    TaskBoard& operator=(const TaskBoard&) = delete;

    const std::string& path() const { return path_; }
    unsigned slots() const { return slots_; }
    // Where the board reports lost children and failed starts (nowhere
    // until set).
    void set_diagnostics(Diagnostics& diag) { diag_ = &diag; }

    SlotStatus read_status(int slot);
    void write_status(int slot, SlotStatus status);

    // --- child side ---
    // True when the parent that made the board is gone.
    bool orphaned();
    // The process id of the parent that made the board (0: unreadable).
    platform::ProcessId owner() {
        if (parent_ < 0) parent_ = parent_pid();
        return parent_;
    }
    bool read_compress_job(int slot, CompressJob& job);
    bool read_extract_job(int slot, ExtractJob& job);
    // Result first, then status 0.
    void finish_job(int slot, JobResult result);
    uint64_t read_coded(int slot);
    void write_coded(int slot, uint64_t bytes);

    // --- parent side ---
    void set_command_line(CommandLine command_line) { command_line_ = std::move(command_line); }
    // The keys of an encrypted archive: each child gets them through a
    // handover (see platform::Handover), never through the board or its
    // command line. Kept by reference.
    void hand_keys(const SealedKeys* keys) { keys_ = keys; }
    // Called with each job's result as it is collected.
    void set_on_result(std::function<void(int slot, JobResult)> on_result) { on_result_ = std::move(on_result); }
    // Reaps children that have ended. A child that left on its own after
    // idling is forgotten (it is started again with its slot's next job, or
    // at once when a job was posted just as it left); one that crashed, was
    // killed or failed ends the run. Also ends it on an interrupt request.
    // False (message printed) when the run must stop. Calls the poll hook
    // first.
    bool poll();
    // Runs on every poll, which every waiting loop of a parent makes (the
    // progress line is redrawn from here).
    void set_poll_hook(std::function<void()> hook) { poll_hook_ = std::move(hook); }
    // Bytes coded by all slots so far.
    uint64_t coded_total();
    // True when the slot can take a job; collects the result of the job the
    // slot has finished.
    bool idle(int slot);
    // Starts the slot's child if it is not running, writes the record and
    // sets status 1. False (message printed) when the child cannot start.
    bool post(int slot, const CompressJob& job);
    bool post(int slot, const ExtractJob& job);
    // Tells the slot's child to stop (status 2).
    void stop(int slot);
    // Kills every running child and waits for it.
    void kill_all();
    // Whether any slot still has a job of which the result is not in.
    bool any_busy() const;
    // Stops each slot as soon as it is idle (its last result collected),
    // then waits for every child to end. `on_idle` is called once per slot,
    // in the order in which the slots are found idle. False (message
    // printed) when the run had to stop.
    bool stop_all(const std::function<void(int slot)>& on_idle = {});

    // Worst result reported by any job so far, and how many jobs did not
    // end well.
    JobResult worst_result() const { return worst_; }
    uint64_t failures() const { return failures_; }
    // Whether a fatal result came in since the last call.
    bool take_fatal();

private:
    TaskBoard(platform::File file, std::string path, unsigned slots, bool owner);
    platform::ProcessId parent_pid();
    uint8_t read_byte(uint64_t offset, uint8_t fallback);
    void write_bytes(uint64_t offset, const std::vector<uint8_t>& bytes);
    bool read_record(int slot, std::vector<uint8_t>& record);
    bool ensure_child(int slot);
    bool post_record(int slot, const std::vector<uint8_t>& record);
    void note_result(JobResult r);

    platform::File file_;
    std::string path_;
    unsigned slots_ = 0;
    Diagnostics quiet_;
    Diagnostics* diag_ = &quiet_;
    bool owner_ = false;
    std::array<uint8_t, kMaxSlots + 1> mirror_{};
    platform::ProcessId parent_ = -1;  // child: the parent's id, read once
    // Parent only.
    CommandLine command_line_;
    const SealedKeys* keys_ = nullptr;
    std::function<void()> poll_hook_;
    std::function<void(int slot, JobResult)> on_result_;
    std::array<platform::ProcessId, kMaxSlots + 1> pid_{};
    std::array<bool, kMaxSlots + 1> busy_{};      // job posted, result not yet collected
    std::array<bool, kMaxSlots + 1> stopping_{};  // status 2 written
    JobResult worst_ = JobResult::ok;
    uint64_t failures_ = 0;
    bool fatal_pending_ = false;
};

}  // namespace taq
