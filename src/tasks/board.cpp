#include "tasks/board.h"

#include <algorithm>

#include "archive/bytes.h"
#include "archive/paths.h"
#include "platform/crypto.h"

namespace taq {

namespace {

using platform::File;

constexpr uint64_t kResultBase = 8;  // result of slot s at 8 + s
constexpr uint64_t kParentPidAt = 24;
constexpr uint64_t kCodedBase = 32;  // byte count of slot s at 32 + (s - 1) * 8
constexpr uint64_t kRecordBase = 256;
// Room for the larger of the two records: the length and the path, with
// compression's two 8-byte offsets, or extraction's 8-byte offset, entry
// count and 8-byte selection.
constexpr uint64_t kRecordStride = 8 + 4 + kBoardPathRoom + 16 + 1;
// How long stopped children get to end before they are killed.
constexpr uint64_t kStopGraceMs = 10000;

uint64_t record_offset(int slot) { return kRecordBase + static_cast<uint64_t>(slot - 1) * kRecordStride; }

void put_path(std::vector<uint8_t>& out, const std::string& path) {
    put_le(out, path.size() + 1, 4);
    out.insert(out.end(), path.begin(), path.end());
    out.push_back(0);
}

// Reads the length-prefixed path at `at`; false when it does not fit.
bool get_path(const std::vector<uint8_t>& rec, size_t& at, std::string& path) {
    if (at + 4 > rec.size()) return false;
    const uint64_t len = get_le(rec.data() + at, 4);
    at += 4;
    if (len == 0 || len > kBoardPathRoom || at + len > rec.size() || rec[at + len - 1] != 0) return false;
    path.assign(reinterpret_cast<const char*>(rec.data() + at), static_cast<size_t>(len - 1));
    at += static_cast<size_t>(len);
    return true;
}

}  // namespace

namespace {

// Digits from `at` to the next '-' or the end; false when there are none.
bool take_number(const std::string& s, size_t& at, uint64_t& value) {
    const size_t start = at;
    value = 0;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9' && at - start < 18) value = value * 10 + (s[at++] - '0');
    return at > start && (at == s.size() || s[at] == '-');
}

}  // namespace

bool is_run_file_name(const std::string& name, platform::ProcessId* owner) {
    static const std::string kBoard = ".taq-board-", kPart = ".taq-part-", kInput = ".taq-input-",
                             kOutput = ".taq-output-";
    // A board, a held standard input and an archive held for standard
    // output: the pid; a part archive: the pid and its slot; then maybe the
    // number of a retry.
    size_t at = 0;
    bool board = true;
    for (const std::string* prefix : {&kBoard, &kInput, &kOutput})
        if (name.rfind(*prefix, 0) == 0) at = prefix->size();
    if (at == 0) {
        if (name.rfind(kPart, 0) != 0) return false;
        at = kPart.size();
        board = false;
    }
    std::vector<uint64_t> numbers;
    for (;; ++at) {
        uint64_t n = 0;
        if (!take_number(name, at, n)) return false;
        numbers.push_back(n);
        if (at == name.size()) break;
    }
    const size_t least = board ? 1 : 2;
    if (numbers.size() < least || numbers.size() > least + 1) return false;
    if (owner) *owner = static_cast<platform::ProcessId>(numbers[0]);
    return true;
}

void remove_stale_run_files(const std::string& dir) {
    std::vector<platform::DirEntry> entries;
    if (!platform::list_directory(dir, entries)) return;
    const std::string prefix = dir.empty() || is_separator(dir.back()) ? dir : dir + "/";
    for (const platform::DirEntry& e : entries) {
        platform::ProcessId owner = 0;
        if (!e.is_file || !is_run_file_name(e.name, &owner) || platform::process_alive(owner)) continue;
        const std::string path = prefix + e.name;
        File f = File::open(path, File::Mode::read_existing);
        if (!f || !f.lock(File::LockKind::exclusive, false)) continue;
        // Closed first: some systems remove no file that is open.
        f.close();
        platform::delete_file(path);
    }
}

void Backoff::pause() {
    platform::sleep_us(us_);
    us_ = std::min(us_ * 2, kLast);
}

TaskBoard::TaskBoard(File file, std::string path, unsigned slots, bool owner)
    : file_(std::move(file)), path_(std::move(path)), slots_(std::min(slots, kMaxSlots)), owner_(owner) {}

std::unique_ptr<TaskBoard> TaskBoard::create(const std::string& dir, unsigned slots, std::string* error) {
    const auto pid = platform::own_process();
    const std::string base = dir + "/.taq-board-" + std::to_string(pid);
    for (int n = 0; n < 100; ++n) {
        const std::string name = n == 0 ? base : base + "-" + std::to_string(n);
        File f = File::open(name, File::Mode::create_new);
        if (!f) {
            if (platform::exists(name)) continue;  // left over by someone else: never reuse it
            if (error) *error = f.error();
            return nullptr;
        }
        platform::set_hidden(name, true);
        // Held for the board's life: remove_stale_run_files leaves it alone.
        f.lock(File::LockKind::exclusive, false);
        std::unique_ptr<TaskBoard> board(new TaskBoard(std::move(f), name, slots, true));
        std::vector<uint8_t> head;
        put_le(head, static_cast<uint64_t>(pid), 8);
        board->write_bytes(kParentPidAt, head);
        return board;
    }
    return nullptr;
}

std::unique_ptr<TaskBoard> TaskBoard::open(const std::string& path) {
    File f = File::open(path, File::Mode::write_existing);
    if (!f) return nullptr;
    return std::unique_ptr<TaskBoard>(new TaskBoard(std::move(f), path, kMaxSlots, false));
}

TaskBoard::~TaskBoard() {
    if (!owner_) return;
    kill_all();
    file_.close();
    remove_file(path_);
}

uint8_t TaskBoard::read_byte(uint64_t offset, uint8_t fallback) {
    uint8_t b = 0;
    // A byte beyond the end of the board reads as nothing.
    if (file_.seek(offset) && file_.read(&b, 1) == 1) return b;
    return fallback;
}

void TaskBoard::write_bytes(uint64_t offset, const std::vector<uint8_t>& bytes) {
    if (file_.seek(offset)) file_.write(bytes.data(), bytes.size());
}

SlotStatus TaskBoard::read_status(int slot) {
    mirror_[slot] = read_byte(static_cast<uint64_t>(slot), mirror_[slot]);
    return static_cast<SlotStatus>(mirror_[slot]);
}

void TaskBoard::write_status(int slot, SlotStatus status) {
    mirror_[slot] = static_cast<uint8_t>(status);
    write_bytes(static_cast<uint64_t>(slot), {mirror_[slot]});
}

platform::ProcessId TaskBoard::parent_pid() {
    uint8_t b[8] = {};
    if (!file_.seek(kParentPidAt) || file_.read(b, 8) != 8) return 0;
    return static_cast<platform::ProcessId>(get_le(b, 8));
}

bool TaskBoard::orphaned() {
    if (parent_ < 0) parent_ = parent_pid();
    return parent_ <= 0 || platform::parent_process() != parent_;
}

bool TaskBoard::read_record(int slot, std::vector<uint8_t>& record) {
    record.assign(kRecordStride, 0);
    if (!file_.seek(record_offset(slot))) return false;
    record.resize(file_.read(record.data(), record.size()));
    return true;
}

bool TaskBoard::read_compress_job(int slot, CompressJob& job) {
    std::vector<uint8_t> rec;
    size_t at = 0;
    if (!read_record(slot, rec) || !get_path(rec, at, job.path) || at + 16 > rec.size()) return false;
    job.range_start = get_le(rec.data() + at, 8);
    job.range_end = get_le(rec.data() + at + 8, 8);
    return job.range_start <= job.range_end;
}

bool TaskBoard::read_extract_job(int slot, ExtractJob& job) {
    std::vector<uint8_t> rec;
    if (!read_record(slot, rec) || rec.size() < 8) return false;
    job.offset = get_le(rec.data(), 8);
    size_t at = 8;
    if (!get_path(rec, at, job.dest_dir) || at + 9 > rec.size()) return false;
    job.count = rec[at];
    job.selected = get_le(rec.data() + at + 1, 8);
    return job.count >= 1 && job.count <= kMaxBatchEntries;
}

void TaskBoard::finish_job(int slot, JobResult result) {
    write_bytes(kResultBase + static_cast<uint64_t>(slot), {static_cast<uint8_t>(result)});
    write_status(slot, SlotStatus::idle);
}

uint64_t TaskBoard::read_coded(int slot) {
    uint8_t b[8] = {};
    if (!file_.seek(kCodedBase + static_cast<uint64_t>(slot - 1) * 8) || file_.read(b, 8) != 8) return 0;
    return get_le(b, 8);
}

void TaskBoard::write_coded(int slot, uint64_t bytes) {
    std::vector<uint8_t> b;
    put_le(b, bytes, 8);
    write_bytes(kCodedBase + static_cast<uint64_t>(slot - 1) * 8, b);
}

uint64_t TaskBoard::coded_total() {
    uint8_t b[kMaxSlots * 8] = {};
    if (!file_.seek(kCodedBase)) return 0;
    const size_t got = file_.read(b, slots_ * 8);
    uint64_t sum = 0;
    for (size_t at = 0; at + 8 <= got; at += 8) sum += get_le(b + at, 8);
    return sum;
}

bool TaskBoard::ensure_child(int slot) {
    if (pid_[slot] > 0) return true;
    // A new child must not find the stop its predecessor was given.
    if (read_status(slot) == SlotStatus::stop) write_status(slot, SlotStatus::idle);
    diag_->flush();
    // A start can fail for a moment when the system is short of something
    // (processes, memory): tried three times before the run gives up.
    platform::ProcessId pid = -1;
    uint8_t keys[kHandedKeyBytes];
    if (keys_) keys_to_bytes(*keys_, keys);
    const platform::Handover handover{keys, sizeof keys, kKeyChannelSwitch};
    for (unsigned attempt = 0; command_line_ && pid <= 0 && attempt < 3; ++attempt) {
        if (attempt > 0) platform::sleep_ms(50 * attempt);
        pid = keys_ ? platform::spawn_self(command_line_(slot), handover) : platform::spawn_self(command_line_(slot));
    }
    platform::wipe(keys, sizeof keys);
    if (pid <= 0) {
        diag_->error(text("Error: cannot start task ", slot, "\n"));
        return false;
    }
    pid_[slot] = pid;
    stopping_[slot] = false;
    return true;
}

bool TaskBoard::post_record(int slot, const std::vector<uint8_t>& record) {
    if (!ensure_child(slot)) return false;
    write_bytes(record_offset(slot), record);
    busy_[slot] = true;
    write_status(slot, SlotStatus::posted);
    return true;
}

bool TaskBoard::post(int slot, const CompressJob& job) {
    std::vector<uint8_t> rec;
    put_path(rec, job.path);
    put_le(rec, job.range_start, 8);
    put_le(rec, job.range_end, 8);
    return post_record(slot, rec);
}

bool TaskBoard::post(int slot, const ExtractJob& job) {
    std::vector<uint8_t> rec;
    put_le(rec, job.offset, 8);
    put_path(rec, job.dest_dir);
    rec.push_back(static_cast<uint8_t>(job.count));
    put_le(rec, job.selected, 8);
    return post_record(slot, rec);
}

void TaskBoard::note_result(JobResult r) {
    if (r == JobResult::fatal) fatal_pending_ = true;
    if (r != JobResult::ok) ++failures_;
    worst_ = std::max(worst_, r);
}

bool TaskBoard::take_fatal() {
    const bool r = fatal_pending_;
    fatal_pending_ = false;
    return r;
}

bool TaskBoard::idle(int slot) {
    if (read_status(slot) != SlotStatus::idle) return false;
    if (busy_[slot]) {
        busy_[slot] = false;
        const uint8_t byte = read_byte(kResultBase + static_cast<uint64_t>(slot), 0);
        const JobResult r = byte <= static_cast<uint8_t>(JobResult::fatal) ? static_cast<JobResult>(byte) : JobResult::fatal;
        note_result(r);
        if (on_result_) on_result_(slot, r);
    }
    return true;
}

bool TaskBoard::any_busy() const {
    for (unsigned s = 1; s <= slots_; ++s)
        if (busy_[s]) return true;
    return false;
}

void TaskBoard::stop(int slot) {
    stopping_[slot] = true;
    write_status(slot, SlotStatus::stop);
}

bool TaskBoard::poll() {
    if (poll_hook_) poll_hook_();
    if (platform::interrupted()) {
        diag_->error("Error: interrupted\n");
        return false;
    }
    for (unsigned s = 1; s <= slots_; ++s) {
        if (pid_[s] <= 0) continue;
        int code = 0;
        const platform::ChildState state = platform::poll_child(pid_[s], &code);
        if (state == platform::ChildState::running) continue;
        pid_[s] = 0;
        if (state == platform::ChildState::exited && code == 0) {
            if (stopping_[s]) continue;
            // It left after idling; a job posted just as it left still
            // needs a child.
            if (read_status(static_cast<int>(s)) == SlotStatus::posted && !ensure_child(static_cast<int>(s)))
                return false;
            continue;
        }
        if (state == platform::ChildState::exited)
            diag_->error(text("Error: task ", s, " ended unexpectedly (exit code ", code, ")\n"));
        else
            diag_->error(text("Error: task ", s, " ended unexpectedly (killed)\n"));
        return false;
    }
    return true;
}

void TaskBoard::kill_all() {
    for (unsigned s = 1; s <= slots_; ++s) {
        if (pid_[s] <= 0) continue;
        platform::kill_child(pid_[s]);
        platform::wait_child(pid_[s]);
        pid_[s] = 0;
    }
}

bool TaskBoard::stop_all(const std::function<void(int slot)>& on_idle) {
    std::array<bool, kMaxSlots + 1> stopped{};
    Backoff backoff;
    for (;;) {
        if (!poll()) return false;
        bool all = true;
        bool progress = false;
        for (unsigned s = 1; s <= slots_; ++s) {
            if (stopped[s] || stopping_[s]) {
                stopped[s] = true;
                continue;
            }
            if (!idle(static_cast<int>(s))) {
                all = false;
                continue;
            }
            stop(static_cast<int>(s));
            stopped[s] = true;
            progress = true;
            if (on_idle) on_idle(static_cast<int>(s));
        }
        if (all) break;
        if (progress)
            backoff.reset();
        else
            backoff.pause();
    }
    const uint64_t deadline = platform::monotonic_ms() + kStopGraceMs;
    for (;;) {
        if (!poll()) return false;
        bool running = false;
        for (unsigned s = 1; s <= slots_; ++s) running = running || pid_[s] > 0;
        if (!running) return true;
        if (platform::monotonic_ms() > deadline) {
            diag_->error("Error: tasks did not stop\n");
            return false;
        }
        backoff.pause();
    }
}

}  // namespace taq
