// Middleware framework services on POSIX: threads, the registry base class with its trace
// points, the diagnostic command receiver, tracing and error notification.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

struct QUORL_PAGE_INFO;  // a channel's page-information record, owned by the channel

namespace norvane {

// Base of every object that owns a framework thread. The thread started for it by
// Controller::add runs process(arg). Destroying the object does not end its thread: the
// owner ends the thread's loop itself and waits with Controller::join first.
class ControllerThread {
 public:
  ControllerThread() = default;
  virtual ~ControllerThread();
  ControllerThread(const ControllerThread&) = delete;
  ControllerThread& operator=(const ControllerThread&) = delete;
  virtual void process(void* arg) = 0;
};

// The framework's thread controller; one per process, never destroyed.
class Controller {
 public:
  static Controller* instance();  // thread-safe

  // thread-safe. Starts a thread named `name` that runs thread.process(arg). Linux shows
  // only the first 15 characters of a name; the full name is kept for diagnostics.
  // Returns 0, or -1 when the thread could not be started.
  int add(ControllerThread& thread, void* arg, const char* name);

  // thread-safe. Waits until every thread started for `thread` has returned from process.
  // Returns 0, or -1 when no such thread was started or the caller is that thread.
  int join(ControllerThread& thread);

  // thread-safe. Number of threads started by add whose process has not returned yet,
  // and of those with this full name.
  int running_threads() const;
  int running_threads(const std::string& name) const;

  struct State;

 private:
  Controller();
  State* state_;
};

// Base class of a middleware module (the library's registry derives from it).
class quorl_commonmethod {
 public:
  quorl_commonmethod();
  virtual ~quorl_commonmethod();
  quorl_commonmethod(const quorl_commonmethod&) = delete;
  quorl_commonmethod& operator=(const quorl_commonmethod&) = delete;

  // Diagnostic hook called by the command receiver; the base writes nothing.
  virtual void log_print();

  // thread-safe. Records a trace point (category, code, flag, calling thread, monotonic
  // time) in the process-wide trace ring (platform_capture.h reads it).
  void trace_set(unsigned short category, unsigned short code, int flag);

  // thread-safe. Keeps `info` for diagnostics; the caller keeps owning the record.
  void page_info_list_insert(QUORL_PAGE_INFO* info);

 protected:
  // A signed counter owned by the base class; modules may lower it. Kept as the first
  // data member.
  int32_t module_count_ = 0;
};

// The diagnostic command receiver.
class quorl_usr_command_receiver_impl {
 public:
  static quorl_usr_command_receiver_impl* instance();  // thread-safe; never destroyed

  // thread-safe. Registers `module` under `name`; a later registration under the same name
  // replaces the earlier one. Returns 0.
  int module_list_insert(std::string name, quorl_commonmethod* module);

  struct State;

 private:
  quorl_usr_command_receiver_impl();
  State* state_;
};

class UCOM_UsrCommandReceiver {
 public:
  // Writes one formatted diagnostic line under `tag` to the receiver's output. Returns 0.
  static int uc_trace(const char* tag, const char* format, va_list args);
  // Variadic front end of uc_trace; defined by the library that uses it.
  static void uctracef(const char* tag, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
};

}  // namespace norvane

extern "C" {
// printf-style trace line. Written to standard error unless captured (platform_capture.h).
int emwGENTrcPrintf(int module, int level, int zero, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Reports an abnormal condition to the system. Written to standard error unless captured.
int utl_lib_svccall_notify(int kind, int code, int zero, const char* file, const char* function,
                           int line);
}
