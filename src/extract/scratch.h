// A scratch file of a run, made when it is first needed
// ("taq-<what>-<pid>.tmp" in a directory the caller names) and removed
// with its owner.
#pragma once

#include <string>

#include "platform/platform.h"

namespace taq {

class ScratchFile {
public:
    ScratchFile(std::string dir, std::string what) : dir_(std::move(dir)), what_(std::move(what)) {}
    ~ScratchFile() {
        if (path_.empty()) return;
        file_.close();
        platform::delete_file(path_);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // The open file, made on the first call; null (`error` says why) when
    // it cannot be made.
    platform::File* get(std::string& error) {
        if (path_.empty()) {
            const std::string path = dir_ + "/taq-" + what_ + "-" + std::to_string(platform::own_process()) + ".tmp";
            file_ = platform::File::open(path, platform::File::Mode::create);
            if (!file_) {
                error = "cannot create " + path + " (" + file_.error() + ")";
                return nullptr;
            }
            path_ = path;
        }
        return &file_;
    }
    // Why the last operation on the file failed, with its name.
    std::string failure(const char* what) const { return std::string(what) + " " + path_ + " (" + file_.error() + ")"; }

private:
    std::string dir_, what_, path_;
    platform::File file_;
};

}  // namespace taq
