#include "tasks/compression_parent.h"

#include <cstdio>

#include "archive/append.h"
#include "archive/paths.h"
#include "platform/platform.h"

namespace taq {

using platform::File;

CompressionParent::CompressionParent(TaskBoard& board, const Settings& settings)
    : board_(board), settings_(settings) {
    archive_existed_ = platform::exists(settings.archive_path);
    size_before_ = platform::file_size(settings.archive_path);
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
        if (!drop_entries(part_[s], 0, keep)) return false;
    }
    for (size_t file = 0; file < failed_.size(); ++file)
        if (failed_[file]) std::printf("Error: %s left out of the archive: a piece of it failed\n", files_[file].c_str());
    return true;
}

CompressionParent::~CompressionParent() { remove_parts(); }

std::vector<std::string> CompressionParent::command_line(int slot) const {
    std::vector<std::string> args{"a"};
    if (settings_.recurse) args.push_back("-r");
    if (settings_.verbose) args.push_back("-v");
    if (settings_.solid) args.push_back("-s");
    if (!settings_.check_record) args.push_back("-n");
    args.push_back("-m" + std::to_string(settings_.method_level));
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
    std::string dir = path_prefix(settings_.archive_path);
    if (dir.empty()) dir = settings_.cwd + "/";
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
    std::printf("Error: cannot create part archive %s (%s)\n", base.c_str(), error.c_str());
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
    std::puts(" close task's active ");
    std::fflush(stdout);
    std::vector<int> order;
    if (!board_.stop_all([&](int slot) { order.push_back(slot); })) return false;
    if (board_.take_fatal()) return false;
    // Every child has ended: no part archive is written any more.
    if (!drop_failed_files()) return false;
    const std::string& archive = settings_.archive_path;
    // Slot 1's entries go first, then the other slots' in the order they
    // were found idle (the order archives have always had).
    std::erase(order, 1);
    order.insert(order.begin(), 1);
    for (int slot : order) {
        if (part_[slot].empty()) continue;
        const uint64_t size = platform::file_size(part_[slot]);
        if (size > 0) {
            if (!platform::exists(archive)) {
                File created = File::open(archive, File::Mode::create_new);
                if (!created) {
                    std::printf("Error: cannot open Output file %s (%s)\n", archive.c_str(), created.error().c_str());
                    return false;
                }
            }
            if (!append_file(part_[slot], archive)) return false;
        }
        part_lock_[slot].close();
        remove_file(part_[slot]);
        part_[slot].clear();
    }
    // Every joined entry reaches the disk before the run reports success.
    File joined = File::open(archive, File::Mode::write_existing);
    if (joined && !joined.sync()) {
        std::printf("Error: cannot write Output file %s (%s)\n", archive.c_str(), joined.error().c_str());
        return false;
    }
    final_size = platform::file_size(archive);
    return true;
}

void CompressionParent::abort() {
    board_.kill_all();
    remove_parts();
    const std::string& archive = settings_.archive_path;
    if (!archive_existed_) {
        remove_file(archive);
    } else if (platform::file_size(archive) != size_before_) {
        File f = File::open(archive, File::Mode::write_existing);
        if (!f || !f.truncate(size_before_))
            std::printf("Error: cannot restore archive %s (%s)\n", archive.c_str(), f.error().c_str());
    }
    std::fflush(stdout);
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
