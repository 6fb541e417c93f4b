// Arbitrary bytes as an archive, through the entry-header reader and the
// listing walk of `l`. Checks that every header the reader accepts lies
// inside the archive and reads back as the writer would have written it,
// that the walk lists each such entry once, and that `l` fails with one
// message exactly when a header cannot be read.
#include <algorithm>
#include <cstdio>

#include "archive/entry.h"
#include "archive/listing.h"
#include "archive/sealed.h"
#include "archive/walk.h"
#include "driver/commands.h"
#include "fuzz_support.h"

using namespace taq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& archive_path = fuzz::archive_from(data, size);
    fuzz::CapturedOutput& output = fuzz::captured_output();

    // The reader on its own: every accepted header within its entry, its
    // bytes those that serialize_header gives for it.
    uint64_t entries = 0;
    bool damaged = false;
    bool interrupted = false;
    uint64_t damaged_at = 0;
    std::string damaged_why;
    {
        platform::File archive = platform::File::open(archive_path, platform::File::Mode::read_existing);
        for (uint64_t at = 0; at < size;) {
            EntryHeader h;
            std::string why;
            if (!read_header(archive, at, size, h, &why)) {
                EntryHeader lead;
                // A header whose names can be read is one `l` can list.
                if (read_header(archive, at, size, lead, nullptr, true)) {
                    ++entries;
                    at += lead.entry_size;
                    continue;
                }
                read_header(archive, at, size, lead, &why, true);
                fuzz::check(!why.empty(), "a refused header without a reason");
                // What a writer stopped mid-entry leaves is no damage.
                interrupted = interrupted_append_at(archive, at, size, true);
                damaged = !interrupted;
                damaged_at = at;
                damaged_why = why;
                break;
            }
            fuzz::check(h.entry_size >= kMinEntrySize && h.entry_size <= size - at, "entry outside the archive");
            fuzz::check(h.header_length() <= h.entry_size, "header longer than its entry");
            const std::vector<uint8_t> bytes = serialize_header(h);
            fuzz::check(bytes.size() == h.header_length() && std::equal(bytes.begin(), bytes.end(), data + at),
                        "header does not read back as written");
            ++entries;
            at += h.entry_size;
        }
    }

    fuzz::Messages listing;
    const ListResult listed = list_entries(archive_path, "*", listing.diag, [](const std::string&) {});
    fuzz::check(listed.listed == entries, "listing and header walk disagree");
    fuzz::check((listed.status == ListStatus::damaged) == damaged, "listing status wrong");

    // The whole command: exit code 1 and the damage named, else 0 and the
    // count last. (Stored names are arbitrary text: a listing can hold any
    // line, so only what must be there is checked.)
    std::vector<std::string> args{"taq", "l", archive_path};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    output.reset();
    const int code = run_main(static_cast<int>(argv.size()), argv.data());
    const std::string text = output.text();
    if (sealed_magic(data, size)) {
        // The header of an encrypted archive: `l` asks for its password.
        fuzz::check(code == 1, "exit code of l on an encrypted archive");
        fuzz::check(text.find(archive_path + " is encrypted: give its password") != std::string::npos,
                    "l does not say the archive is encrypted");
        return 0;
    }
    fuzz::check(code == (damaged ? 1 : 0), "exit code of l");
    if (damaged) {
        const std::string message = damaged_archive_message(archive_path, damaged_at, damaged_why);
        fuzz::check(text.find(message) != std::string::npos, "l does not say: " + message);
    } else {
        if (interrupted) {
            const std::string message = interrupted_append_message(archive_path, damaged_at);
            fuzz::check(text.find(message) != std::string::npos, "l does not say: " + message);
        }
        const std::string last = " n." + std::to_string(entries) + " files in archive " + archive_path + " \n";
        fuzz::check(text.size() >= last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0,
                    "l does not end with: " + last);
    }
    return 0;
}
