// Opening files through the "Open_File" command and printing, as a user of command scripts
// does: by name, through the file dialog with data-set and image prompts, and from the
// command line.
#include <gtest/gtest.h>
#include <hdf5.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "core/status.h"
#include "data/Experiment.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"

namespace {

std::string Bytes(const void* data, std::size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

class OpenFiles : public HeadlessAppTest {
 protected:
  int Open(const std::string& text) {
    CommandEvent event;
    event.text = text;
    return LVCommand("Open_File", event, status);
  }
  bool Saw(const std::string& line) {
    for (const auto& held : IInfoLines())
      if (held == line) return true;
    return false;
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    WriteFile(dir.File(name), bytes);
    return dir.File(name);
  }

  ScratchDir dir;
};

TEST_F(OpenFiles, EachTextHeaderFormatOpensByName) {
  std::string adsc = "{\nHEADER_BYTES=  512;\nDIM=2;\nBYTE_ORDER=little_endian;\n"
                     "TYPE=unsigned_short;\nSIZE1=4;\nSIZE2=3;\n}\n";
  adsc.resize(512, ' ');
  const std::uint16_t pixels[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1200};
  adsc += Bytes(pixels, sizeof pixels);
  ASSERT_TRUE(Open(Write("frame.img", adsc)));
  EXPECT_TRUE(Saw("INFO: Input image size = 4 * 3 pixels"));
  const DataSet& main = LVStores().Main();
  EXPECT_EQ(main.data[11], 1200.0f);
  EXPECT_EQ(main.title, "frame.img");
  EXPECT_EQ(main.fileName, dir.File("frame.img"));

  // The header is padded with blanks so that its closing brace ends the 512-byte block.
  std::string edf = "{\nEDF_DataBlockID = 0.Image.Psd ;\nDim_1 = 2 ;\nDim_2 = 2 ;\n"
                    "DataType = FloatValue ;\nByteOrder = LowByteFirst ;\n";
  edf.resize(510, ' ');
  edf += "}\n";
  const float reals[4] = {0.5f, 1.5f, 2.5f, -3.5f};
  edf += Bytes(reals, sizeof reals);
  ASSERT_TRUE(Open(Write("modern.edf", edf)));
  EXPECT_TRUE(Saw("INFO: The file contains a 'Klora' format image"));
  EXPECT_EQ(LVStores().Main().data[3], -3.5f);

  // A volume opened by name reads its first slice without asking.
  const float volume[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  Write("vol.raw", Bytes(volume, sizeof volume));
  const std::string info =
      Write("vol.raw.info", "! HST_SLAVE VOLUME INFO FILE\nNUM_X = 3\nNUM_Y = 2\nNUM_Z = 2\n");
  ASSERT_TRUE(Open(info));
  EXPECT_TRUE(Saw("INFO: Data set contains 2 images"));
  EXPECT_EQ(LVStores().Main().data[0], 1.0f);
  // Through the dialog the slice is asked for.
  headless->QueueAnswer(info);
  headless->QueueAnswer("2");
  ASSERT_TRUE(Open("?"));
  EXPECT_EQ(LVStores().Main().data[0], 7.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(OpenFiles, BslDataSetsAreListedAndAskedOnlyThroughTheDialog) {
  const std::uint16_t first[4] = {1, 2, 3, 4};
  const std::uint16_t second[6] = {10, 20, 30, 40, 50, 60};
  Write("A01000.001", Bytes(first, sizeof first));
  Write("A02000.001", Bytes(second, sizeof second));
  const std::string header = Write("A00000.000",
                                   "title\ndescription\n2 2 1 1 4 0 0 0 0 0\nA01000.001\n"
                                   "3 2 1 1 4 0 0 0 0 0\nA02000.001\n");
  ASSERT_TRUE(Open(header));
  EXPECT_TRUE(Saw("INFO: Data-set 2 contains 3 * 2 image"));
  EXPECT_EQ(LVStores().Main().numX, 2);
  headless->QueueAnswer(header);
  headless->QueueAnswer("2");
  ASSERT_TRUE(Open("?"));
  EXPECT_EQ(LVStores().Main().numX, 3);
  EXPECT_EQ(LVStores().Main().data[5], 60.0f);
  // A cancelled choice reads nothing.
  headless->QueueAnswer(header);
  headless->QueueAnswer("cancel");
  EXPECT_FALSE(Open("?"));
  EXPECT_EQ(LVStores().Main().numX, 3);
}

// Two scans of a beamline file, each an image stack of its own (2 frames of 3 x 2 with the
// values 100 f + i, 3 frames of 4 x 2 with 200 f + i): the dialog offers both in a pop-up that
// a script answers "store N"; by name the first opens; the information window names the path.
TEST_F(OpenFiles, HdfStacksAreOfferedInAPopUpThroughTheDialog) {
  const std::string name = dir.File("scans.h5");
  {
    const hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    const struct {
      const char* path;
      hsize_t frames, columns;
      float base;
    } stacks[] = {{"/1.1/instrument/cam/data", 2, 3, 100.0f},
                  {"/2.1/instrument/cam/data", 3, 4, 200.0f}};
    for (const auto& stack : stacks) {
      const hsize_t dims[3] = {stack.frames, 2, stack.columns};
      std::vector<float> values;
      for (hsize_t f = 0; f < stack.frames; ++f)
        for (hsize_t i = 0; i < 2 * stack.columns; ++i)
          values.push_back(stack.base * static_cast<float>(f + 1) + static_cast<float>(i));
      const hid_t space = H5Screate_simple(3, dims, nullptr);
      const hid_t dataset = H5Dcreate2(file, stack.path, H5T_IEEE_F32LE, space, lcpl,
                                       H5P_DEFAULT, H5P_DEFAULT);
      H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
      H5Dclose(dataset);
      H5Sclose(space);
    }
    H5Pclose(lcpl);
    H5Fclose(file);
  }
  ASSERT_TRUE(Open(name));
  EXPECT_TRUE(Saw("INFO: HDF5 data-set opened: /1.1/instrument/cam/data"));
  EXPECT_EQ(LVStores().Main().numX, 3);
  EXPECT_EQ(LVStores().Main().data[0], 100.0f);

  headless->QueueAnswer(name);
  headless->QueueAnswer("store 1");
  headless->QueueAnswer("3");
  ASSERT_TRUE(Open("?"));
  EXPECT_TRUE(Saw("INFO: Data-set 2: /2.1/instrument/cam/data (3 frames of 4 * 2)"));
  EXPECT_TRUE(Saw("INFO: HDF5 data-set opened: /2.1/instrument/cam/data"));
  const DataSet& main = LVStores().Main();
  ASSERT_EQ(main.numX, 4);
  EXPECT_EQ(main.data[0], 600.0f);
  EXPECT_EQ(main.data[7], 607.0f);
  bool offered = false;
  for (const auto& line : transcript) {
    offered = offered || (line.find("Choose the image data-set to open") != std::string::npos &&
                          line.find("/2.1/instrument/cam/data (3 frames of 4 * 2)") !=
                              std::string::npos);
  }
  EXPECT_TRUE(offered);
  // A cancelled pop-up reads nothing.
  headless->QueueAnswer(name);
  headless->QueueAnswer("cancel");
  EXPECT_FALSE(Open("?"));
  EXPECT_EQ(LVStores().Main().data[7], 607.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(OpenFiles, EmptyArgumentAndUnknownFiles) {
  EXPECT_FALSE(Open(""));
  EXPECT_TRUE(Saw("ERROR: LVOpenFile; Open_File command, but no defined argument"));
  ASSERT_TRUE(IOpenLogFile(dir.File("lumivane.log"), status));
  EXPECT_FALSE(Open(Write("empty.dat", "")));
  // One plain warning for the user; the lines of each routine that gave up are in the log.
  EXPECT_TRUE(Saw("WARNING: empty.dat is not an image format Lumivane reads (ADSC, Bruker, BSL, "
                  "CBF, Chiplot, Klora, MarResearch, Princeton, TIFF, volume slices, "
                  "HDF5/NeXus)"));
  EXPECT_FALSE(Saw("WARNING: Failed to input data from file"));
  ICloseLogFile(status);
  const std::string log = ReadFile(dir.File("lumivane.log"));
  EXPECT_NE(log.find("WARNING: FInputData: Problem recognising file format for file: " +
                     dir.File("empty.dat")),
            std::string::npos);
  EXPECT_NE(log.find("WARNING: Failed to input data from file"), std::string::npos);
  EXPECT_EQ(status, kStatusGood);
}

// Every way of reading a file shows one box for a file of no known format.
TEST_F(OpenFiles, AFileOfNoKnownFormatGivesOneBoxWhicheverCommandReadsIt) {
  const std::string notes = Write("notes.txt", "Beam time notes\nsample 3, 20 minutes\n");
  const std::string plain = "WARNING: notes.txt is not an image format Lumivane reads";
  struct Row {
    const char* command;
    std::string text;
  };
  const Row rows[] = {{"Open_File", notes}, {"Open_Frame", "1 " + notes}, {"Load_Dark", notes}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    IInfoClear();
    const std::size_t alarms = headless->Alarms();
    CommandEvent event;
    event.text = row.text;
    EXPECT_FALSE(LVCommand(row.command, event, status));
    EXPECT_EQ(headless->Alarms(), alarms + 1);
    std::vector<std::string> warnings;
    for (const auto& line : IInfoLines())
      if (line.rfind("WARNING: ", 0) == 0) warnings.push_back(line);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(plain, 0), 0u) << warnings[0];
    EXPECT_EQ(status, kStatusGood);
  }
}

TEST_F(OpenFiles, QuotedCommandLineWithBlanksOpensAtTheFirstPaint) {
  std::string adsc = "{\nHEADER_BYTES=  512;\nTYPE=unsigned_short;\nSIZE1=2;\nSIZE2=2;\n}\n";
  adsc.resize(512, ' ');
  const std::uint16_t pixels[4] = {4, 3, 2, 1};
  adsc += Bytes(pixels, sizeof pixels);
  const std::string path = Write("with blanks.img", adsc);
  ASSERT_TRUE(LVCommandLine("\"" + path + "\"", status));
  LVFirstPaint(status);
  EXPECT_EQ(LVStores().stores[0].numX, 2);
  EXPECT_EQ(LVStores().stores[0].fileName, path);
}

TEST_F(OpenFiles, PrintingAnImageWritesAPdfPage) {
  std::string adsc = "{\nHEADER_BYTES=  512;\nTYPE=unsigned_short;\nSIZE1=64;\nSIZE2=64;\n}\n";
  adsc.resize(512, ' ');
  std::string pixels;
  for (int i = 0; i < 64 * 64; ++i) {
    const std::uint16_t v = static_cast<std::uint16_t>(i % 97);
    pixels += Bytes(&v, 2);
  }
  ASSERT_TRUE(Open(Write("print.img", adsc + pixels)));
  const std::string pdf = dir.File("page.pdf");
  headless->QueueAnswer(pdf);
  CommandEvent event;
  ASSERT_TRUE(LVCommand("Print_Data", event, status));
  const std::string bytes = ReadFile(pdf);
  ASSERT_GT(bytes.size(), 1000u);
  EXPECT_EQ(bytes.rfind("%PDF", 0), 0u);
  // Without data, nothing is printed.
  LVCommand("Set_Main_Dataset", CommandEvent{.value = 7}, status);
  headless->QueueAnswer(dir.File("none.pdf"));
  EXPECT_FALSE(LVCommand("Print_Data", event, status));
  EXPECT_TRUE(Saw("WARNING: Printing not possible as no data is defined"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("none.pdf")));

  // The page is written as every save: a pipe or a read-only file under the name is refused
  // and left as it was.
  LVCommand("Set_Main_Dataset", CommandEvent{.value = 0}, status);
  headless->ClearAnswers();  // the answer the refused print left
  ASSERT_EQ(mkfifo(dir.File("pipe.pdf").c_str(), 0600), 0);
  WriteFile(dir.File("kept.pdf"), "kept");
  chmod(dir.File("kept.pdf").c_str(), 0444);
  for (const char* name : {"pipe.pdf", "kept.pdf"}) {
    headless->QueueAnswer(dir.File(name));
    EXPECT_FALSE(LVCommand("Print_Data", event, status)) << name;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.File("pipe.pdf")));
  EXPECT_EQ(ReadFile(dir.File("kept.pdf")), "kept");
}

// A refused file leaves the image already loaded as it was: data, mask, geometry, title and
// display placement. Each of these files is recognised, passes the header checks and is only
// refused by its reader.
TEST_F(OpenFiles, ARefusedFileKeepsTheLoadedImage) {
  std::string adsc = "{\nHEADER_BYTES=  512;\nBYTE_ORDER=little_endian;\nTYPE=unsigned_short;\n"
                     "SIZE1=4;\nSIZE2=3;\n}\n";
  adsc.resize(512, ' ');
  const std::uint16_t pixels[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1200};
  adsc += Bytes(pixels, sizeof pixels);
  ASSERT_TRUE(Open(Write("frame.img", adsc)));
  DataSet& main = LVStores().Main();
  ASSERT_TRUE(IAllocateMask(main, status));
  main.mask[3] = 1;
  main.maskDefined = main.maskInUse = kTrue;
  const auto before = IGeometryValues(main);
  main.beamCentreX = 12.5f;
  main.distance = 0.125f;
  IExperimentTakeChanges(before, main);  // as a command that sets them does
  main.displayStartX = 1;
  const float pixelSizeY = main.pixelSizeY;

  // A header type no reader takes, in each text-header format.
  std::string badAdsc = "{\nHEADER_BYTES=  512;\nTYPE=complex_float;\nSIZE1=2;\nSIZE2=2;\n}\n";
  badAdsc.resize(512, ' ');
  badAdsc += std::string(16, '\1');
  std::string badKlora = "{\nDim_1 = 2 ;\nDim_2 = 2 ;\nDataType = Complex ;\n}\n";
  badKlora += std::string(16, '\1');
  std::string bruker;
  for (const char* record : {"FORMAT :86", "HDRBLKS:1", "NPIXELB:4", "NROWS  :2", "NCOLS  :2"}) {
    std::string r = record;
    r.resize(80, ' ');
    bruker += r;
  }
  bruker += "\x1a\x04";
  bruker.resize(512, ' ');
  bruker += std::string(16, '\1');
  // A packed Mar file whose stream lacks its "CCP4 packed image" line.
  std::string mar(4096 + 512, '\x55');
  const std::int32_t words[6] = {1234, 8, 0, 1, 0, 64};
  std::memcpy(mar.data(), words, sizeof words);
  std::fill(mar.begin() + 24, mar.begin() + 4096, '\0');
  // A Chiplot file that promises five points and holds three.
  std::string chiplot = "scan\nx\ny\n5 1\n";
  for (int i = 1; i <= 3; ++i) chiplot += std::to_string(i) + " 1" + std::string(30, ' ') + "\n";

  const struct {
    const char* name;
    std::string bytes;
    const char* warning;
  } refused[] = {
      {"bad.img", badAdsc, "ERROR: FADSCInputImage: Unknown data-type: -1"},
      {"bad.edf", badKlora, "ERROR: FKloraInputImage: Unknown data-type: -1"},
      {"bad.gfrm", bruker, "ERROR: FBrukerInputImage: Unknown data-type: -1"},
      {"bad.mar3450", mar, "WARNING: FMarPackedImage: No 'CCP4 packed image' line"},
      {"bad.chi", chiplot, "WARNING: FInputChiplot: For x = 3, not enough values on line"},
  };
  for (const auto& file : refused) {
    SCOPED_TRACE(file.name);
    IInfoClear();
    EXPECT_FALSE(Open(Write(file.name, file.bytes)));
    bool warned = false;
    for (const auto& line : IInfoLines()) warned = warned || line.rfind(file.warning, 0) == 0;
    EXPECT_TRUE(warned) << file.warning;
    const DataSet& kept = LVStores().Main();
    ASSERT_EQ(kept.dimX, 4);
    ASSERT_EQ(kept.dimY, 3);
    EXPECT_EQ(kept.numX, 4);
    EXPECT_EQ(kept.endY, 2);
    EXPECT_TRUE(kept.dataDefined);
    EXPECT_EQ(kept.data[11], 1200.0f);
    EXPECT_EQ(kept.data[0], 1.0f);
    ASSERT_TRUE(kept.maskAllocated);
    EXPECT_EQ(kept.mask[3], 1);
    EXPECT_TRUE(kept.maskInUse);
    EXPECT_EQ(kept.beamCentreX, 12.5f);
    EXPECT_EQ(kept.distance, 0.125f);
    EXPECT_EQ(kept.pixelSizeY, pixelSizeY);
    EXPECT_EQ(kept.title, "frame.img");
    EXPECT_EQ(kept.fileName, dir.File("frame.img"));
    EXPECT_EQ(kept.displayStartX, 1);
    EXPECT_TRUE(kept.xAxisInPixels);
  }
  EXPECT_EQ(status, kStatusGood);

  // A file that opens replaces data, mask and title as before; the geometry is the
  // experiment's.
  std::string other = "{\nHEADER_BYTES=  512;\nBYTE_ORDER=little_endian;\nTYPE=unsigned_short;\n"
                      "SIZE1=2;\nSIZE2=2;\n}\n";
  other.resize(512, ' ');
  other += Bytes(pixels, 8);
  ASSERT_TRUE(Open(Write("other.img", other)));
  const DataSet& opened = LVStores().Main();
  EXPECT_EQ(opened.dimX, 2);
  EXPECT_EQ(opened.endX, 1);
  EXPECT_EQ(opened.data[3], 4.0f);
  EXPECT_FALSE(opened.maskAllocated);
  EXPECT_FALSE(opened.maskInUse);
  EXPECT_EQ(opened.title, "other.img");
  EXPECT_EQ(opened.fileName, dir.File("other.img"));
  EXPECT_EQ(opened.beamCentreX, 12.5f);
  EXPECT_EQ(opened.distance, 0.125f);
}

}  // namespace
