// The whole `x` command on an arbitrary archive, in process, into a
// destination several folders down a scratch folder, then `t` on it. After
// each run: nothing was written outside the destination (the archive
// unchanged, the folders around the destination and the working folder
// still as they were), the exit code is 0 or 1, a run that failed says so in
// an "Error: " line while one that succeeded ends with " OK! ", and an
// archive that `x` restored whole passes `t`. Inputs above fuzz::Caps are
// passed over.
#include <unistd.h>

#include <algorithm>

#include "driver/commands.h"
#include "fuzz_support.h"

using namespace taq;

namespace {

fuzz::CapturedOutput* output;  // (made before the working folder changes)
std::string root;         // the scratch folder: everything below is checked
std::string archive_path; // root/in/archive
std::string destination;  // root/a/b/c/out: "../" three times stays below root

const std::vector<std::string> kExpectedTree{"a", "a/b", "a/b/c", "cwd", "in", "in/archive"};

int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    output->reset();
    return run_main(static_cast<int>(argv.size()), argv.data());
}

void check_outcome(const std::string& command, int code, const std::string& text) {
    fuzz::check(code == 0 || code == 1, command + ": exit code " + std::to_string(code));
    if (code == 0) {
        const std::string ok = " OK! \n";
        fuzz::check(text.size() >= ok.size() && text.compare(text.size() - ok.size(), ok.size(), ok) == 0,
                    command + " succeeded without OK");
    } else {
        fuzz::check(text.find("Error: ") != std::string::npos || text.find("No memory") != std::string::npos,
                    command + " failed without an error message");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    output = &fuzz::captured_output();
    root = fuzz::scratch_root() + "/x";
    archive_path = root + "/in/archive";
    destination = root + "/a/b/c/out";
    fuzz::make_dirs(root + "/in");
    fuzz::make_dirs(root + "/cwd");
    fuzz::make_dirs(root + "/a/b/c");
    // Relative paths an archive might aim at resolve inside the scratch folder.
    if (::chdir((root + "/cwd").c_str()) != 0) fuzz::fail("cannot enter the scratch folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::write_file(archive_path, data, size);
    if (!fuzz::within_caps(archive_path, fuzz::Caps{})) return -1;

    const int extracted = run({"taq", "x", archive_path, destination});
    check_outcome("x", extracted, output->text());
    const int tested = run({"taq", "t", archive_path});
    check_outcome("t", tested, output->text());
    fuzz::check(extracted != 0 || tested == 0, "x restored an archive that t finds damaged");

    fuzz::check(fuzz::read_file(archive_path) == std::string(reinterpret_cast<const char*>(data), size),
                "x changed the archive");
    for (const std::string& path : fuzz::tree(root)) {
        const bool expected = std::find(kExpectedTree.begin(), kExpectedTree.end(), path) != kExpectedTree.end();
        fuzz::check(expected || path == "a/b/c/out" || path.rfind("a/b/c/out/", 0) == 0,
                    "x wrote outside its destination: " + path);
    }
    fuzz::remove_tree(destination);
    return 0;
}
