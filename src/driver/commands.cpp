#include "driver/commands.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

#include "archive/index.h"
#include "archive/listing.h"
#include "archive/lock.h"
#include "archive/meter.h"
#include "archive/paths.h"
#include "archive/sealed.h"
#include "archive/walk.h"
#include "compress/compress.h"
#include "driver/encrypted.h"
#include "driver/messages.h"
#include "driver/progress.h"
#include "driver/switches.h"
#include "driver/versions.h"
#include "extract/extract.h"
#include "extract/forward.h"
#include "extract/plan.h"
#include "extract/stream.h"
#include "platform/platform.h"
#include "tasks/board.h"
#include "tasks/child.h"
#include "tasks/compression_parent.h"
#include "tasks/extraction_parent.h"
#include "tasks/file_driver.h"

namespace taq {

namespace {

// The command line's sink: every message of the core, as it stands, on
// standard output (through the stream that the progress line clears).
class ConsoleSink final : public DiagnosticSink {
public:
    void message(Severity, const std::string& text) override { std::fputs(text.c_str(), stdout); }
    void flush() override { std::fflush(stdout); }
};

}  // namespace

// One run per process: its messages go to the console.
Diagnostics& console() {
    static ConsoleSink sink;
    static Diagnostics diag(&sink);
    return diag;
}

bool check_path(const std::string& path) {
    if (platform::path_length_ok(path)) return true;
    std::printf("Error: path too long %s\n", path.c_str());
    return false;
}

namespace {

int usage_exit() {
    print_banner();
    print_usage();
    return 1;
}

bool ends_with_separator(const std::string& s) { return !s.empty() && is_separator(s.back()); }

// The common start of `a` and `x`: switches, a child's board (made by its
// parent; without it there is nothing to do), and the archive argument
// (args[next]). Returns -1 to go on, else the exit code.
int begin_command(Command command, const std::vector<std::string>& args, Settings& s,
                  std::unique_ptr<TaskBoard>& board, size_t& next) {
    if (parse_switches(command, args, 2, s, &next) != SwitchOutcome::ok) {
        print_unknown_option();
        return 1;
    }
    // Keys come only to a task, from its parent.
    if (!s.key_channel.empty() && s.run_mode != RunMode::child) {
        print_unknown_option();
        return 1;
    }
    if (s.run_mode == RunMode::child) {
        if (!(board = TaskBoard::open(s.board_path))) return 1;
        board->set_diagnostics(console());
        // A child ends with its parent; one whose parent went before this
        // took effect ends now.
        platform::end_with_parent();
        if (board->orphaned()) return 1;
    }
    if (next >= args.size()) return usage_exit();
    // A switch after the archive would be taken for a name (and, in `x`,
    // make a directory of it). A child's arguments are the parent's own.
    if (s.run_mode != RunMode::child) {
        for (size_t i = next + 1; i < args.size(); ++i) {
            if (is_switch(command, args[i])) {
                std::printf("switches go before the archive: %s\n", args[i].c_str());
                return 1;
            }
        }
    }
    return -1;
}

// Where a parent's board goes: the current directory, or where the run can
// write when it cannot (the archive's directory, then the temporary
// directory).
std::vector<std::string> board_directories(const Settings& s) {
    std::vector<std::string> dirs{s.cwd};
    std::string archive_dir = path_prefix(s.archive_path);
    while (archive_dir.size() > 1 && ends_with_separator(archive_dir)) archive_dir.pop_back();
    if (!archive_dir.empty()) dirs.push_back(archive_dir);
    dirs.push_back(platform::temp_directory());
    return dirs;
}

// Boards and part archives (which lie next to the archive, one of the
// board's places) that runs killed earlier left where this run puts its
// own.
void remove_leftovers(const Settings& s) {
    for (const std::string& dir : board_directories(s)) remove_stale_run_files(dir);
}

// A parent's board, in the first of board_directories that takes it. Null
// (message printed) when it can be made nowhere. From here on an interrupt
// stops the children and cleans up instead of ending the parent at once.
std::unique_ptr<TaskBoard> create_parent_board(const Settings& s) {
    std::string tried, error;
    for (const std::string& dir : board_directories(s)) {
        if (auto board = TaskBoard::create(dir, s.task_count, &error)) {
            board->set_diagnostics(console());
            platform::catch_interrupts();
            return board;
        }
        tried += (tried.empty() ? "" : ", ") + dir;
    }
    std::puts("problems with task ");
    std::printf("Error: cannot create the task board in %s (%s)\n", tried.c_str(), error.c_str());
    return nullptr;
}

CompressOptions compress_options(const Settings& s) {
    CompressOptions options;
    options.archive_path = s.archive_path;
    options.model_memory = s.model_memory;
    options.solid = s.solid;
    // A child's entries are the parent's to tell about.
    options.verbose = s.verbose && s.run_mode == RunMode::single;
    options.recurse = s.recurse;
    options.check_record = s.check_record;
    options.part_archive = s.run_mode == RunMode::child && s.task_slot >= 1;
    return options;
}

// A last component without '.' or '*' names a directory: everything in it.
// So do "." and "..", which are never wildcards.
std::string with_all_files(const std::string& path) {
    const std::string last = file_part(path);
    if (last == "." || last == "..") return path + "/*";
    if (has_wild_or_dot(last) || ends_with_separator(path)) return path;
    return path + "/*";
}

void print_exception_line(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        std::printf("error: %s\n", x.what());
    } catch (const std::string& x) {
        std::printf("%s\n", x.c_str());
    } catch (const char* x) {
        std::printf("%s\n", x ? x : "error");
    } catch (...) {
        std::puts("error");
    }
}

uint64_t list_bytes(const FileList& list) {
    uint64_t bytes = 0;
    for (const auto& entry : list) bytes += static_cast<uint64_t>(std::max<int64_t>(entry.size, 0));
    return bytes;
}

// A parent's progress line: its children's byte counts, redrawn while it
// waits for them.
std::unique_ptr<ProgressLine> start_parent_progress(TaskBoard& board, uint64_t total) {
    auto line = ProgressLine::start(total, nullptr);
    if (line) {
        line->set_source([&board] { return board.coded_total(); });
        board.set_poll_hook([p = line.get()] { p->tick(); });
        line->on_close([&board] { board.set_poll_hook({}); });
    }
    return line;
}

// The archive's entries, read and checked once for a run of `x` or `t`
// when the progress line, the tasks or the walk first ask for them.
// An encrypted archive's index is that of the plain archive inside it.
class RunIndex {
public:
    explicit RunIndex(std::string archive_path, const ArchiveBytes* bytes = nullptr)
        : path_(std::move(archive_path)), bytes_(bytes) {}
    const ArchiveIndex& get() {
        if (!read_) {
            read_ = true;
            if (bytes_) {
                source_ = bytes_->source();
                index_ = ArchiveIndex::check(source_, static_cast<uint64_t>(bytes_->size()));
                return index_;
            }
            file_ = platform::File::open(path_, platform::File::Mode::read_existing);
            source_ = file_;
            const int64_t size = file_ ? file_.size() : -1;
            if (size >= 0) index_ = ArchiveIndex::check(file_, static_cast<uint64_t>(size));
        }
        return index_;
    }
    // What restoring (or testing) the entries that `patterns` select decodes.
    ExtractionPlan plan(const std::vector<std::string>& patterns) {
        const ArchiveIndex& index = get();
        return ExtractionPlan(source_, index.archive_size(), index, patterns, view());
    }
    // The tree the run works on (see choose_version_view); false (message
    // printed) when --until names no version.
    bool choose_view(const Settings& s, bool testing) {
        const ArchiveIndex& index = get();
        bool bad = false;
        if (!choose_version_view(s, source_, index, testing, view_, bad)) return false;
        problems_ = bad;
        return true;
    }
    const VersionView* view() const { return view_ ? &*view_ : nullptr; }
    // A version marker could not be trusted (reported).
    bool problems() const { return problems_; }

private:
    std::string path_;
    const ArchiveBytes* bytes_;
    bool read_ = false;
    platform::File file_;
    Source source_;
    ArchiveIndex index_;
    std::optional<VersionView> view_;
    bool problems_ = false;
};

// The single-process walk of `x` and `t` over the archive file, or over the
// plain archive inside an encrypted one.
bool walk_entries(Extractor& extractor, const ArchiveBytes* bytes, const std::string& archive_path,
                  const std::string& dest_dir, const std::vector<std::string>& patterns,
                  std::vector<uint64_t>* matched, RunIndex& index) {
    if (!bytes)
        return extract_entries(extractor, archive_path, dest_dir, patterns, matched, &index.get(), index.view());
    platform::FileIdentity self;
    const bool known = bytes->file().identity(self);
    return extract_entries(extractor, bytes->source(), static_cast<uint64_t>(bytes->size()), known ? &self : nullptr,
                           archive_path, dest_dir, patterns, matched, &index.get(), index.view()) &&
           !bytes->damaged();
}

// The progress line of `x` and `t`, for the entries that each set of
// patterns selects; the bytes are counted only when there is a line.
std::unique_ptr<ProgressLine> start_decode_progress(TaskBoard* board, Meter* meter, const std::string& archive_path,
                                                    const std::vector<std::vector<std::string>>& pattern_sets,
                                                    RunIndex& index) {
    auto line = board ? start_parent_progress(*board, 0) : ProgressLine::start(0, meter);
    if (line) {
        line->set_item(archive_path);
        for (const auto& patterns : pattern_sets) line->add_total(index.plan(patterns).bytes_to_decode());
    }
    return line;
}

// A file stored under another path than its own (standard input held in a file).
struct StoredAs {
    std::string path, dir, name;
};

// Single mode: every file whole into the archive. False when the archive
// cannot be written or an interrupt came (the run ends without statistics;
// the caller puts the archive back as it was); `failed` is set when a file
// was skipped or changed while it was read.
bool add_in_process(Settings& s, const FileList& list, bool& failed, uint64_t& final_size,
                    const StoredAs* stored_as = nullptr, SealedWriter* sealed = nullptr) {
    try {
        CompressOptions options = compress_options(s);
        options.sealed = sealed;
        Compressor compressor(options, console());
        const uint64_t run_bytes = list_bytes(list);
        compressor.expect_input(run_bytes);
        Meter meter;
        compressor.set_meter(&meter);
        const auto progress = ProgressLine::start(run_bytes, &meter);
        // The archive goes back to where the run began (the caller cuts it).
        const auto give_up = [&compressor](bool interrupt) {
            if (interrupt) std::puts("Error: interrupted");
            compressor.abandon_run();
            return false;
        };
        for (const auto& entry : list) {
            if (platform::interrupted()) return give_up(true);
            const EntryResult r =
                stored_as && stored_as->path == entry.path
                    ? compress_file(compressor, entry.path, stored_as->name, stored_as->dir, entry.size,
                                    s.total_input)
                    : compress_file(compressor, entry.path, entry.size, s.total_input);
            if (r == EntryResult::output_failed || r == EntryResult::interrupted)
                return give_up(r == EntryResult::interrupted);
            if (r == EntryResult::input_failed || r == EntryResult::changed) failed = true;
        }
        if (platform::interrupted()) return give_up(true);
        if (!compressor.finish_run()) return false;
    } catch (...) {
        print_exception_line(std::current_exception());
        failed = true;
    }
    final_size = platform::file_size(s.archive_path);
    return true;
}

// Parent mode: the files go in pieces to the children, whose part archives
// are joined at the end. False when the run failed; the archive is then
// left as it was before the run.
bool add_through_tasks(Settings& s, const FileList& list, bool& failed, uint64_t& final_size,
                       SealedWriter* sealed = nullptr) {
    // Made after the enumeration, so that "*" never takes in the board.
    const std::unique_ptr<TaskBoard> board = create_parent_board(s);
    if (!board) return false;
    const auto progress = start_parent_progress(*board, list_bytes(list));
    CompressionParent tasks(*board, s.run_options(), s.archive_path, s.cwd, console());
    if (sealed) tasks.use_sealed(*sealed);
    try {
        for (const auto& entry : list) {
            if (progress) progress->set_item(collapse_separators(entry.path));
            const EntryResult r = post_file(tasks, s.task_count, entry.path, entry.size, s.total_input, console());
            if (r == EntryResult::output_failed) {
                tasks.abort();
                return false;
            }
            if (r == EntryResult::input_failed) failed = true;
        }
    } catch (...) {
        print_exception_line(std::current_exception());
        failed = true;
    }
    if (!tasks.finish(final_size)) {
        tasks.abort();
        return false;
    }
    if (board->worst_result() != JobResult::ok) failed = true;
    return true;
}

}  // namespace

