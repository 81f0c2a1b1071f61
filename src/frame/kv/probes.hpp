// Probes: named points in the free-threaded code at which a test can park
// one chosen thread, so that a race the design exists to survive (a reader
// inside its section while a writer unlinks, a writer between an unlink and
// its reclamation, a fork while a lock is held) happens on purpose rather
// than by luck.
//
// A point costs one relaxed load of a word that nothing writes unless a
// test arms it. The controls are published only when the environment names
// KORVANE_PROBES at import, as a module of their own in sys.modules,
// "<dotted name>._probes", with these functions:
//
//   park(point, thread, after=0)
//                          the next arrival of the thread with that
//                          identity (threading.get_ident()) at `point`,
//                          after letting `after` arrivals pass, stops
//                          there, detached, until release(point)
//   wait(point, timeout)   True once that thread is parked at `point`
//   release(point)         lets it go on; the point is disarmed
//   arrivals(point)        how many times the armed thread passed `point`
//
// Points 0 and 1 are the frame's own: "section_end" (a thread about to leave
// its outermost read section, everything read) and "synchronize" (a writer
// about to wait for the readers of what it unlinked). A module names more.
// The default build has no read sections or grace periods: probes compile
// to nothing there and no controls are published.
#pragma once

#include <Python.h>

#include <atomic>

#ifdef Py_GIL_DISABLED
#include <time.h>
#endif

namespace kv::probes {

enum Point : unsigned { kSectionEnd = 0, kSynchronize = 1, kFirstModulePoint = 2 };
inline constexpr unsigned kMaxPoints = 8;

#ifdef Py_GIL_DISABLED

namespace detail {

struct Probe {
  std::atomic<unsigned long> thread{0};  // the armed thread's identity
  std::atomic<int> arrivals{0};
  std::atomic<int> after{0};  // arrivals to let pass before the one that parks
  std::atomic<bool> parked{false};
  std::atomic<bool> released{false};
};

inline std::atomic<unsigned> armed{0};  // bit p: point p has an armed thread
inline Probe table[kMaxPoints];
inline const char* const* point_names = nullptr;  // null-terminated, set by publish()

inline void pause() noexcept {
  timespec t{0, 200000};
  nanosleep(&t, nullptr);
}

[[gnu::cold, gnu::noinline]] inline void arrive(unsigned p) noexcept {
  Probe& probe = table[p];
  if (probe.thread.load(std::memory_order_acquire) != PyThread_get_thread_ident()) return;
  int before = probe.arrivals.fetch_add(1, std::memory_order_acq_rel);
  if (before < probe.after.load(std::memory_order_relaxed) || probe.released.load(std::memory_order_acquire)) return;
  // Detached while parked, so that a stop-the-world pause (a collection, a
  // fork) in the test's own threads does not wait for this one.
  PyThreadState* attached = PyThreadState_GetUnchecked() != nullptr ? PyEval_SaveThread() : nullptr;
  probe.parked.store(true, std::memory_order_release);
  while (!probe.released.load(std::memory_order_acquire)) pause();
  probe.parked.store(false, std::memory_order_release);
  if (attached != nullptr) PyEval_RestoreThread(attached);
}

}  // namespace detail

inline void at(unsigned p) noexcept {
  if (detail::armed.load(std::memory_order_relaxed) & (1u << p)) [[unlikely]] detail::arrive(p);
}

#else

inline void at(unsigned) noexcept {}

#endif

}  // namespace kv::probes
