#pragma once

// Clang's thread-safety analysis (-Wthread-safety, the "threads" build): which lock guards
// which state, and which functions need it held, are checked at compile time. Other compilers
// see nothing. The analysis looks at one function at a time and does not model re-entrant
// acquisition: a function takes a re-entrant locker once, and callees that need it held say
// so with REQUIRES instead of taking it again.
#if defined(__clang__)
#define VELBOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELBOR_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(x) VELBOR_THREAD_ANNOTATION(capability(x))
// A type whose objects hold a lock for their lifetime.
#define SCOPED_CAPABILITY VELBOR_THREAD_ANNOTATION(scoped_lockable)
// A member or variable read and written only with the lock held.
#define GUARDED_BY(x) VELBOR_THREAD_ANNOTATION(guarded_by(x))
// What a pointer member points to is read and written only with the lock held.
#define PT_GUARDED_BY(x) VELBOR_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller holds these locks.
#define REQUIRES(...) VELBOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes these locks and returns with them held.
#define ACQUIRE(...) VELBOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases these locks (none named: the scoped object's own).
#define RELEASE(...) VELBOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the locks when it returns `result`.
#define TRY_ACQUIRE(...) VELBOR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold these locks (the function takes them and is not re-entrant).
#define EXCLUDES(...) VELBOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns a reference to this lock: both name the same lock.
#define RETURN_CAPABILITY(x) VELBOR_THREAD_ANNOTATION(lock_returned(x))
// Not checked; every use says why in a comment.
#define NO_THREAD_SAFETY_ANALYSIS VELBOR_THREAD_ANNOTATION(no_thread_safety_analysis)