AddTarget form_add_target(const std::string& archive_arg, const std::vector<std::string>& file_args,
                          const std::string& cwd) {
    AddTarget t;
    const std::string resolved = resolve_argument(archive_arg, cwd);
    if (!file_args.empty()) {
        t.archive_path = resolved;
        t.files = file_args;
        return t;
    }
    // Only the last component decides: a dot elsewhere (in the current
    // directory, say) must not turn a directory argument into a pattern.
    const std::string dir = has_wild_or_dot(file_part(resolved)) ? path_prefix(resolved) : resolved;
    if (platform::is_directory(dir)) {
        t.files.push_back(with_all_files(archive_arg));
        t.archive_path = cwd + "/" + last_component(dir) + ".taq";
    } else {
        t.archive_path = resolved;
        t.files.push_back(cwd + "/*");
    }
    return t;
}

Destination prepare_destination(const std::string& arg, const std::string& cwd) {
    const std::string resolved = resolve_argument(arg, cwd);
    // An existing directory is the destination, whatever its name holds.
    const std::string path = platform::is_directory(resolved) && !ends_with_separator(resolved)
                                 ? resolved + "/*"
                                 : with_all_files(resolved);
    Destination d;
    d.dir = path_prefix(path);
    d.pattern = file_part(path);
    if (d.pattern.empty()) d.pattern = "*";
    d.pattern = to_lower_ascii(d.pattern);
    return d;
}

