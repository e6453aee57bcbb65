// The middleware framework on POSIX: the module base class, the diagnostic command receiver,
// tracing and error notification (the thread controller is in controller.cpp).
//
// The receiver is a heap object that is never destroyed, so framework threads that still
// run while the process exits never meet a destroyed object.
#include "norvane/framework.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform_internal.h"

namespace {

// vprintf into a string.
std::string format_text(const char* format, va_list args) {
  if (format == nullptr) {
    return {};
  }
  char small[256];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (n < 0) {
    text = format;  // unusable format: keep it as it was
  } else if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return text;
}

// Writes one line with a single stdio call (stdio locks the stream per call, so lines
// from several threads do not interleave).
void write_line(FILE* stream, std::string line) {
  if (line.empty() || line.back() != '\n') {
    line.push_back('\n');
  }
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // namespace

namespace norvane {

// ---- quorl_commonmethod ----

namespace {
void forget_module(const quorl_commonmethod* module);
}

quorl_commonmethod::quorl_commonmethod() = default;

// A module that goes away leaves the receiver's list, so that a later diagnostic command
// under its name finds nothing instead of a destroyed object.
quorl_commonmethod::~quorl_commonmethod() {
  forget_module(this);
}

void quorl_commonmethod::log_print() {}

void quorl_commonmethod::trace_set(unsigned short category, unsigned short code, int flag) {
  platform::detail::record_trace_point(category, code, flag);
}

void quorl_commonmethod::page_info_list_insert(QUORL_PAGE_INFO* info) {
  platform::detail::record_page_info(info);
}

// ---- Command receiver ----

// Registered modules by name, under `mutex` (a leaf lock: modules are called without it).
struct quorl_usr_command_receiver_impl::State {
  std::mutex mutex;
  std::map<std::string, quorl_commonmethod*> modules;
};

namespace {
// The receiver's state outlives everything, and the host-side functions below reach it
// without going through the receiver object.
quorl_usr_command_receiver_impl::State& receiver_state() {
  static auto* const state = new quorl_usr_command_receiver_impl::State;
  return *state;
}

void forget_module(const quorl_commonmethod* module) {
  auto& state = receiver_state();
  std::lock_guard lock(state.mutex);
  std::erase_if(state.modules, [module](const auto& item) { return item.second == module; });
}
}  // namespace

quorl_usr_command_receiver_impl::quorl_usr_command_receiver_impl() : state_(&receiver_state()) {}

quorl_usr_command_receiver_impl* quorl_usr_command_receiver_impl::instance() {
  static quorl_usr_command_receiver_impl* const receiver = new quorl_usr_command_receiver_impl;
  return receiver;
}

int quorl_usr_command_receiver_impl::module_list_insert(std::string name,
                                                        quorl_commonmethod* module) {
  std::lock_guard lock(state_->mutex);
  state_->modules[std::move(name)] = module;
  return 0;
}

int UCOM_UsrCommandReceiver::uc_trace(const char* tag, const char* format, va_list args) {
  std::string line = tag != nullptr ? tag : "";
  line += ": ";
  line += format_text(format, args);
  if (!platform::detail::keep_receiver_line(line)) {
    write_line(stdout, std::move(line));
  }
  return 0;
}

}  // namespace norvane

namespace platform {

bool send_diagnostic_command(const std::string& name) {
  norvane::quorl_commonmethod* module = nullptr;
  {
    auto& state = norvane::receiver_state();
    std::lock_guard lock(state.mutex);
    const auto it = state.modules.find(name);
    if (it == state.modules.end()) {
      return false;
    }
    module = it->second;
  }
  // Called without the receiver's lock: log_print takes the module's own locks.
  if (module != nullptr) {
    module->log_print();
  }
  return true;
}

std::vector<std::string> module_names() {
  auto& state = norvane::receiver_state();
  std::lock_guard lock(state.mutex);
  std::vector<std::string> names;
  for (const auto& [name, module] : state.modules) {
    names.push_back(name);
  }
  return names;
}

}  // namespace platform

// ---- Tracing and notification ----

extern "C" int emwGENTrcPrintf(int module, int level, int zero, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  if (!platform::detail::keep_trace_line(module, level, zero, text)) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "trace %04x/%03x: ", static_cast<unsigned>(module),
                  static_cast<unsigned>(level));
    write_line(stderr, prefix + text);
  }
  return 0;
}

extern "C" int utl_lib_svccall_notify(int kind, int code, int zero, const char* file,
                                      const char* function, int line) {
  platform::Notification note{
      kind, code,          zero, file != nullptr ? file : "", function != nullptr ? function : "",
      line, pthread_self()};
  if (!platform::detail::keep_notification(note)) {
    char text[512];
    std::snprintf(text, sizeof text, "notify kind=0x%X code=%d at %s:%d (%s)",
                  static_cast<unsigned>(kind), code, note.file.c_str(), line,
                  note.function.c_str());
    write_line(stderr, text);
  }
  return 0;
}
