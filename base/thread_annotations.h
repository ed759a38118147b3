#pragma once

// Lock annotations that clang's -Wthread-safety checks at compile time; other
// compilers see nothing. Guarded members say which mutex guards them, and
// functions say which mutex they need held or take themselves.

#if defined(__clang__)
#define TALLY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TALLY_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TALLY_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TALLY_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TALLY_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TALLY_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TALLY_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) TALLY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TALLY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TALLY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) TALLY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TALLY_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TALLY_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TALLY_THREAD_ANNOTATION(no_thread_safety_analysis)