namespace {

// Standard input for `a archive -`, held in a file beside the archive (so
// that it can be read as often as a file), removed with this.
class HeldInput {
public:
    ~HeldInput() {
        if (!path_.empty()) {
            file_.close();
            platform::delete_file(path_);
        }
    }
    const std::string& path() const { return path_; }
    uint64_t size() const { return size_; }

    // Reads standard input to its end; false (message printed) when it
    // cannot be read or held, or an interrupt came.
    bool take(const std::string& archive_path) {
        std::string dir = path_prefix(archive_path);
        while (dir.size() > 1 && ends_with_separator(dir)) dir.pop_back();
        if (dir.empty()) dir = ".";
        const std::string base = dir + "/.taq-input-" + std::to_string(platform::own_process());
        for (int n = 0; n < 100 && !file_; ++n) {
            path_ = n == 0 ? base : base + "-" + std::to_string(n);
            file_ = platform::File::open(path_, platform::File::Mode::create_new);
        }
        if (!file_) {
            std::printf("Error: cannot hold standard input in %s (%s)\n", path_.c_str(), file_.error().c_str());
            path_.clear();
            return false;
        }
        std::vector<uint8_t> buffer(size_t{1} << 20);
        for (;;) {
            if (platform::interrupted()) {
                std::puts("Error: interrupted");
                return false;
            }
            std::string error;
            const int64_t got = platform::read_stdin(buffer.data(), buffer.size(), error);
            if (got < 0) {
                std::printf("Error: cannot read standard input (%s)\n", error.c_str());
                return false;
            }
            if (got == 0) break;
            if (!file_.write(buffer.data(), static_cast<size_t>(got))) {
                std::printf("Error: cannot hold standard input in %s (%s)\n", path_.c_str(), file_.error().c_str());
                return false;
            }
            size_ += static_cast<uint64_t>(got);
        }
        return true;
    }

private:
    std::string path_;
    platform::File file_;
    uint64_t size_ = 0;
};

// The stored directory and name that --name gives standard input; false
// (message printed) when no restore could write it.
bool stdin_stored_path(const std::string& name, std::string& stored_dir, std::string& stored_name) {
    const std::string path = collapse_separators(name);
    stored_name = file_part(path);
    stored_dir = path_prefix(path);
    if (safe_stored_path(stored_dir, stored_name)) return true;
    std::printf("Error: --name=%s: not a stored path that can be restored (relative, without ..)\n", name.c_str());
    return false;
}

// Standard output for binary data, every message moved to standard error;
// none (said why) when it is a terminal or cannot be had.
std::optional<platform::StdoutData> data_on_stdout(const char* instead) {
    if (platform::stdout_is_terminal()) {
        platform::write_stderr(std::string("refusing to write binary data to a terminal; redirect it or ") + instead +
                               "\n");
        return std::nullopt;
    }
    platform::StdoutData data = platform::StdoutData::take();
    if (!data.valid()) {
        std::puts("Error: cannot write to standard output");
        return std::nullopt;
    }
    return data;
}

// `a - file ...`: the archive to standard output. Each entry is coded into
// a scratch archive in the temporary directory, settled, and handed on
// whole: its size stands before its data. One process codes.
int add_to_stdout(Settings& s, const std::vector<std::string>& file_args) {
    std::optional<platform::StdoutData> taken = data_on_stdout("name an archive");
    if (!taken) return 1;
    platform::StdoutData& data = *taken;
    print_banner();
    if (file_args.empty() || std::find(file_args.begin(), file_args.end(), "-") != file_args.end()) {
        std::puts("Error: an archive on standard output needs the files to add: taq a - file ...");
        return 1;
    }
    s.archive_path = platform::temp_directory() + "/.taq-output-" + std::to_string(platform::own_process());
    remove_leftovers(s);
    platform::catch_interrupts();
    struct Scratch {
        std::string path;
        ~Scratch() { platform::delete_file(path); }
    } scratch{s.archive_path};
    if (platform::File f = platform::File::open(scratch.path, platform::File::Mode::create_new); !f) {
        std::printf("Error: cannot open Output file %s (%s)\n", scratch.path.c_str(), f.error().c_str());
        return 1;
    }
    bool failed = false;
    FileList list;
    try {
        LeftOutList left_out;
        list = build_file_list(file_args, s.recurse, &left_out);
        for (const LeftOut& l : left_out) {
            std::printf("%s\n", l.line.c_str());
            failed = failed || l.fails;
        }
    } catch (...) {
        print_exception_line(std::current_exception());
        return 1;
    }
    bool dropped_parent = false;
    for (const auto& entry : list) stored_dir_of(entry.path, &dropped_parent);
    if (dropped_parent) std::puts("Removing leading `../' from member names");
    if (list.empty()) {
        std::puts("WARNING: No files");
        return 1;
    }
    CompressOptions options = compress_options(s);
    options.durable = false;
    Compressor compressor(options, console());
    compressor.expect_input(list_bytes(list));
    uint64_t written = 0;
    std::vector<uint8_t> buffer(size_t{1} << 20);
    for (const auto& entry : list) {
        if (platform::interrupted()) {
            std::puts("Error: interrupted");
            return 1;
        }
        const EntryResult r = compress_file(compressor, entry.path, entry.size, s.total_input);
        if (r == EntryResult::output_failed) return 1;
        if (r == EntryResult::interrupted) {
            std::puts("Error: interrupted");
            return 1;
        }
        if (r == EntryResult::input_failed || r == EntryResult::changed) failed = true;
        if (!compressor.finish_run()) return 1;
        // The settled entry goes out whole; the scratch archive starts again.
        platform::File f = platform::File::open(scratch.path, platform::File::Mode::write_existing);
        const int64_t size = f ? f.size() : -1;
        if (size < 0) {
            std::printf("Error: cannot read Output file %s\n", scratch.path.c_str());
            return 1;
        }
        for (uint64_t done = 0; done < static_cast<uint64_t>(size);) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), static_cast<uint64_t>(size) - done));
            if (!f.seek(done) || f.read(buffer.data(), n) != n) {
                std::printf("Error: cannot read Output file %s (%s)\n", scratch.path.c_str(), f.error().c_str());
                return 1;
            }
            // The reader has gone: nothing more to say.
            if (!data.write(buffer.data(), n)) return 1;
            done += n;
        }
        written += static_cast<uint64_t>(size);
        if (!f.truncate(0)) {
            std::printf("Error: cannot write Output file %s (%s)\n", scratch.path.c_str(), f.error().c_str());
            return 1;
        }
    }
    std::printf(" Compressed %lld bytes to %lld bytes \n", static_cast<long long>(s.total_input),
                static_cast<long long>(written));
    return failed ? 1 : 0;
}

}  // namespace

