// Where the file dialogs open and what they propose: each kind of file starts in the folder
// last used for it; the PONI save proposes the image's own name beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/LVCommand.h"
#include "core/database.h"
#include "core/status.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"
#include "ui/LVFileSelect.h"

namespace {

class FileDialogs : public HeadlessAppTest {
 protected:
  std::string Folder(const std::string& name) {
    std::filesystem::create_directories(dir.File(name));
    return std::filesystem::path(dir.File(name)).lexically_normal().string();
  }
  // A 2 x 2 image of unsigned shorts.
  std::string WriteImage(const std::string& path) {
    std::string adsc = "{\nHEADER_BYTES=  512;\nTYPE=unsigned_short;\nSIZE1=2;\nSIZE2=2;\n}\n";
    adsc.resize(512, ' ');
    adsc += std::string(8, '\1');
    WriteFile(path, adsc);
    return path;
  }
  const PFileRequest& LastDialog() const { return fileDialogs->fileRequests.back(); }

  ScratchDir dir;
};

TEST_F(FileDialogs, EachKindOfFileStartsInTheFolderLastUsedForIt) {
  using Select = int (*)(int, std::string&, int&);
  struct Row {
    Select select;
    const char* proposal;
    std::string folder;
    const char* item;
  };
  const Row rows[] = {
      {LVSelectInFile, "data.cbf", Folder("images"), kImagesFolder},
      {LVSelectInMaskFile, "lumivane.msk", Folder("masks"), kMasksFolder},
      {LVSelectOutChiplot, "scan.chi", Folder("scans"), kScansFolder},
      {LVSelectDsFile, "sample.Ds", Folder("calibrants"), kDSpacingsFolder},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.item);
    std::string buffer = row.proposal;
    headless->QueueAnswer(row.folder + "/chosen.file");
    ASSERT_TRUE(row.select(256, buffer, status));
    EXPECT_EQ(LastDialog().directory, "");  // nothing used yet: the current folder
    buffer = row.proposal;
    headless->QueueAnswer("cancel");
    EXPECT_FALSE(row.select(256, buffer, status));
    EXPECT_EQ(LastDialog().directory, row.folder);
    EXPECT_EQ(LastDialog().initialName, row.proposal);
    std::string stored;
    IGetDBItem(row.item, stored, status);  // kept for the next run
    EXPECT_EQ(stored, row.folder);
  }
  // A proposal with a folder of its own is shown there.
  std::string beside = dir.File("elsewhere/frame.chi");
  headless->QueueAnswer("cancel");
  LVSelectOutChiplot(256, beside, status);
  EXPECT_EQ(LastDialog().directory, "");
  EXPECT_EQ(LastDialog().initialName, beside);

  // A series starts among the images until a series was chosen somewhere else.
  FileSeries series;
  const std::string run = Folder("run42");
  headless->QueueAnswer(run + "/f_2.cbf;" + run + "/f_1.cbf");
  ASSERT_TRUE(LVSelectInFS("FS_Test", 10, series, status));
  EXPECT_EQ(LastDialog().directory, rows[0].folder);
  headless->QueueAnswer("cancel");
  LVSelectInFS("FS_Test", 10, series, status);
  EXPECT_EQ(LastDialog().directory, run);
  // An image opened by name counts as used too.
  const std::string other = Folder("other");
  ASSERT_TRUE(LVCommand("Open_File", CommandEvent{.text = WriteImage(other + "/x.img")}, status));
  std::string buffer = "data.cbf";
  headless->QueueAnswer("cancel");
  LVSelectInFile(256, buffer, status);
  EXPECT_EQ(LastDialog().directory, other);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(FileDialogs, SavePoniProposesTheImagesNameBesideIt) {
  const std::string image = WriteImage(Folder("images") + "/frame_7.img");
  ASSERT_TRUE(LVCommand("Open_File", CommandEvent{.text = image}, status));
  DataSet& d = LVStores().Main();
  d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
  d.distance = 0.2f;
  d.wavelength = 0.4e-10f;
  const std::string calibration = Folder("calibration");
  ISetDBItem("PONI_File", calibration + "/ceo2.poni", status);  // the last PONI file read

  headless->QueueAnswer("cancel");
  EXPECT_FALSE(LVCommand("Save_PONI", CommandEvent{.text = "?"}, status));
  EXPECT_EQ(LastDialog().initialName, Folder("images") + "/frame_7.poni");
  headless->QueueAnswer("cancel");
  EXPECT_FALSE(LVCommand("Load_PONI", CommandEvent{.text = "?"}, status));
  EXPECT_EQ(LastDialog().initialName, calibration + "/ceo2.poni");

  // Data that came from no file: the usual name, in the folder of the last PONI file saved.
  headless->QueueAnswer(calibration + "/mine.poni");
  headless->QueueAnswer("no");
  ASSERT_TRUE(LVCommand("Save_PONI", CommandEvent{.text = "?"}, status));
  d.fileName.clear();
  headless->QueueAnswer("cancel");
  EXPECT_FALSE(LVCommand("Save_PONI", CommandEvent{.text = "?"}, status));
  EXPECT_EQ(LastDialog().initialName, "geometry.poni");
  EXPECT_EQ(LastDialog().directory, calibration);
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
