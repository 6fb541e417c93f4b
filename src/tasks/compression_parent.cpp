#include "tasks/compression_parent.h"


#include "archive/append.h"
#include "archive/paths.h"
#include "platform/platform.h"

namespace taq {

using platform::File;

CompressionParent::CompressionParent(TaskBoard& board, const RunOptions& options, std::string archive_path,
                                     std::string cwd, Diagnostics& diag)
    : board_(board), options_(options), archive_path_(std::move(archive_path)), cwd_(std::move(cwd)), diag_(diag) {
    archive_existed_ = platform::exists(archive_path_);
    size_before_ = platform::file_size(archive_path_);
    board_.set_diagnostics(diag_);
    board_.set_command_line([this](int slot) { return command_line(slot); });
    board_.set_on_result([this](int slot, JobResult r) { note_result(slot, r); });
}

// A child writes one entry per piece it compressed and none for a piece
// that failed, so the entries of its archive follow its successful jobs.
void CompressionParent::note_result(int slot, JobResult r) {
    const size_t file = in_flight_[slot];
    if (r == JobResult::ok) {
        written_[slot].push_back(file);
        return;
    }
    if (failed_.size() <= file) failed_.resize(file + 1, false);
    failed_[file] = true;
}

// Every piece of a file of which a piece failed leaves the part archives.
bool CompressionParent::drop_failed_files() {
    if (failed_.empty()) return true;
    for (unsigned s = 1; s <= board_.slots(); ++s) {
        std::vector<bool> keep;
        bool drop = false;
        for (const size_t file : written_[s]) {
            keep.push_back(file >= failed_.size() || !failed_[file]);
            drop = drop || !keep.back();
        }
        if (!drop) continue;
        // An encrypted part is read through its frames: the entries are
        // left out when it is joined.
        if (sealed_)
            keep_[s] = std::move(keep);
        else if (!drop_entries(diag_, part_[s], 0, keep))
            return false;
    }
    for (size_t file = 0; file < failed_.size(); ++file)
        if (failed_[file]) diag_.error(text("Error: ", files_[file], " left out of the archive: a piece of it failed\n"));
    return true;
}

CompressionParent::~CompressionParent() { remove_parts(); }

std::vector<std::string> CompressionParent::command_line(int slot) const {
    std::vector<std::string> args{"a"};
    if (options_.recurse) args.push_back("-r");
    if (options_.verbose) args.push_back("-v");
    if (options_.solid) args.push_back("-s");
    if (!options_.check_records) args.push_back("-n");
    args.push_back("-m" + std::to_string(options_.level));
    args.push_back("-p" + std::to_string(slot) + ":" + board_.path());
    args.push_back(part_[slot]);
    // Stands where the child's parser expects a file argument.
    args.push_back("x");
    return args;
}

// A part archive gets a name nobody else uses, created exclusively, so that
// no file of the user is ever written or removed. Its lock, held until the
// part is removed, tells later runs that it is not left over.
bool CompressionParent::prepare_part(int slot) {
    if (slot < 1 || !part_[slot].empty()) return true;
    std::string dir = path_prefix(archive_path_);
    if (dir.empty()) dir = cwd_ + "/";
    const std::string base =
        dir + ".taq-part-" + std::to_string(platform::own_process()) + "-" + std::to_string(slot);
    std::string error;
    for (int n = 0; n < 100; ++n) {
        const std::string name = n == 0 ? base : base + "-" + std::to_string(n);
        File f = File::open(name, File::Mode::create_new);
        if (f) {
            platform::set_hidden(name, true);
            f.lock(File::LockKind::exclusive, false);
            part_[slot] = name;
            part_lock_[slot] = std::move(f);
            return true;
        }
        error = f.error();
        if (!platform::exists(name)) break;
    }
    diag_.error(text("Error: cannot create part archive ", base, " (", error, ")\n"));
    return false;
}

bool CompressionParent::post(const CompressJob& job) {
    Backoff backoff;
    for (;;) {
        if (!board_.poll() || board_.take_fatal()) return false;
        for (unsigned s = 1; s <= board_.slots(); ++s) {
            const int slot = static_cast<int>(s);
            if (!board_.idle(slot)) continue;
            in_flight_[slot] = files_.empty() ? 0 : files_.size() - 1;
            return prepare_part(slot) && board_.post(slot, job);
        }
        backoff.pause();
    }
}

bool CompressionParent::finish(uint64_t& final_size) {
    diag_.info(" close task's active \n");
    diag_.flush();
    std::vector<int> order;
    if (!board_.stop_all([&](int slot) { order.push_back(slot); })) return false;
    if (board_.take_fatal()) return false;
    // Every child has ended: no part archive is written any more.
    if (!drop_failed_files()) return false;
    const std::string& archive = archive_path_;
    // Slot 1's entries go first, then the other slots' in the order they
    // were found idle (the order archives have always had).
    std::erase(order, 1);
    order.insert(order.begin(), 1);
    for (int slot : order) {
        if (part_[slot].empty()) continue;
        const uint64_t size = platform::file_size(part_[slot]);
        if (sealed_) {
            if (size > 0 && !append_sealed(diag_, part_[slot], *sealed_, archive, keep_[slot])) return false;
        } else if (size > 0) {
            if (!platform::exists(archive)) {
                File created = File::open(archive, File::Mode::create_new);
                if (!created) {
                    diag_.error(text("Error: cannot open Output file ", archive, " (", created.error(), ")\n"));
                    return false;
                }
            }
            if (!append_file(diag_, part_[slot], archive)) return false;
        }
        part_lock_[slot].close();
        remove_file(part_[slot]);
        part_[slot].clear();
    }
    // Every joined entry reaches the disk before the run reports success.
    if (sealed_ && !sealed_->sync()) {
        diag_.error(text("Error: cannot write Output file ", archive, " (", sealed_->error(), ")\n"));
        return false;
    }
    File joined = sealed_ ? File() : File::open(archive, File::Mode::write_existing);
    if (joined && !joined.sync()) {
        diag_.error(text("Error: cannot write Output file ", archive, " (", joined.error(), ")\n"));
        return false;
    }
    final_size = platform::file_size(archive);
    return true;
}

void CompressionParent::abort() {
    board_.kill_all();
    remove_parts();
    const std::string& archive = archive_path_;
    if (!archive_existed_) {
        remove_file(archive);
    } else if (platform::file_size(archive) != size_before_) {
        File f = File::open(archive, File::Mode::write_existing);
        if (!f || !f.truncate(size_before_))
            diag_.error(text("Error: cannot restore archive ", archive, " (", f.error(), ")\n"));
    }
    diag_.flush();
}

void CompressionParent::remove_parts() {
    for (size_t s = 0; s < part_.size(); ++s) {
        part_lock_[s].close();
        if (part_[s].empty()) continue;
        remove_file(part_[s]);
        part_[s].clear();
    }
}

}  // namespace taq
