// Format detection, block reads and the raw readers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/status.h"
#include "fileio/FInput.h"
#include "fileio/FPoni.h"
#include "fileio/FScanFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace {

class InputFramework : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir.File(name);
    WriteFile(path, bytes);
    return path;
  }
  bool Saw(const std::string& line) const {
    for (const auto& held : sink.lines)
      if (held == line) return true;
    return false;
  }

  RecordingSink sink;
  ScratchDir dir;
  int status = kStatusGood;
};

std::string Padded(std::string head, std::size_t size, char fill = ' ') {
  head.resize(size, fill);
  return head;
}

TEST_F(InputFramework, EachFormatIsClaimedByExactlyItsTest) {
  std::string princeton(1100, '\0');
  std::memcpy(&princeton[20], "ABCDEFGHI", 9);
  princeton[42] = 0x12;  // 1042 columns
  princeton[43] = 0x04;
  princeton[108] = 3;

  struct Row {
    const char* name;
    std::string bytes;
    int format;
    const char* line;
  };
  const Row rows[] = {
      {"a.img", Padded("{\nHEADER_BYTES=  512;\nDIM=2;\n}", 600), kFormatADSC,
       "INFO: The file contains an 'ADSC' format image"},
      {"b.gfrm", Padded("FORMAT :        86", 600), kFormatBruker,
       "INFO: The file contains a Bruker format image"},
      {"c.bsl", "title\ndescription\n   512   512     1     1     4     0     0     0     0     0\nX01000.001\n",
       kFormatBSL, "INFO: The file contains a BSL format image"},
      {"d.cbf", Padded("###CBF: VERSION 1.5", 100), kFormatCBF,
       "INFO: The file contains a CBF format image"},
      {"e.chi", "title\nx\ny\n    3\n 1.0 2.0\n 2.0 3.0\n 3.0 4.0\n", kFormatChiplot,
       "INFO: The file contains Chiplot format data"},
      {"f.edf", Padded("{\nHeaderID = EH:000001 ;\nDim_1 = 5 ;\n}", 100), kFormatKlora,
       "INFO: The file contains a 'Klora' format image"},
      {"g.spe", princeton, kFormatPrinceton, "INFO: The file contains a Princeton format image"},
      {"h.tif", std::string("II*\0", 4) + std::string(20, '\0'), kFormatTIFF,
       "INFO: The file contains a TIFF image"},
      {"i.info", "! HST_SLAVE VOLUME INFO FILE  \nNUM_X = 5\n", kFormatVolume,
       "INFO: The file contains a Volume image"},
      {"j.tif", std::string("MM\0*", 4) + std::string(20, '\0'), kFormatTIFF,
       "INFO: The file contains a TIFF image"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sink.lines.clear();
    int format = 0;
    EXPECT_TRUE(FDeduceFileFormat(Write(row.name, row.bytes), format, status));
    EXPECT_EQ(format, row.format);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], row.line);
  }
}

TEST_F(InputFramework, AmbiguousUnknownAndEmptyFilesAreRefused) {
  int format = 0;
  // Neither 'I' nor 'B' after the brace: ADSC and Klora both fit.
  EXPECT_FALSE(FDeduceFileFormat(Write("both", Padded("{\nXYZ=2;\n}", 100)), format, status));
  EXPECT_TRUE(Saw("WARNING: FDeduceFileFormat: Number of formats which fit file = 2"));
  // Both letters: neither fits.
  EXPECT_FALSE(FDeduceFileFormat(Write("none", Padded("{IB", 100)), format, status));
  EXPECT_TRUE(Saw("WARNING: FDeduceFileFormat: Number of formats which fit file = 0"));
  // 'I','I','*' and a non-zero byte is not TIFF.
  EXPECT_FALSE(FDeduceFileFormat(Write("nottiff", std::string("II*\1", 4) + "xxxxxxxx"), format,
                                 status));
  // An empty file is refused silently.
  sink.lines.clear();
  EXPECT_FALSE(FDeduceFileFormat(Write("empty", ""), format, status));
  EXPECT_TRUE(sink.lines.empty());
  EXPECT_EQ(status, kStatusGood);
  // A missing file is a failure to open.
  EXPECT_FALSE(FDeduceFileFormat(dir.File("absent"), format, status));
  EXPECT_EQ(status, kStatusFileOpen);
  IResetStatus(status);
  FileInfo info;
  EXPECT_FALSE(FGetFileInfo(dir.File("empty"), info, status));
  EXPECT_EQ(info.format, -1);
  EXPECT_EQ(info.numDatasets, -1);
}