namespace {

// `a` with a password: the encrypted archive opened for appending (see
// SealedAppend) with the run's password; false (message printed) when the
// run must not go on.
bool open_for_append(const Settings& s, SealedAppend& target) {
    Password password;
    if (!obtain_password(s, platform::file_size(s.archive_path) == 0, password)) return false;
    return target.open(s.archive_path, password.text, kDefaultIterations, console());
}

}  // namespace

int run_add(Settings& s, const std::vector<std::string>& args) { return run_add(s, args, Command::add); }

int run_update(Settings& s, const std::vector<std::string>& args) { return run_add(s, args, Command::update); }

int run_add(Settings& s, const std::vector<std::string>& args, Command command) {
    const int64_t started = platform::wall_clock_ns();
    const bool update = command == Command::update;
    size_t next = 0;
    std::unique_ptr<TaskBoard> board;
    if (const int code = begin_command(command, args, s, board, next); code >= 0) return code;
    const std::vector<std::string> file_args(args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end());
    if (update && s.run_mode != RunMode::child) {
        if (args[next] == "-" || std::find(file_args.begin(), file_args.end(), "-") != file_args.end()) {
            std::puts("Error: u compares files with what the archive holds: standard input (-) goes with a");
            return 1;
        }
        if (!s.check_record) {
            std::puts("Error: u keeps its versions in the check records: -n cannot go with it");
            return 1;
        }
    }
    if (args[next] == "-" && s.run_mode != RunMode::child) {
        if (s.encrypted()) {
            std::puts("Error: an encrypted archive is written to a file, not to standard output");
            return 1;
        }
        return add_to_stdout(s, file_args);
    }
    // `a archive -`: standard input, read once, goes into one entry in this process.
    const bool from_stdin = std::find(file_args.begin(), file_args.end(), "-") != file_args.end();
    if (from_stdin && s.run_mode == RunMode::parent) s.run_mode = RunMode::single;
    const bool child = s.run_mode == RunMode::child;
    const bool parent = s.run_mode == RunMode::parent;
    if (!child) print_banner();
    if (parent) std::printf("multiprocess compression use %u task \n", s.task_count);
    std::string stdin_dir, stdin_name;
    if (from_stdin && !child) {
        if (file_args.size() != 1) {
            std::puts("Error: standard input (-) is added alone: taq a archive -");
            return 1;
        }
        if (platform::stdin_is_terminal()) {
            std::puts("refusing to read data from a terminal; pipe it in, or name the files to add");
            return 1;
        }
        if (!stdin_stored_path(s.stdin_name.empty() ? "stdin" : s.stdin_name, stdin_dir, stdin_name)) return 1;
    }
    if (!from_stdin && !s.stdin_name.empty()) {
        std::puts("Error: --name= names standard input (-), which this run does not add");
        return 1;
    }

    if (file_args.empty()) std::puts("Archiver not defined: Activate File-Folder control..  ");
    AddTarget target = form_add_target(args[next], file_args, s.cwd);
    s.archive_path = collapse_separators(target.archive_path);
    if (!check_path(s.archive_path)) return 1;
    if (!child) std::printf("Archive is %s \n", s.archive_path.c_str());
    s.archive_size_before = static_cast<int64_t>(platform::file_size(s.archive_path));
    if (!target.files.empty() && !target.files[0].empty() && target.files[0][0] == '$') {
        target.files[0] = "*";
        std::printf("argc=%s \n", target.files[0].c_str());
    }
    if (child) {
        ProgressLine::follow_parent();
        CompressOptions options = compress_options(s);
        // Of an encrypted archive: the part is encrypted with the run's keys.
        SealedKeys keys;
        SealedAppend part;
        if (!s.key_channel.empty()) {
            if (!receive_keys(s, keys) || !part.open(s.archive_path, keys, console())) return 1;
            options.sealed = part.writer();
        }
        return run_compress_child(*board, s.task_slot, options, console());
    }

    // Held to the end of the run, part archives joined; an incomplete
    // tail of an interrupted run is cut away first.
    ArchiveLock archive(console());
    if (!archive.acquire_for_append(s.archive_path, s.encrypted())) return 1;
    SealedAppend encrypted;
    if (s.encrypted() && !open_for_append(s, encrypted)) return 1;
    // From here on an interrupt ends the run cleanly, the archive put back.
    platform::catch_interrupts();
    remove_leftovers(s);
    s.archive_size_before = static_cast<int64_t>(platform::file_size(s.archive_path));
    // A new encrypted archive that gets no entry goes again, header and all.
    if (encrypted.writer() && encrypted.writer()->size() == 0) s.archive_size_before = 0;

    bool failed = false;
    FileList list;
    HeldInput input;
    if (from_stdin) {
        if (!input.take(s.archive_path)) return 1;
        list.push_back(FileListEntry{input.path(), static_cast<int64_t>(input.size()), {}, {}, false});
    }
    try {
        LeftOutList left_out;
        if (!from_stdin) list = build_file_list(target.files, s.recurse, &left_out);
        for (const LeftOut& l : left_out) {
            std::printf("%s\n", l.line.c_str());
            failed = failed || l.fails;
        }
        // The archive never goes into itself.
        std::erase_if(list, [&](const FileListEntry& e) {
            platform::FileIdentity id = e.identity;
            if (!e.identified && !platform::file_identity(e.path, id)) return false;
            if (!(id == archive.identity())) return false;
            // One that this run has just created is nobody's file yet.
            if (!archive.created()) std::printf("%s: file is the archive; not dumped\n", e.path.c_str());
            return true;
        });
        bool dropped_parent = false;
        for (const auto& entry : list) stored_dir_of(entry.path, &dropped_parent);
        if (dropped_parent) std::puts("Removing leading `../' from member names");
        if (list.empty() && !update) {
            std::puts("WARNING: No files");
            failed = true;
        }
    } catch (...) {
        print_exception_line(std::current_exception());
        failed = true;
    }
    // Every run is a version; the plain format keeps none.
    RunJournal journal(s, started);
    platform::File& held_archive = archive.file();
    if (SealedWriter* sealed = encrypted.writer(); s.check_record && sealed) {
        // The plain archive inside the encrypted one keeps the versions.
        if (!journal.begin(encrypted.found(), encrypted.index(), [sealed] { return sealed_marker_target(*sealed); }))
            return 1;
    } else if (s.check_record &&
               !journal.begin(held_archive, archive.index(), [&held_archive] { return file_marker_target(held_archive); })) {
        return 1;
    }
    UpdateChoice choice;
    if (update) {
        choice = journal.choose(list, target.files);
        list = choice.to_add;
        if (list.empty() && choice.unchanged == 0 && choice.deleted.empty()) {
            std::puts("WARNING: No files");
            failed = true;
        }
    }
    uint64_t final_size = platform::file_size(s.archive_path);
    const StoredAs held{input.path(), stdin_dir, stdin_name};
    // (`u` with nothing to store only closes its version.)
    const bool adds = !update || !list.empty();
    if (adds && (parent ? !add_through_tasks(s, list, failed, final_size, encrypted.writer())
                        : !add_in_process(s, list, failed, final_size, from_stdin ? &held : nullptr,
                                          encrypted.writer()))) {
        if (!parent || encrypted.writer()) archive.roll_back(static_cast<uint64_t>(s.archive_size_before));
        std::fflush(stdout);
        return 1;
    }
    if (s.check_record) {
        if (!journal.finish(choice)) return 1;
        final_size = platform::file_size(s.archive_path);
    }
    if (encrypted.writer() && encrypted.writer()->size() == 0 && archive.created()) archive.roll_back(0);
    std::printf(" Compressed %lld bytes to %lld bytes \n", static_cast<long long>(s.total_input),
                static_cast<long long>(final_size) - static_cast<long long>(s.archive_size_before));
    if (update) journal.print_summary(choice);
    return failed ? 1 : 0;
}

