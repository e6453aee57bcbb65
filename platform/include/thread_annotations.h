// Annotations for clang's thread-safety analysis (-Wthread-safety). They state which lock
// guards which data and which functions take, give back or need a lock, so that the
// compiler checks every access to guarded data against the locks held at that point.
// Compilers without the attributes (GCC) see nothing: every macro expands to nothing there.
//
// What the analysis can and cannot check in this library is described in README.md,
// "Threads and locks".
#pragma once

#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(capability)
#define PVGEN_THREAD_ANNOTATION(x) __attribute__((x))
#endif
#endif
#ifndef PVGEN_THREAD_ANNOTATION
#define PVGEN_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks ("mutex" names the kind in the compiler's messages).
#define CAPABILITY(x) PVGEN_THREAD_ANNOTATION(capability(x))
// An RAII type that holds a lock for its lifetime.
#define SCOPED_CAPABILITY PVGEN_THREAD_ANNOTATION(scoped_lockable)

// Data members: read or written only with the named lock held.
#define GUARDED_BY(x) PVGEN_THREAD_ANNOTATION(guarded_by(x))
// Pointer members: what they point to is read or written only with the named lock held.
#define PT_GUARDED_BY(x) PVGEN_THREAD_ANNOTATION(pt_guarded_by(x))

// Lock order (checked only with -Wthread-safety-beta).
#define ACQUIRED_BEFORE(...) PVGEN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) PVGEN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// Functions: the caller must (REQUIRES) or must not (EXCLUDES) hold the lock.
#define REQUIRES(...) PVGEN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) PVGEN_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) PVGEN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// Functions: take the lock (held on return) or give it back. Without arguments on a
// member function of a capability type, the lock is the object itself.
#define ACQUIRE(...) PVGEN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PVGEN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PVGEN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// Functions: checks at run time that the lock is held; the analysis takes it as held after.
#define ASSERT_CAPABILITY(x) PVGEN_THREAD_ANNOTATION(assert_capability(x))

// Functions: return a reference to the named lock (lets other classes name a private one).
#define RETURN_CAPABILITY(x) PVGEN_THREAD_ANNOTATION(lock_returned(x))

// Functions: not analysed. Only with a comment saying why the locking is right anyway.
#define NO_THREAD_SAFETY_ANALYSIS PVGEN_THREAD_ANNOTATION(no_thread_safety_analysis)
