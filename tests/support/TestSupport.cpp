#include "tests/support/TestSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "core/database.h"
#include "core/text.h"

std::filesystem::path TestTempFolder() {
  if (const char* named = std::getenv("TMPDIR"); named && *named) {
    std::error_code error;
    if (std::filesystem::is_directory(named, error)) return named;
  }
  return "/tmp";
}

ScratchDir::ScratchDir() {
  std::random_device random;
  path_ = TestTempFolder() /
          ("lumivane-test-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

namespace {

// With LV_FUZZ_SEED_POOL naming a folder, every scratch folder's files are kept there (one
// sub-folder per scratch folder, so that a header and the binary it names stay together):
// scripts/fuzz turns the files the tests write into the fuzzers' seed corpora.
void KeepForFuzzSeeds(const std::filesystem::path& scratch) {
  const char* pool = std::getenv("LV_FUZZ_SEED_POOL");
  if (!pool || !*pool) return;
  static int count = 0;
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path to = fs::path(pool) / (std::to_string(getpid()) + "-" + std::to_string(count++));
  for (const auto& entry : fs::directory_iterator(scratch, error)) {
    // Small files only: a fuzzer's inputs are kilobytes.
    if (!entry.is_regular_file(error) || entry.file_size(error) > (1u << 20)) continue;
    fs::create_directories(to, error);
    fs::copy_file(entry.path(), to / entry.path().filename(), error);
  }
}

}  // namespace

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  KeepForFuzzSeeds(path_);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void ResetCoreState() {
  int status = kStatusGood;
  ICloseLogFile(status);
  IResetStatus(status);
  IClearDataBase();
  IDefault(status);
}

std::filesystem::path SharedData() {
  const std::filesystem::path path(LV_SHARED_DATA);
  return std::filesystem::is_directory(path) ? path : std::filesystem::path();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

bool InContinuousIntegration() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}
