#include "tests/support/TestSupport.h"

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

ScratchDir::~ScratchDir() {
  std::error_code ignored;
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
