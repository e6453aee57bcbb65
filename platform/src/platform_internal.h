// Internals shared by the platform's source files: the record keeping behind
// platform_capture.h and the ThreadSanitizer switch.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

#include "platform_capture.h"

#if defined(PVGEN_TSAN) || defined(__SANITIZE_THREAD__)
#define PLATFORM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLATFORM_TSAN 1
#endif
#endif
#ifndef PLATFORM_TSAN
#define PLATFORM_TSAN 0
#endif

namespace platform::detail {

// Each returns true when capture is on and the record was kept; false means the caller
// writes the line to its stream itself.
bool keep_trace_line(int module, int level, int zero, std::string text);
bool keep_notification(Notification note);
bool keep_receiver_line(std::string line);

void record_priority(pthread_t thread, int priority);
void record_page_info(QUORL_PAGE_INFO* info);
void record_started_thread(const std::string& name, pthread_t thread);
// Counts a mutex (event false) or event (event true) being created.
void count_os_object(bool event);
// Internal to the platform library: the framework's trace_set reaches it without a call
// through the procedure linkage table.
[[gnu::visibility("hidden")]] void record_trace_point(unsigned short category, unsigned short code,
                                                      int flag);

}  // namespace platform::detail