namespace {

// The summary line of `t`: the entries, then the damaged stretches passed
// over (only when there were any).
void print_tally(const CheckTally& t) {
    std::printf(" Tested %llu entries: %llu verified, %llu without check record, %llu damaged",
                static_cast<unsigned long long>(t.tested + t.damaged), static_cast<unsigned long long>(t.verified),
                static_cast<unsigned long long>(t.unchecked), static_cast<unsigned long long>(t.damaged));
    if (t.stretches != 0)
        std::printf("; %llu %s of %llu %s skipped", static_cast<unsigned long long>(t.stretches),
                    t.stretches == 1 ? "stretch" : "stretches", static_cast<unsigned long long>(t.skipped_bytes),
                    t.skipped_bytes == 1 ? "byte" : "bytes");
    std::printf(" \n");
}

}  // namespace

namespace {

// What `x -c` gathers before each write to standard output.
constexpr size_t kStdoutBlock = size_t{1} << 20;

// `x -c`: the selected files' bytes to standard output, each whole, in
// archive order; every message to standard error. One process decodes
// (the bytes go out in order), whatever -t asks.
int run_extract_to_stdout(Settings& s, const std::vector<std::string>& wildcards) {
    std::optional<platform::StdoutData> taken = data_on_stdout("use x without -c");
    if (!taken) return 1;
    platform::StdoutData& data = *taken;
    std::vector<std::string> patterns;
    for (const std::string& w : wildcards) patterns.push_back(to_lower_ascii(w));
    if (patterns.empty()) patterns.push_back("*");
    print_banner();
    WholeArchive whole(console());
    if (!whole.open(s)) return 1;
    const Source& archive = whole.source();
    const ArchiveIndex& index = whole.index;
    std::optional<VersionView> view;
    bool bad_markers = false;
    if (!choose_version_view(s, archive, index, false, view, bad_markers)) return 1;
    Extractor extractor(s.verbose, whole.bytes.diagnostics());
    platform::catch_interrupts();
    extractor.set_stop_on_interrupt(true);
    // The bytes go out in blocks: a pipe takes few large writes faster.
    std::vector<uint8_t> block;
    block.reserve(kStdoutBlock);
    bool closed = false;
    const auto flush = [&] {
        if (!closed && !block.empty() && !data.write(block.data(), block.size())) closed = true;
        block.clear();
        return !closed;
    };
    const StreamWrite out = [&](const uint8_t* bytes, size_t n) {
        if (block.size() + n > kStdoutBlock && !flush()) return false;
        if (n >= kStdoutBlock) {
            closed = !data.write(bytes, n);
            return !closed;
        }
        block.insert(block.end(), bytes, bytes + n);
        return true;
    };
    std::vector<uint64_t> matched;
    const uint64_t until = view ? std::min(whole.size(), view->end) : whole.size();
    StreamResult r = extract_to_stream(extractor, archive, s.archive_path, until, index, patterns,
                                       platform::temp_directory(), out, &matched, view ? &*view : nullptr);
    if (!flush()) r.closed = true;
    // The reader has gone: nothing more to say to it, nor about it.
    if (r.closed) return 1;
    if (r.interrupted) {
        std::puts("Error: interrupted");
        return 1;
    }
    bool ok = r.ok && !whole.bytes.damaged();
    for (size_t i = 0; i < wildcards.size() && i < matched.size(); ++i)
        if (matched[i] == 0) {
            std::printf("Error: %s: not found in archive %s\n", wildcards[i].c_str(), s.archive_path.c_str());
            ok = false;
        }
    if (!ok) return 1;
    std::puts(" OK! ");
    return 0;
}

}  // namespace

