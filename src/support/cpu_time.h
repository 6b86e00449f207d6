// CPU time of the calling thread, for phase figures and benchmarks: unlike wall
// time, it does not grow when other processes share the machine.
#pragma once

#include <ctime>

namespace brantel::support {

inline double thread_cpu_seconds() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace brantel::support
