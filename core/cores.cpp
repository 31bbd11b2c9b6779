#include "core/cores.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

unsigned ICoresAvailable() {
  unsigned cores = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) cores = static_cast<unsigned>(CPU_COUNT(&set));
  if (cores == 0) cores = std::thread::hardware_concurrency();
  cores = std::max(1u, cores);
  if (const char* cap = std::getenv("LV_THREADS")) {
    char* end = nullptr;
    const long wanted = std::strtol(cap, &end, 10);
    if (end != cap && *end == '\0' && wanted > 0) cores = std::min<unsigned>(cores, static_cast<unsigned>(std::min(wanted, 4096L)));
  }
  return cores;
}
