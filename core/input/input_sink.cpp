#include "core/input/input_sink.h"

namespace lumenbrook {

void RecordingSink::send(const InputEvent& event) {
  std::lock_guard guard(lock_);
  events_.push_back(event);
}

std::vector<InputEvent> RecordingSink::events() const {
  std::lock_guard guard(lock_);
  return events_;
}

void RecordingSink::clear() {
  std::lock_guard guard(lock_);
  events_.clear();
}

}  // namespace lumenbrook