namespace {

// How messages name an archive that comes through standard input.
const char* const kStdinArchive = "(standard input)";

// An archive through standard input, read once, in order.
ForwardArchive stdin_archive() {
    return ForwardArchive([](void* data, size_t n, std::string& error) { return platform::read_stdin(data, n, error); },
                          platform::temp_directory());
}

// An encrypted archive is opened as a file (its frames are checked before
// anything is read from them), never through a pipe.
int refuse_encrypted_stdin() {
    std::puts("Error: an encrypted archive is read from a file, not from standard input");
    return 1;
}

// Standard input that is a terminal holds no archive: refused in one line.
bool refuse_terminal_input() {
    if (!platform::stdin_is_terminal()) return false;
    std::puts("refusing to read an archive from a terminal; pipe it in, or name the archive file");
    return true;
}

// `x - [destination]` and `t - [wildcard ...]`: one pass over an archive on
// standard input (see ForwardArchive for what it cannot do).
int decode_from_stdin(Settings& s, const std::vector<std::string>& args, bool testing) {
    if (!s.until.empty()) {
        std::puts("Error: --until needs the archive as a file: its versions are read before it is decoded");
        return 1;
    }
    if (s.to_stdout) {
        std::puts("Error: x -c reads an archive file; an archive on standard input is restored with x - only");
        return 1;
    }
    if (!testing && args.size() > 1) {
        std::puts("Error: an archive on standard input is read once: x - takes one destination");
        return 1;
    }
    if (refuse_terminal_input()) return 1;
    print_banner();
    std::vector<std::string> patterns;
    Destination d;
    if (testing) {
        for (const std::string& w : args) patterns.push_back(to_lower_ascii(w));
        if (patterns.empty()) patterns.push_back("*");
        std::printf("Testing archive %s \n", kStdinArchive);
    } else {
        const std::string arg = args.empty() ? "*" : args[0];
        d = prepare_destination(arg, s.cwd);
        if (!check_path(d.dir)) return 1;
        patterns.push_back(d.pattern);
        std::printf("ARGV=%s\n", arg.c_str());
        std::printf("Archive=%s Wild=%s DEST=%s\n", kStdinArchive, d.pattern.c_str(), d.dir.c_str());
    }
    std::fflush(stdout);
    Extractor extractor(s.verbose, console());
    extractor.set_testing(testing);
    Meter meter;
    extractor.set_meter(&meter);
    const auto progress = ProgressLine::start(ProgressLine::kUnknownTotal, &meter);
    if (progress) progress->set_item(kStdinArchive);
    platform::catch_interrupts();
    extractor.set_stop_on_interrupt(true);
    ForwardArchive archive = stdin_archive();
    std::vector<uint64_t> matched;
    const ForwardResult r = extract_forward(extractor, archive, kStdinArchive, d.dir, patterns, &matched);
    if (r.interrupted) return 1;
    bool ok = r.ok;
    for (size_t i = 0; i < args.size() && i < matched.size(); ++i) {
        if (matched[i] != 0) continue;
        std::printf("Error: %s: not found in archive %s\n", args[i].c_str(), kStdinArchive);
        ok = false;
    }
    if (testing) {
        const CheckTally& t = extractor.tally();
        print_tally(t);
        if (t.damaged != 0) ok = false;
    }
    if (!ok) return 1;
    std::puts(" OK! ");
    return 0;
}

}  // namespace

