// norvane::quorl_signal as its callers declare it. Written from the interface
// documentation, not from the library's own headers.
#pragma once

namespace norvane {

// Abstract, no data. Virtual table: the destructor, ctrl_signal, ctrl_wait.
class quorl_signal {
 public:
  virtual ~quorl_signal();
  virtual void ctrl_signal() = 0;
  virtual void ctrl_wait() = 0;
};

}  // namespace norvane
