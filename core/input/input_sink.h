#pragma once
// Where the trackpad interpreter delivers the input events it makes.

#include <mutex>
#include <vector>

#include "core/messages/input_event.h"

namespace lumenbrook {

class InputSink {
 public:
  virtual ~InputSink() = default;
  // Called synchronously on the interpreter's thread, once per event, in order.
  virtual void send(const InputEvent& event) = 0;
};

// Keeps every event it receives. Any thread may read or clear it while another sends.
class RecordingSink final : public InputSink {
 public:
  void send(const InputEvent& event) override;
  // A copy, so the caller can inspect it while events keep arriving.
  std::vector<InputEvent> events() const;
  void clear();

 private:
  mutable std::mutex lock_;
  std::vector<InputEvent> events_;
};

}  // namespace lumenbrook
