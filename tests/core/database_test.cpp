// The internal data-base: typed items, limits, file format and corrupted files.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include <sys/resource.h>
#include <sys/stat.h>

#include "core/database.h"
#include "core/status.h"
#include "tests/support/TestSupport.h"

namespace {

class DataBaseTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }
  RecordingSink sink;
  ScratchDir dir;
  int status = kStatusGood;
};

TEST_F(DataBaseTest, TypedItemsRoundTripThroughText) {
  ISetDBIntItem("Colour_Table", 705, status);
  ISetDBRealItem("Beam_CentreX", 1024.5f, status);
  ISetDBBooleanItem("Mask_Lower_Threshold", 7, status);
  ISetDBItem("Calibrant_User_File", "/tmp/d.txt", status);

  std::string text;
  IGetDBItem("Beam_CentreX", text, status);
  EXPECT_EQ(text, "1024.500000");
  IGetDBItem("Mask_Lower_Threshold", text, status);
  EXPECT_EQ(text, "True");

  int i = 0;
  float r = 0.0f;
  int b = 0;
  EXPECT_TRUE(IGetDBIntItem("Colour_Table", i, status));
  EXPECT_EQ(i, 705);
  EXPECT_TRUE(IGetDBRealItem("Beam_CentreX", r, status));
  EXPECT_FLOAT_EQ(r, 1024.5f);
  EXPECT_TRUE(IGetDBBooleanItem("Mask_Lower_Threshold", b, status));
  EXPECT_EQ(b, kTrue);

  // Six decimals: a tiny value reads back as 0.
  ISetDBRealItem("Small", 0.0000004f, status);
  IGetDBRealItem("Small", r, status);
  EXPECT_EQ(r, 0.0f);
}

