// Runs a piece of a test in a child process with a time limit, so that a regression that
// blocks (a pipe opened for reading) or never ends (a device read to its end) fails the test
// instead of hanging the suite. The child may also be held to an address-space limit, so that
// an allocation of gigabytes fails there instead of succeeding quietly on a large machine.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

// The child's exit code (the body's result, 0 to 255), or -1 when it was killed for running
// past `seconds` or ended by a signal.
inline int RunInChild(const std::function<int()>& body, int seconds,
                      std::int64_t addressSpaceBytes = 0) {
  const pid_t child = fork();
  if (child < 0) return -2;
  if (child == 0) {
    alarm(static_cast<unsigned>(seconds));
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves terabytes of shadow memory: no limit can be set under it.
    if (addressSpaceBytes > 0) {
      rlimit limit{static_cast<rlim_t>(addressSpaceBytes), static_cast<rlim_t>(addressSpaceBytes)};
      setrlimit(RLIMIT_AS, &limit);
    }
#else
    (void)addressSpaceBytes;
#endif
    _exit(body() & 0xFF);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 2);
  int wstatus = 0;
  for (;;) {
    const pid_t done = waitpid(child, &wstatus, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &wstatus, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}
