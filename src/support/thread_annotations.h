// Clang -Wthread-safety annotations; empty on other compilers.
#pragma once

#if defined(__clang__)
#define BRANTEL_THREAD_ATTR(x) __attribute__((x))
#else
#define BRANTEL_THREAD_ATTR(x)
#endif

#define BRANTEL_CAPABILITY(name) BRANTEL_THREAD_ATTR(capability(name))
#define BRANTEL_SCOPED_CAPABILITY BRANTEL_THREAD_ATTR(scoped_lockable)
#define BRANTEL_GUARDED_BY(m) BRANTEL_THREAD_ATTR(guarded_by(m))
#define BRANTEL_ACQUIRED_AFTER(...) BRANTEL_THREAD_ATTR(acquired_after(__VA_ARGS__))
#define BRANTEL_ACQUIRE(...) BRANTEL_THREAD_ATTR(acquire_capability(__VA_ARGS__))
#define BRANTEL_TRY_ACQUIRE(...) BRANTEL_THREAD_ATTR(try_acquire_capability(__VA_ARGS__))
#define BRANTEL_RELEASE(...) BRANTEL_THREAD_ATTR(release_capability(__VA_ARGS__))
#define BRANTEL_REQUIRES(...) BRANTEL_THREAD_ATTR(requires_capability(__VA_ARGS__))
#define BRANTEL_NO_THREAD_SAFETY_ANALYSIS BRANTEL_THREAD_ATTR(no_thread_safety_analysis)
