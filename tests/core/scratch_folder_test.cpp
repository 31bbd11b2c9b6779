// The scratch folders of the tests and benchmarks: TMPDIR when it names an existing folder,
// /tmp when it names a missing one, never an abort.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

#include "bench/BenchSupport.h"
#include "tests/support/TestSupport.h"

namespace {

// Sets TMPDIR for one test and puts the old value back.
class TmpDirSetting {
 public:
  explicit TmpDirSetting(const std::string& value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    setenv("TMPDIR", value.c_str(), 1);
  }
  ~TmpDirSetting() {
    if (old_) {
      setenv("TMPDIR", old_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }
  TmpDirSetting(const TmpDirSetting&) = delete;
  TmpDirSetting& operator=(const TmpDirSetting&) = delete;

 private:
  std::optional<std::string> old_;
};

TEST(ScratchFolder, AMissingTmpDirFallsBackToTmp) {
  const std::string missing = "/tmp/lumivane-no-such-folder-" + std::to_string(::getpid());
  ASSERT_FALSE(std::filesystem::exists(missing));
  const TmpDirSetting setting(missing);
  EXPECT_EQ(TestTempFolder(), std::filesystem::path("/tmp"));
  EXPECT_EQ(BenchTempFolder(), std::filesystem::path("/tmp"));
  std::filesystem::path made;
  {
    const ScratchDir scratch;
    made = scratch.path();
    EXPECT_EQ(made.parent_path(), std::filesystem::path("/tmp"));
    EXPECT_TRUE(std::filesystem::is_directory(made));
    WriteFile(scratch.File("a.txt"), "x");
    EXPECT_EQ(ReadFile(scratch.File("a.txt")), "x");
  }
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_FALSE(std::filesystem::exists(missing));  // nothing creates the named folder
}

TEST(ScratchFolder, AnExistingTmpDirIsUsedAndAFileNameIsNot) {
  const ScratchDir outer;
  {
    const TmpDirSetting setting(outer.path().string());
    EXPECT_EQ(TestTempFolder(), outer.path());
    EXPECT_EQ(BenchTempFolder(), outer.path());
    const ScratchDir inner;
    EXPECT_EQ(inner.path().parent_path(), outer.path());
  }
  // TMPDIR naming a plain file is no folder either.
  WriteFile(outer.File("plain"), "");
  const TmpDirSetting setting(outer.File("plain"));
  EXPECT_EQ(TestTempFolder(), std::filesystem::path("/tmp"));
  EXPECT_EQ(BenchTempFolder(), std::filesystem::path("/tmp"));
  {
    const TmpDirSetting empty("");
    EXPECT_EQ(TestTempFolder(), std::filesystem::path("/tmp"));
    EXPECT_EQ(BenchTempFolder(), std::filesystem::path("/tmp"));
  }
}

}  // namespace
