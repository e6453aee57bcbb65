// Seams for the foundation tests: the test program defines a few platform functions itself,
// so the library's calls reach these first (they come before the platform's shared library
// in symbol lookup) and are then passed on to the platform unchanged. They count what the
// library does and can hold the dispatcher at a known point.
#pragma once

#include <string>

class OSW_Event_Semaphore;

namespace foundation_hooks {

// Number of post() calls made on `event` so far (events are told apart by address).
int posts(const OSW_Event_Semaphore& event);

// Number of module registrations made under `name` so far.
int registrations(const std::string& name);

// Notifications (utl_lib_svccall_notify). While the gate is closed, the n-th notification
// of the process returns only once n notifications have been allowed.
void gate_close();
void gate_allow(int n);
void gate_open();
void await_notifications(int n);  // until n notifications have arrived at the gate
int notifications();
// Waits until notification n arrives, or until the thread that made the latest
// notification, after making it, starts a wait on an event that has no post left for it
// (it is going to sleep). Returns the number of notifications by then.
int await_sleep_or_notification(int n);

}  // namespace foundation_hooks
