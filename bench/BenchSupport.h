// What the benchmark programs share: the folder their scratch files go in.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <system_error>

// The folder TMPDIR names when it is an existing folder, /tmp otherwise: a TMPDIR that names
// a missing folder (a shell left over from another session) must not stop a benchmark, as
// std::filesystem::temp_directory_path() would by throwing.
inline std::filesystem::path BenchTempFolder() {
  if (const char* named = std::getenv("TMPDIR"); named && *named) {
    std::error_code error;
    if (std::filesystem::is_directory(named, error)) return named;
  }
  return "/tmp";
}