// A file of no known format is refused in one warning a newcomer can read (what detection
// found goes to the log). Ambiguous files and folders keep their own, precise warnings.
TEST_F(InputFramework, AFileOfNoKnownFormatIsRefusedInOnePlainWarning) {
  std::string adsc = Padded("{\nHEADER_BYTES=  512;\nTYPE=unsigned_short;\nSIZE1=2;\nSIZE2=1;\n}",
                            512);
  adsc += std::string(4, '\1');
  struct Row {
    std::string path;
    int fits;  // FCountFittingFormats
    bool plainRefusal;
  };
  std::filesystem::create_directory(dir.File("folder"));
  const Row rows[] = {
      {Write("notes.txt", "Beam time notes\nsample 3\n"), 0, true},
      {Write("empty.dat", ""), 0, true},
      {Write("both", Padded("{\nXYZ=2;\n}", 100)), 2, false},
      {Write("frame.img", adsc), 1, false},
      {dir.File("folder"), -1, false},
      {dir.File("absent"), -1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(FCountFittingFormats(row.path), row.fits);
    sink.lines.clear();
    sink.boxes.clear();
    DataSet d;
    const int read = FInputDataWith(row.path, FInputHooks{}, d, status);
    IResetStatus(status);
    EXPECT_EQ(read != kFalse, row.fits == 1);
    const std::string name = std::filesystem::path(row.path).filename().string();
    const std::string plain =
        name + " is not an image format Lumivane reads (ADSC, Bruker, BSL, CBF, Chiplot, Klora, "
               "MarResearch, Princeton, TIFF, volume slices, HDF5/NeXus)";
    if (!row.plainRefusal) {
      EXPECT_FALSE(Saw("WARNING: " + plain));
      continue;
    }
    EXPECT_EQ(sink.lines, (std::vector<std::string>{"WARNING: " + plain}));
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text, plain);
  }
}

TEST_F(InputFramework, KeyValueHeaderWrittenWithBlockIdFirstIsNotTakenForADSC) {
  const std::string edf = Padded(
      "{\nEDF_DataBlockID = 0.Image.Psd ;\nEDF_BinarySize = 40 ;\nByteOrder = LowByteFirst ;\n"
      "DataType = UnsignedShort ;\nDim_1 = 5 ;\nDim_2 = 4 ;\n}",
      512);
  int format = 0;
  EXPECT_TRUE(FDeduceFileFormat(Write("modern.edf", edf), format, status));
  EXPECT_EQ(format, kFormatKlora);
  // A real ADSC header with a 'B' but no 'I' stays ADSC.
  EXPECT_TRUE(FDeduceFileFormat(
      Write("adsc.img", Padded("{\nHEADER_BYTES=  512;\nDIM=2;\nBYTE_ORDER=little_endian;\n}", 600)),
      format, status));
  EXPECT_EQ(format, kFormatADSC);
}

TEST_F(InputFramework, PrincetonTestNeedsAFullHeaderAndPlausibleFields) {
  std::string header(1024, '\0');
  std::memcpy(&header[20], "ABCDEFGHI", 9);
  header[42] = 10;
  int format = 0;
  EXPECT_TRUE(FDeduceFileFormat(Write("ok.spe", header), format, status));
  EXPECT_FALSE(FIsPrinceton(reinterpret_cast<const unsigned char*>(header.data()), 1023));
  std::string badType = header;
  badType[108] = 4;
  EXPECT_FALSE(FIsPrinceton(reinterpret_cast<const unsigned char*>(badType.data()), 1024));
  std::string noColumns = header;
  noColumns[42] = 0;
  EXPECT_FALSE(FIsPrinceton(reinterpret_cast<const unsigned char*>(noColumns.data()), 1024));
}