namespace {

// Whether `x` or `t` of the archive takes the encrypted way: a password was
// given, or the archive is encrypted (and says so without one).
bool takes_encrypted_way(const Settings& s) {
    return s.run_mode != RunMode::child && (s.encrypted() || is_sealed_archive(s.archive_path));
}

// The tasks of `x` and `t` of an encrypted archive read the plain archive
// inside it (the parent's walk reads it from `bytes`), with its keys.
void use_sealed(ExtractionParent& tasks, TaskBoard& board, const ArchiveBytes& bytes) {
    platform::FileIdentity self;
    tasks.use_source(bytes.source(), static_cast<uint64_t>(bytes.size()),
                     bytes.file().identity(self) ? &self : nullptr);
    board.hand_keys(bytes.keys());
}

// A task of `x` or `t`: decodes the jobs its parent posts. Of an encrypted
// archive, the plain archive inside, opened with the keys the parent
// handed over (no password, nothing derived).
int extract_child(const Settings& s, TaskBoard& board, bool testing) {
    ProgressLine::follow_parent();
    if (s.key_channel.empty())
        return run_extract_child(board, s.task_slot, s.archive_path, s.verbose, testing, console());
    SealedKeys keys;
    ArchiveBytes bytes;
    if (!receive_keys(s, keys) || !bytes.open(s.archive_path, keys, console())) return 1;
    platform::FileIdentity self;
    const bool known = bytes.file().identity(self);
    return run_extract_child(board, s.task_slot, bytes.source(), static_cast<uint64_t>(bytes.size()),
                             known ? &self : nullptr, s.archive_path, s.verbose, testing, bytes.diagnostics());
}

}  // namespace

int run_extract(Settings& s, const std::vector<std::string>& args) {
    size_t next = 0;
    std::unique_ptr<TaskBoard> board;
    if (const int code = begin_command(Command::extract, args, s, board, next); code >= 0) return code;
    if (s.run_mode != RunMode::child && args[next] == "-") {
        if (s.encrypted()) return refuse_encrypted_stdin();
        return decode_from_stdin(s, {args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end()}, false);
    }
    s.archive_path = collapse_separators(resolve_argument(args[next], s.cwd));
    if (!check_path(s.archive_path)) return 1;
    std::vector<std::string> destinations(args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end());
    if (s.to_stdout && s.run_mode != RunMode::child) return run_extract_to_stdout(s, destinations);
    if (destinations.empty()) destinations.push_back("*");
    const bool encrypted = takes_encrypted_way(s);
    if (s.run_mode == RunMode::child) return extract_child(s, *board, false);

    print_banner();
    ArchiveLock archive(console());
    if (!archive.acquire_for_reading(s.archive_path)) return 1;
    std::unique_ptr<ArchiveBytes> bytes;
    if (encrypted && !(bytes = std::make_unique<ArchiveBytes>())->open(s, s.archive_path, console())) return 1;
    remove_leftovers(s);
    std::unique_ptr<ExtractionParent> tasks;
    RunIndex index(s.archive_path, bytes.get());
    if (!index.choose_view(s, false)) return 1;
    if (s.run_mode == RunMode::parent) {
        board = create_parent_board(s);
        if (!board) return 1;
        tasks = std::make_unique<ExtractionParent>(*board, s.archive_path, s.verbose, false,
                                                   bytes ? bytes->diagnostics() : console());
        tasks->use_index(s.archive_path, index.get());
        if (bytes) use_sealed(*tasks, *board, *bytes);
        std::printf("multiprocess etraction use %u task \n", s.task_count);
    }
    std::vector<std::vector<std::string>> selections;
    for (const auto& arg : destinations) selections.push_back({prepare_destination(arg, s.cwd).pattern});
    Meter meter;
    const auto progress = start_decode_progress(board.get(), &meter, s.archive_path, selections, index);
    Extractor extractor(s.verbose, bytes ? bytes->diagnostics() : console());
    extractor.set_meter(&meter);
    if (!tasks) {
        // An interrupt stops the run at the next segment; what it staged
        // goes, and nothing half-restored is put in place.
        platform::catch_interrupts();
        extractor.set_stop_on_interrupt(true);
    }
    bool ok = true;
    for (const auto& arg : destinations) {
        std::printf("ARGV=%s\n", arg.c_str());
        const Destination d = prepare_destination(arg, s.cwd);
        if (!check_path(d.dir)) {
            ok = false;
            continue;
        }
        std::printf("Archive=%s Wild=%s DEST=%s\n", s.archive_path.c_str(), d.pattern.c_str(), d.dir.c_str());
        std::fflush(stdout);
        std::vector<uint64_t> matched;
        bool done = tasks ? tasks->extract(s.archive_path, d.dir, {d.pattern}, &matched, index.view())
                          : walk_entries(extractor, bytes.get(), s.archive_path, d.dir, {d.pattern}, &matched, index);
        if (done && matched.size() == 1 && matched[0] == 0) {
            std::printf("Error: %s: not found in archive %s\n", arg.c_str(), s.archive_path.c_str());
            done = false;
        }
        if (!done) {
            ok = false;
            if ((tasks && tasks->lost()) || platform::interrupted()) return 1;
            // Without a readable archive the other destinations fare no better.
            if (!platform::File::open(s.archive_path, platform::File::Mode::read_existing)) break;
        }
    }
    if (tasks && !tasks->finish()) ok = false;
    if (!ok) return 1;
    std::puts(" OK! ");
    return 0;
}