TEST_F(DataBaseTest, MissingKeysLeaveOutputsAndTrailingBlanksFindTheSameKey) {
  int i = 42;
  EXPECT_FALSE(IGetDBIntItem("Absent", i, status));
  EXPECT_EQ(i, 42);
  ISetDBIntItem("Key", 1, status);
  ISetDBIntItem("Key  \t", 2, status);
  EXPECT_EQ(IDataBaseItemCount(), 1);
  IGetDBIntItem("Key\n", i, status);
  EXPECT_EQ(i, 2);
  // An integer item holding text gives the conversion's own false.
  ISetDBItem("Text", "abc", status);
  EXPECT_FALSE(IGetDBIntItem("Text", i, status));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(DataBaseTest, TheFiveHundredthKeyIsNotStored) {
  for (int k = 0; k < kDataBaseMaxItems; ++k) {
    ASSERT_TRUE(ISetDBIntItem("Key_" + std::to_string(k), k, status));
  }
  EXPECT_FALSE(ISetDBIntItem("Key_499", 1, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(IDataBaseItemCount(), kDataBaseMaxItems);
  // Existing keys still change.
  EXPECT_TRUE(ISetDBIntItem("Key_0", 77, status));
  int value = 0;
  IGetDBIntItem("Key_0", value, status);
  EXPECT_EQ(value, 77);
}

TEST_F(DataBaseTest, SavedFileHasTheFixedFormatWithoutRunOnlyKeys) {
  ISetDBRealItem("Beam_CentreX", 1024.5f, status);
  ISetDBItem("#Starting_Directory", "/somewhere", status);
  ISetDBIntItem("Colour_Table", 701, status);
  const std::string path = dir.File("Lumivane.idb");
  ASSERT_TRUE(ISaveDataBase(path, status));
  EXPECT_EQ(ReadFile(path),
            "# Quorvel: Internal Data-Base File\n\n"
            "# DO NOT ALTER YOURSELF (unless you live life on the edge !)\n\n"
            "Beam_CentreX = 1024.500000;\n"
            "Colour_Table = 701;\n"
            "\n# Quorvel: End of Internal Data-Base File\n");

  IClearDataBase();
  ASSERT_TRUE(ILoadDataBase(path, status));
  std::string text;
  IGetDBItem("Beam_CentreX", text, status);
  EXPECT_EQ(text, "1024.500000");
  EXPECT_FALSE(IGetDBItem("#Starting_Directory", text, status));
  EXPECT_EQ(IDataBaseItemCount(), 2);
}

TEST_F(DataBaseTest, HandEditedLineLosesOneCharacterEachSide) {
  const std::string path = dir.File("edited.idb");
  WriteFile(path,
            "# Quorvel: Internal Data-Base File\n\n# DO NOT ALTER\n\n"
            "Beam_CentreX=1024;\n\n   \n# a comment\nTitle = a = b;  \n"
            "\n# Quorvel: End of Internal Data-Base File\n");
  ASSERT_TRUE(ILoadDataBase(path, status));
  std::string text;
  EXPECT_TRUE(IGetDBItem("Beam_Centre", text, status));
  EXPECT_EQ(text, "024");
  EXPECT_TRUE(IGetDBItem("Title", text, status));
  EXPECT_EQ(text, "a = b");
  EXPECT_TRUE(sink.boxes.empty());
}

TEST_F(DataBaseTest, CorruptedLineKeepsItemsReadBeforeIt) {
  const std::string path = dir.File("broken.idb");
  WriteFile(path,
            "# Quorvel: Internal Data-Base File\n\n\n\n"
            "A = 1;\nno separators here\nB = 2;\n"
            "# Quorvel: End of Internal Data-Base File\n");
  EXPECT_TRUE(ILoadDataBase(path, status));
  EXPECT_EQ(IDataBaseItemCount(), 1);
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0], "WARNING: ILoadDataBase; The Quorvel data-base file has been corrupted");

  // Semicolon before the equals sign, and a file without its end line, are corrupted too.
  sink.lines.clear();
  IClearDataBase();
  WriteFile(path, "# Quorvel: Internal Data-Base File\n\n\n\nA = 1;\nB; = 2\n");
  EXPECT_TRUE(ILoadDataBase(path, status));
  EXPECT_EQ(IDataBaseItemCount(), 1);
  EXPECT_EQ(sink.lines.size(), 1u);
  IClearDataBase();
  WriteFile(path, "# Quorvel: Internal Data-Base File\n\n\n\nA = 1;\n");
  EXPECT_TRUE(ILoadDataBase(path, status));
  EXPECT_EQ(IDataBaseItemCount(), 1);
  EXPECT_EQ(sink.lines.size(), 2u);
}

TEST_F(DataBaseTest, ForeignAndMissingFiles) {
  const std::string path = dir.File("other.idb");
  WriteFile(path, "something else\n");
  EXPECT_FALSE(ILoadDataBase(path, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(sink.lines.back(),
            "WARNING: ILoadDataBase; File is not a Quorvel data-base, or has been corrupted: "
            "something else");

  WriteFile(path, "");
  EXPECT_FALSE(ILoadDataBase(path, status));
  EXPECT_EQ(status, kStatusRead);
  IResetStatus(status);

  EXPECT_FALSE(ILoadDataBase(dir.File("absent.idb"), status));
  EXPECT_EQ(status, kStatusFileOpen);
}

TEST_F(DataBaseTest, LongestKeysAndValuesSurviveSaveAndLoad) {
  const std::string key(255, 'k');
  const std::string value(255, 'v');
  ISetDBItem(key + "extra", value + "extra", status);
  const std::string path = dir.File("long.idb");
  ISaveDataBase(path, status);
  IClearDataBase();
  ASSERT_TRUE(ILoadDataBase(path, status));
  std::string text;
  EXPECT_TRUE(IGetDBItem(key, text, status));
  EXPECT_EQ(text, value);
  EXPECT_TRUE(sink.lines.empty());
}

// Makes writes beyond `bytes` fail as on a full disk, for the life of the object.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST_F(DataBaseTest, FailedWriteKeepsTheOldFile) {
  const std::string path = dir.File("Lumivane.idb");
  ISetDBIntItem("Kept", 1, status);
  ASSERT_TRUE(ISaveDataBase(path, status));
  const std::string before = ReadFile(path);

  for (int k = 0; k < 100; ++k) ISetDBIntItem("Filler_" + std::to_string(k), k, status);
  {
    FileSizeLimit full(200);
    EXPECT_FALSE(ISaveDataBase(path, status));
  }
  EXPECT_EQ(status, kStatusWrite);
  EXPECT_EQ(ReadFile(path), before);
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);  // no temporary left behind
}

TEST_F(DataBaseTest, NameTakenByADirectoryIsLeftAlone) {
  // The name is taken by a directory: the new file cannot be put in its place.
  const std::string path = dir.File("taken");
  std::filesystem::create_directory(path);
  ISetDBIntItem("A", 1, status);
  EXPECT_FALSE(ISaveDataBase(path, status));
  EXPECT_EQ(status, kStatusFileOpen);
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST_F(DataBaseTest, SaveThroughALinkReplacesTheFileItNames) {
  const std::string real = dir.File("settings.idb");
  const std::string link = dir.File("Lumivane.idb");
  WriteFile(real, "old");
  std::filesystem::create_symlink(real, link);
  ISetDBIntItem("A", 1, status);
  ASSERT_TRUE(ISaveDataBase(link, status));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_NE(ReadFile(real).find("A = 1;"), std::string::npos);
}

TEST_F(DataBaseTest, AReadOnlyFileIsNotReplaced) {
  // Renaming over a file needs only the folder's permission; a data-base the user made
  // read-only to keep its settings must stay as it is.
  const std::string path = dir.File("Lumivane.idb");
  WriteFile(path, "kept");
  chmod(path.c_str(), 0444);
  ISetDBIntItem("A", 1, status);
  EXPECT_FALSE(ISaveDataBase(path, status));
  EXPECT_EQ(status, kStatusFileOpen);
  EXPECT_EQ(ReadFile(path), "kept");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0444u);
  chmod(path.c_str(), 0644);
}

TEST_F(DataBaseTest, SaveIntoAMissingDirectoryFailsToOpen) {
  EXPECT_FALSE(ISaveDataBase(dir.File("absent/Lumivane.idb"), status));
  EXPECT_EQ(status, kStatusFileOpen);
}

}  // namespace
