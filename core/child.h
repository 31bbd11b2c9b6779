// Work that may crash is done first by a forked child: a library that is not hardened against
// damaged files of its own format can then be asked about a file without taking the program
// down. The child inherits a copy of the whole process and ends with _exit: nothing of the
// parent (windows, files, the log) is touched or flushed by it. The caller must keep other
// threads out of whatever the work uses while the child is forked.
#pragma once

#include <functional>

enum class IChildEnd {
  kNormally,  // the work returned
  kFailed,    // the child crashed (a signal) or exited otherwise
  kTooLong,   // it was still running after the time allowed, and was stopped
  kNoChild,   // no child could be made (fork failed): nothing was learnt
};

// Runs `work` in a child process and waits at most `seconds` for it.
IChildEnd IRunInChild(const std::function<void()>& work, double seconds);
