// Clang's thread-safety annotations, so that members marked GUARDED_BY are checked at compile
// time under clang (-Wthread-safety); under g++ they expand to nothing. Each macro is defined
// only where no other header has defined it already (a library's RELEASE, say), as
// LevelDB's port/thread_annotations.h does, so that including this beside such a header
// never breaks the build.
#pragma once

#ifndef HALVICOURT_THREAD_ANNOTATION
#if defined(__clang__)
#define HALVICOURT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HALVICOURT_THREAD_ANNOTATION(x)
#endif
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) HALVICOURT_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY HALVICOURT_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) HALVICOURT_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) HALVICOURT_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef REQUIRES
#define REQUIRES(...) HALVICOURT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) HALVICOURT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) HALVICOURT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) HALVICOURT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS HALVICOURT_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