TEST_F(InputFramework, BlockReadSwapsWhatWasRead) {
  const std::string path = Write("six", "\x01\x02\x03\x04\x05\x06");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  unsigned char buffer[8] = {0};
  std::size_t got = 0;
  EXPECT_TRUE(FRead(file, sizeof buffer, 6, kSwapWords, got, buffer, status));
  EXPECT_EQ(got, 6u);
  const unsigned char expected[6] = {4, 3, 2, 1, 5, 6};  // only the whole word is reversed
  EXPECT_EQ(std::memcmp(buffer, expected, 6), 0);

  std::rewind(file);
  EXPECT_TRUE(FRead(file, sizeof buffer, 8, kSwapPairs, got, buffer, status));
  EXPECT_EQ(got, 6u);
  EXPECT_TRUE(Saw("WARNING: FRead; 6 bytes input instead of 8 requested"));
  EXPECT_EQ(buffer[0], 2);

  std::rewind(file);
  EXPECT_TRUE(FRead(file, sizeof buffer, 2, 99, got, buffer, status));
  EXPECT_TRUE(Saw("WARNING: FRead; Unknown mode for byte swapping (or not)"));
  EXPECT_EQ(buffer[0], 1);

  EXPECT_FALSE(FRead(file, 4, 6, kSwapNone, got, buffer, status));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(IErrorTraceText(), "FRead V0.4");
  std::fclose(file);
}

TEST_F(InputFramework, RawReadersConvertEveryElementType) {
  // Header of 3 bytes, then two elements of each kind.
  const unsigned char u2[] = {0x01, 0x02, 0xFF, 0xFF};
  const unsigned char i4[] = {0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80};
  float r4Values[2] = {1.5f, -2.25f};
  std::string bytes = "HDR";
  bytes.append(reinterpret_cast<const char*>(u2), 4);
  bytes.append(reinterpret_cast<const char*>(i4), 8);
  bytes.append(reinterpret_cast<const char*>(r4Values), 8);
  const std::string path = Write("raw", bytes);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  float out[2] = {0, 0};

  ASSERT_TRUE(FInput2DUI2(file, kFalse, 3, 2, 1, out, status));
  EXPECT_EQ(out[0], 513.0f);
  EXPECT_EQ(out[1], 65535.0f);
  ASSERT_TRUE(FInput2DUI2(file, kTrue, 3, 2, 1, out, status));
  EXPECT_EQ(out[0], 258.0f);  // 0x01 0x02 swapped
  ASSERT_TRUE(FInput2DI2(file, kFalse, 3, 1, 2, out, status));
  EXPECT_EQ(out[1], -1.0f);
  ASSERT_TRUE(FInput2DI4(file, kFalse, 7, 2, 1, out, status));
  EXPECT_EQ(out[0], -2.0f);
  EXPECT_EQ(out[1], -2147483648.0f);
  ASSERT_TRUE(FInput2DUI4(file, kFalse, 7, 2, 1, out, status));
  EXPECT_EQ(out[0], 4294967294.0f);
  EXPECT_EQ(out[1], 2147483648.0f);
  ASSERT_TRUE(FInput2DR4(file, kFalse, 15, 2, 1, out, status));
  EXPECT_EQ(out[0], 1.5f);
  EXPECT_EQ(out[1], -2.25f);
  ASSERT_TRUE(FInput2DUI1(file, kTrue, 0, 2, 1, out, status));
  EXPECT_EQ(out[0], 'H');
  // Nothing to read is not an error.
  EXPECT_TRUE(FInput2DR4(file, kFalse, 0, 0, 5, out, status));
  std::fclose(file);
  EXPECT_TRUE(sink.lines.empty());
}

