// Runs a fuzz target's function on stored inputs, without the fuzzer: each
// argument is a file or a folder of files (a missing folder holds none). A
// broken invariant or a sanitizer report ends the process, so the test that
// runs this fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        const fs::path arg = fs::absolute(argv[i], ec);
        if (fs::is_directory(arg, ec)) {
            for (const auto& e : fs::directory_iterator(arg, ec))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.') inputs.push_back(e.path().string());
        } else if (fs::exists(arg, ec)) {
            inputs.push_back(arg.string());
        }
    }
    std::sort(inputs.begin(), inputs.end());
    // (A target may change the working folder: the inputs are found first.)
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string& path : inputs) {
        std::fprintf(stderr, "replaying %s\n", path.c_str());
        const std::string bytes = taq::fuzz::read_file(path);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
    return 0;
}
