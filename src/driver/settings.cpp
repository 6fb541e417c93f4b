#include "driver/settings.h"

#include "platform/platform.h"

namespace taq {

Settings startup_settings() {
    Settings s;
    s.exe_path = platform::own_executable_path();
    s.processor_count = platform::processor_count();
    s.cwd = platform::current_directory();
    s.board_path = s.cwd + "/master.tmp";
    return s;
}

}  // namespace taq