// Every element type in both byte orders, element by element against a plain conversion of
// the bytes: odd counts (a last block of fewer than 64), several read chunks, an odd offset,
// and a file that ends inside an element.
TEST_F(InputFramework, RawReadersMatchAPlainConversionAcrossBlocksAndChunks) {
  using Reader = int (*)(std::FILE*, int, std::int64_t, int, int, float*, int&);
  struct Type {
    const char* name;
    Reader reader;
    int size;
    std::function<float(std::uint32_t)> value;  // of the element's bits
  };
  const Type types[] = {
      {"UI1", FInput2DUI1, 1, [](std::uint32_t b) { return static_cast<float>(b); }},
      {"UI2", FInput2DUI2, 2, [](std::uint32_t b) { return static_cast<float>(b); }},
      {"I2", FInput2DI2, 2,
       [](std::uint32_t b) { return static_cast<float>(static_cast<std::int16_t>(b)); }},
      {"UI4", FInput2DUI4, 4, [](std::uint32_t b) { return static_cast<float>(b); }},
      {"I4", FInput2DI4, 4,
       [](std::uint32_t b) { return static_cast<float>(static_cast<std::int32_t>(b)); }},
      {"R4", FInput2DR4, 4,
       [](std::uint32_t b) {
         float f;
         std::memcpy(&f, &b, 4);
         return f;
       }},
  };
  constexpr int kColumns = 7, kRows = 10001;  // 70007 elements: 1093 blocks and 55 more
  constexpr std::size_t kCount = std::size_t{kColumns} * kRows;
  std::mt19937 random(3);
  std::string bytes(1 + kCount * 4, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  // Extremes at the start of the pixels.
  const unsigned char extremes[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80,
                                    0x7F, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(&bytes[1], extremes, sizeof extremes);
  const std::string path = Write("raw-many", bytes);
  const auto* pixels = reinterpret_cast<const unsigned char*>(bytes.data()) + 1;
  std::vector<float> out(kCount);
  for (const Type& t : types) {
    for (const int swap : {kFalse, kTrue}) {
      SCOPED_TRACE(std::string(t.name) + (swap ? " swapped" : " native"));
      std::FILE* file = std::fopen(path.c_str(), "rb");
      ASSERT_NE(file, nullptr);
      std::fill(out.begin(), out.end(), -7.0f);
      ASSERT_TRUE(t.reader(file, swap, 1, kColumns, kRows, out.data(), status));
      std::fclose(file);
      int wrong = 0;
      for (std::size_t i = 0; i < kCount; ++i) {
        std::uint32_t bits = 0;
        for (int k = 0; k < t.size; ++k) {
          // Native order is low byte first; swapped reads the other way round.
          const int from = swap && t.size > 1 ? t.size - 1 - k : k;
          bits |= static_cast<std::uint32_t>(pixels[i * t.size + from]) << (8 * k);
        }
        const float expected = t.value(bits);
        const bool same = std::isnan(expected) ? std::isnan(out[i]) : out[i] == expected;
        if (!same && ++wrong <= 3) ADD_FAILURE() << "element " << i << ": " << out[i];
      }
      EXPECT_EQ(wrong, 0);
    }
  }
  EXPECT_EQ(status, kStatusGood);

  // A file that ends inside element 12345 of a 32-bit image: that one and the rest are 0.
  const std::string cut = Write("raw-cut", bytes.substr(1, 12345 * 4 + 2));
  std::FILE* file = std::fopen(cut.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::fill(out.begin(), out.end(), -7.0f);
  EXPECT_TRUE(FInput2DI4(file, kTrue, 0, kColumns, kRows, out.data(), status));
  std::fclose(file);
  const auto swapped = [&](std::size_t i) {
    std::uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) bits |= static_cast<std::uint32_t>(pixels[i * 4 + 3 - k]) << (8 * k);
    return static_cast<float>(static_cast<std::int32_t>(bits));
  };
  EXPECT_EQ(out[0], swapped(0));
  EXPECT_EQ(out[12344], swapped(12344));
  EXPECT_EQ(out[12345], 0.0f);
  EXPECT_EQ(out[kCount - 1], 0.0f);
  EXPECT_TRUE(Saw("WARNING: FInput2DI4: Less bytes were input than were requested"));
}

TEST_F(InputFramework, ShortFileGivesZerosAndOneWarning) {
  std::string bytes(10, '\0');
  bytes[0] = 7;  // five 16-bit pixels of eight
  const std::string path = Write("short", bytes);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  float out[300000];
  std::fill(out, out + 300000, -1.0f);
  EXPECT_TRUE(FInput2DUI2(file, kFalse, 0, 1000, 300, out, status));
  EXPECT_EQ(out[0], 7.0f);
  EXPECT_EQ(out[4], 0.0f);
  EXPECT_EQ(out[299999], 0.0f);
  int lessWarnings = 0;
  for (const auto& line : sink.lines)
    if (line == "WARNING: FInput2DUI2: Less bytes were input than were requested") ++lessWarnings;
  EXPECT_EQ(lessWarnings, 1);
  EXPECT_FALSE(FInput2DUI2(file, kFalse, -5, 2, 2, out, status));
  EXPECT_TRUE(Saw("WARNING: FInput2DUI2; File positoning failed"));
  std::fclose(file);
}

TEST_F(InputFramework, WriterPutsOutTheRegionRowByRow) {
  DataSet d;
  IInitialiseData(d, status);
  IAllocateData(4, 3, d, status);
  for (int i = 0; i < 12; ++i) d.data[static_cast<std::size_t>(i)] = static_cast<float>(i);
  d.startX = 1;
  d.endX = 2;
  d.startY = 1;
  d.endY = 2;
  const std::string path = dir.File("out.r4");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(FOutput2DR4(file, d, status));
  std::fclose(file);
  const std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 16u);
  float values[4];
  std::memcpy(values, bytes.data(), 16);
  EXPECT_EQ(values[0], 5.0f);
  EXPECT_EQ(values[1], 6.0f);
  EXPECT_EQ(values[2], 9.0f);
  EXPECT_EQ(values[3], 10.0f);
}

TEST_F(InputFramework, HeaderSizeChecksRefuseWhatTheFileCannotHold) {
  EXPECT_TRUE(FCheckImageSize("FInputX", 100, 100, 2, 512, 512 + 20000, status));
  // A truncated transfer still opens.
  EXPECT_TRUE(FCheckImageSize("FInputX", 100, 100, 2, 512, 512 + 15000, status));
  EXPECT_FALSE(FCheckImageSize("FInputX", -3, 100, 2, 512, 100000, status));
  EXPECT_FALSE(FCheckImageSize("FInputX", 2000000000, 2000000000, 4, 0, -1, status));
  EXPECT_TRUE(Saw("WARNING: FInputX: Impossible image size in header: 2000000000 * 2000000000 pixels"));
  EXPECT_FALSE(FCheckImageSize("FInputX", 10, 10, 2, 5000, 4000, status));
  EXPECT_FALSE(FCheckImageSize("FInputX", 50000, 50000, 4, 512, 1024 * 1024, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_TRUE(FCheckImageSize("FInputX", 50000, 50000, 4, 512, -1, status));
  // Without a file length, the pixels alone bound the claim: 2^32 at most (16 GiB as reals).
  struct Claim {
    int columns, rows;
    bool believed;
  };
  for (const Claim& c : {Claim{65536, 65536, true}, Claim{65536, 65537, false},
                         Claim{1 << 28, 1 << 28, false}, Claim{1, INT32_MAX, true}}) {
    EXPECT_EQ(FCheckImageSize("FInputX", c.columns, c.rows, 8, 0, -1, status),
              c.believed ? kTrue : kFalse)
        << c.columns << " * " << c.rows;
  }
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace

// ---- Devices, pipes and folders ------------------------------------------------------------
// Each check runs in a child process under a time limit (a regression blocks on the pipe or
// reads /dev/zero for ever) and a limit on its address space (a regression fills gigabytes).
class NotRegularFiles : public InputFramework {
 protected:
  static constexpr std::int64_t kAddressSpace = std::int64_t{4} << 30;

  // 0: refused promptly with `warning` and the status good; 1: accepted; 2: refused without
  // the warning; 3: the status went bad; -1: it blocked or was killed.
  int Refuses(const std::function<int()>& read, const std::string& warning) {
    return RunInChild(
        [&] {
          sink.lines.clear();
          if (read()) return 1;
          if (status != kStatusGood) return 3;
          return Saw(warning) ? 0 : 2;
        },
        5, kAddressSpace);
  }
  std::string Pipe(const std::string& name) {
    const std::string path = dir.File(name);
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return path;
  }
  std::string LinkToZero(const std::string& name) {
    const std::string path = dir.File(name);
    std::filesystem::create_symlink("/dev/zero", path);
    return path;
  }
};

TEST_F(NotRegularFiles, DetectionRefusesDevicesPipesAndFolders) {
  for (const std::string& path : {std::string("/dev/zero"), Pipe("pipe.img"),
                                  LinkToZero("zero.img"), dir.path().string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Refuses(
                  [&] {
                    int format = 0;
                    return FDeduceFileFormat(path, format, status);
                  },
                  "WARNING: FDeduceFileFormat: Not a regular file (a device, pipe or folder): " +
                      path),
              0);
    // The text tests on their own say no without waiting.
    EXPECT_EQ(RunInChild([&] { return FIsBSL(path) || FIsChiplot(path) || FIsVolume(path); }, 10),
              0);
  }
}

TEST_F(NotRegularFiles, ReadersRefuseThemToo) {
  // Readers reached without detection (a file series names its format) say no as well.
  const std::string pipe = Pipe("pipe.img");
  const struct {
    int format;
    const char* routine;
  } readers[] = {{kFormatADSC, "FInputADSC"},   {kFormatBruker, "FInputBruker"},
                 {kFormatKlora, "FInputKlora"}, {kFormatMar, "FInputMar"},
                 {kFormatTIFF, "FInputTIFF"},   {kFormatPrinceton, "FInputPrinceton"},
                 {kFormatBSL, "FInputBSL"},     {kFormatChiplot, "FInputChiplot"},
                 {kFormatVolume, "FInputVolume"}};
  for (const auto& reader : readers) {
    for (const std::string& path : {std::string("/dev/zero"), pipe}) {
      SCOPED_TRACE(path + " " + reader.routine);
      DataSet d;
      EXPECT_EQ(Refuses([&] { return FInputImage(path, reader.format, 1, 1, kFalse, d, status); },
                        std::string("WARNING: ") + reader.routine +
                            ": Not a regular file (a device, pipe or folder): " + path),
                0);
    }
  }
  DatasetInfo info;
  EXPECT_EQ(Refuses([&] { return FGetDatasetInfo(pipe, kFormatVolume, 1, info, status); },
                    "WARNING: FGetDatasetInfo: Not a regular file (a device, pipe or folder): " +
                        pipe),
            0);
}

TEST_F(NotRegularFiles, CompanionFilesMustBeRegular) {
  // A 70-byte BSL header whose binary file is a device or a pipe: without a length to hold the
  // sizes to, 50000 x 50000 reals would be allocated and filled.
  LinkToZero("zero");
  Pipe("pipe");
  for (const std::string binary : {"zero", "pipe"}) {
    SCOPED_TRACE(binary);
    const std::string header =
        Write(binary + ".bsl", "title\n\n50000 50000 1 1 0 0 0 0 0 0\n" + binary + "\n");
    DataSet d;
    EXPECT_EQ(Refuses([&] { return FInputImage(header, kFormatBSL, 1, 1, kFalse, d, status); },
                      "WARNING: FBSLInputImage: Not a regular file (a device, pipe or folder): " +
                          dir.File(binary)),
              0);
    // A volume information file beside a raw "file" that is the device or the pipe.
    const std::string info = Write(binary + ".info",
                                   "! HST_SLAVE VOLUME INFO FILE\nNUM_X = 50000\nNUM_Y = 50000\n"
                                   "NUM_Z = 1\n");
    EXPECT_EQ(Refuses([&] { return FInputImage(info, kFormatVolume, 1, 1, kFalse, d, status); },
                      "WARNING: FVolumeInputImage: Not a regular file (a device, pipe or "
                      "folder): " +
                          dir.File(binary)),
              0);
  }
}

TEST_F(NotRegularFiles, ListsMasksAndGeometryFilesMustBeRegular) {
  // Files read beside an image: a d-spacings list, a mask, a PONI geometry.
  const std::string pipe = Pipe("pipe");
  for (const std::string& path : {std::string("/dev/zero"), pipe}) {
    SCOPED_TRACE(path);
    const std::string what = ": Not a regular file (a device, pipe or folder): " + path;
    float values[8];
    int count = 0;
    EXPECT_EQ(Refuses([&] { return FInput1DASCII(path, 8, count, values, status); },
                      "WARNING: FInput1DASCII" + what),
              0);
    EXPECT_EQ(Refuses(
                  [&] {
                    DataSet d;
                    if (!IAllocateData(2, 2, d, status)) return 1;
                    IDefineWholeImage(d, 2, 2);
                    return FInputMask(path, d, status);
                  },
                  "WARNING: FInputMask" + what),
              0);
    EXPECT_EQ(Refuses(
                  [&] {
                    PoniGeometry poni;
                    return FReadPoni(path, poni, status);
                  },
                  "WARNING: FReadPoni" + what),
              0);
  }
}

TEST_F(InputFramework, DetectionReadsOnlyTheStartOfAFile) {
  // Text tests see the first few KiB: a Chiplot file is still recognised by its first lines
  // however long the file; line ends of either kind are understood.
  std::string chiplot = "title\nx\ny\n3 1\n1 2\n2 3\n3 4\n";
  chiplot += std::string(1 << 20, ' ');
  int format = 0;
  EXPECT_TRUE(FDeduceFileFormat(Write("long.chi", chiplot), format, status));
  EXPECT_EQ(format, kFormatChiplot);
  EXPECT_TRUE(FIsVolume(Write("early.info", "! HST_SLAVE VOLUME INFO FILE\r\nNUM_X = 2\n")));
}
