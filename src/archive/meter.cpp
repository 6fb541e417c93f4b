#include "archive/meter.h"

namespace taq {

void Meter::listen(std::function<void()> listener, uint64_t every) {
    listener_ = std::move(listener);
    every_ = every == 0 ? 1 : every;
    next_report_ = listener_ ? done_ + every_ : std::numeric_limits<uint64_t>::max();
    if (!listener_) item_.clear();
}

void Meter::report() {
    if (!listener_) return;
    next_report_ = done_ + every_;
    listener_();
}

}  // namespace taq