int run_test(Settings& s, const std::vector<std::string>& args) {
    size_t next = 0;
    std::unique_ptr<TaskBoard> board;
    if (const int code = begin_command(Command::test, args, s, board, next); code >= 0) return code;
    if (s.run_mode != RunMode::child && args[next] == "-") {
        if (s.encrypted()) return refuse_encrypted_stdin();
        return decode_from_stdin(s, {args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end()}, true);
    }
    s.archive_path = collapse_separators(resolve_argument(args[next], s.cwd));
    if (!check_path(s.archive_path)) return 1;
    const bool encrypted = takes_encrypted_way(s);
    if (s.run_mode == RunMode::child) return extract_child(s, *board, true);
    const std::vector<std::string> wildcards(args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end());
    std::vector<std::string> patterns;
    for (const std::string& w : wildcards) patterns.push_back(to_lower_ascii(w));
    // Without a wildcard every entry is tested, however few there are.
    if (patterns.empty()) patterns.push_back("*");

    print_banner();
    std::printf("Testing archive %s \n", s.archive_path.c_str());
    std::fflush(stdout);
    ArchiveLock archive(console());
    if (!archive.acquire_for_reading(s.archive_path)) return 1;
    std::unique_ptr<ArchiveBytes> bytes;
    if (encrypted && !(bytes = std::make_unique<ArchiveBytes>())->open(s, s.archive_path, console())) return 1;
    remove_leftovers(s);
    bool ok = true;
    CheckTally tally;
    if (s.run_mode == RunMode::parent) {
        board = create_parent_board(s);
        if (!board) return 1;
    }
    Meter meter;
    RunIndex index(s.archive_path, bytes.get());
    if (!index.choose_view(s, true)) return 1;
    if (index.problems()) ok = false;
    const auto progress = start_decode_progress(board.get(), &meter, s.archive_path, {patterns}, index);
    std::vector<uint64_t> matched;
    if (board) {
        ExtractionParent tasks(*board, s.archive_path, s.verbose, true, bytes ? bytes->diagnostics() : console());
        tasks.use_index(s.archive_path, index.get());
        if (bytes) use_sealed(tasks, *board, *bytes);
        ok = tasks.extract(s.archive_path, "", patterns, &matched, index.view()) && ok;
        if (!tasks.lost() && !tasks.finish()) ok = false;
        tally = tasks.tally();
    } else {
        Extractor extractor(s.verbose, bytes ? bytes->diagnostics() : console());
        extractor.set_testing(true);
        extractor.set_meter(&meter);
        platform::catch_interrupts();
        extractor.set_stop_on_interrupt(true);
        ok = walk_entries(extractor, bytes.get(), s.archive_path, "", patterns, &matched, index) && ok;
        tally = extractor.tally();
    }
    // As in `x`: a wildcard that selects nothing is named, and fails.
    for (size_t i = 0; i < wildcards.size() && i < matched.size(); ++i) {
        if (matched[i] != 0) continue;
        std::printf("Error: %s: not found in archive %s\n", wildcards[i].c_str(), s.archive_path.c_str());
        ok = false;
    }
    print_tally(tally);
    if (!ok || tally.damaged != 0 || tally.stretches != 0) return 1;
    std::puts(" OK! ");
    return 0;
}

namespace {

// `l - [wildcard ...]`: the headers of one pass, then each wildcard's lines.
int list_from_stdin(const std::vector<std::string>& wildcards, bool given) {
    ForwardArchive archive = stdin_archive();
    const ForwardListing listing = list_forward(archive, kStdinArchive, console());
    uint64_t count = 0;
    bool ok = !listing.damaged;
    for (const auto& w : wildcards) {
        uint64_t listed = 0;
        for (const auto& [path, solid] : listing.entries)
            if (match_wildcard(w, file_part(path))) {
                ++listed;
                std::printf("%s%s\n", path.c_str(), solid ? " - solid" : "");
            }
        count += listed;
        if (given && listed == 0) {
            std::printf("Error: %s: not found in archive %s\n", w.c_str(), kStdinArchive);
            ok = false;
        }
    }
    std::printf(" n.%llu files in archive %s \n", static_cast<unsigned long long>(count), kStdinArchive);
    return ok ? 0 : 1;
}

}  // namespace

int run_list(Settings& s, const std::vector<std::string>& args) {
    // The password switches stand before the archive, as in the other commands.
    size_t at = 2;
    while (at < args.size() && parse_password_switch(args[at], s)) ++at;
    if (args.size() < at + 1) return usage_exit();
    const bool from_stdin = args[at] == "-";
    if (from_stdin && s.encrypted()) return refuse_encrypted_stdin();
    if (from_stdin && refuse_terminal_input()) return 1;
    s.archive_path = from_stdin ? kStdinArchive : resolve_argument(args[at], s.cwd);
    if (!check_path(s.archive_path)) return 1;
    std::printf("Archive List ... %s \n", s.archive_path.c_str());
    std::vector<std::string> wildcards(args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
    const bool given = !wildcards.empty();
    if (!given) wildcards.push_back("*");
    if (from_stdin) return list_from_stdin(wildcards, given);
    ArchiveBytes bytes;
    if (!bytes.open(s, s.archive_path, console())) return 1;
    const Source& archive = bytes.source();
    const int64_t size = bytes.size();
    if (size < 0) {
        console().error("Error: cannot open Archive file " + s.archive_path + "\n");
        return 1;
    }
    Diagnostics& diag = bytes.diagnostics();
    // One walk of the headers serves every wildcard.
    const ArchiveIndex index = ArchiveIndex::read(archive, static_cast<uint64_t>(size));
    uint64_t count = 0;
    bool ok = !bytes.damaged();
    for (const auto& w : wildcards) {
        const ListResult r = list_entries(archive, index, s.archive_path, w, diag,
                                          [](const std::string& line) { std::fputs(line.c_str(), stdout); });
        count += r.listed;
        if (r.status == ListStatus::damaged)
            std::puts("Entries after the damage may still be restored: 't' tests them and 'x' restores them.");
        if (r.status != ListStatus::ok) return 1;
        // As in `x`: a wildcard that selects nothing is named, and fails.
        if (given && r.listed == 0) {
            std::printf("Error: %s: not found in archive %s\n", w.c_str(), s.archive_path.c_str());
            ok = false;
        }
    }
    std::printf(" n.%llu files in archive %s \n", static_cast<unsigned long long>(count), s.archive_path.c_str());
    return ok ? 0 : 1;
}

int run_main(int argc, char** argv) {
    const std::vector<std::string> args = platform::process_arguments(argc, argv);
    try {
        if (args.size() > 1 && (args[1] == "--help" || args[1] == "-h")) {
            print_banner();
            print_usage();
            print_help_addendum();
            return 0;
        }
        if (args.size() > 1 && args[1] == "--version") {
            print_banner();
            return 0;
        }
        Settings settings = startup_settings();
        switch (args.size() > 1 ? command_of(args[1]) : Command::none) {
            case Command::add: return run_add(settings, args);
            case Command::extract: return run_extract(settings, args);
            case Command::list: return run_list(settings, args);
            case Command::test: return run_test(settings, args);
            case Command::update: return run_update(settings, args);
            case Command::versions: return run_versions(settings, args);
            case Command::none: break;
        }
        return usage_exit();
    } catch (...) {
        print_exception_line(std::current_exception());
        return 1;
    }
}

}  // namespace taq
