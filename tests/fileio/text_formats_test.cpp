// Readers of the text-header formats: ADSC, Bruker with its overflow table, Klora and volume
// slices. Every fixture is written by the test: a header and a pixel block in a known order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/status.h"
#include "fileio/FInput.h"
#include "fileio/FTextHeaders.h"
#include "tests/support/TestSupport.h"

namespace {

using Lines = std::vector<std::string>;
enum Kind { kU1, kU2, kI2, kU4, kI4, kR4 };

// Pixels as a detector writes them, in file order, in either byte order.
std::string Pixels(Kind kind, const std::vector<double>& values, bool bigEndian) {
  std::string out;
  for (double v : values) {
    unsigned char b[4];
    const std::size_t n = kind == kU1 ? 1 : kind == kU2 || kind == kI2 ? 2 : 4;
    const auto put = [&](auto x) { std::memcpy(b, &x, sizeof x); };
    switch (kind) {
      case kU1: put(static_cast<std::uint8_t>(v)); break;
      case kU2: put(static_cast<std::uint16_t>(v)); break;
      case kI2: put(static_cast<std::int16_t>(v)); break;
      case kU4: put(static_cast<std::uint32_t>(v)); break;
      case kI4: put(static_cast<std::int32_t>(v)); break;
      case kR4: put(static_cast<float>(v)); break;
    }
    if (bigEndian) std::reverse(b, b + n);
    out.append(reinterpret_cast<const char*>(b), n);
  }
  return out;
}

std::string Padded(std::string text, std::size_t size) {
  text.resize(size, ' ');
  return text;
}

// One 80-character Bruker header record.
std::string Record(const std::string& key, const std::string& value) {
  return Padded(Padded(key, 7) + ":" + value, 80);
}

// A 4 x 3 Bruker image, pixel i holding 10 i, with an overflow table after the pixels.
std::string Bruker(int bytesPerPixel, int numOverflow, const std::string& table) {
  const std::string header = Record("FORMAT", "86") + Record("HDRBLKS", "2") +
                             Record("NOVERFL", std::to_string(numOverflow)) +
                             Record("NPIXELB", std::to_string(bytesPerPixel)) +
                             Record("NROWS", "3") + Record("NCOLS", "4") + "\x1a\x04";
  std::vector<double> values;
  for (int i = 0; i < 12; ++i) values.push_back(10 * i);
  return Padded(header, 1024) + Pixels(bytesPerPixel == 1 ? kU1 : kU2, values, false) + table;
}

const std::vector<double> kSix = {0, 1, 258, 7, 40000, 65535};
const std::vector<double> kSigned = {-1, -32768, 32767, 5, 0, 258};
const std::string kVolumeInfo = "! HST_SLAVE VOLUME INFO FILE\n";

class TextFormat : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }

  std::string Write(const std::string& name, const std::string& bytes) {
    WriteFile(dir.File(name), bytes);
    return dir.File(name);
  }
  bool Saw(const std::string& line) const {
    return std::find(sink.lines.begin(), sink.lines.end(), line) != sink.lines.end();
  }
  // The image in file order, as read.
  std::vector<double> Values() const {
    return std::vector<double>(data.data.get(), data.data.get() + IElementCount(data));
  }
  std::string Adsc(const std::string& keys, const std::string& pixels, std::size_t size = 512) {
    return Write("a.img", Padded("{\n" + keys + "}\n", size) + pixels);
  }

  RecordingSink sink;
  ScratchDir dir;
  DataSet data;
  int status = kStatusGood;
};

TEST_F(TextFormat, ADSCByteOrdersOffsetsAndSpellings) {
  struct Row { std::string keys; bool big; std::size_t headerBytes; };
  const Row rows[] = {
      {"HEADER_BYTES=  512;\nBYTE_ORDER=little_endian;\nTYPE=unsigned_short;\n", false, 512},
      {"HEADER_BYTES = 1024 ;\nBYTE_ORDER = big_endian ;\nTYPE = unsigned_short ;\n", true, 1024},
      {"TYPE=UNSIGNED_SHORT;\n", true, 512},  // no order: high byte first; no size: 512
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.keys);
    const std::string keys = row.keys + "SIZE1 = 3;\nSIZE2=2;\n";
    ASSERT_TRUE(FInputADSC(Adsc(keys, Pixels(kU2, kSix, row.big), row.headerBytes), data, status));
    EXPECT_EQ(data.dimX, 3);
    EXPECT_EQ(data.dimY, 2);
    EXPECT_EQ(Values(), kSix);
    EXPECT_EQ(data.title, "a.img");
  }
  EXPECT_TRUE(sink.lines.empty());
}

TEST_F(TextFormat, BadOrLyingADSCHeadersAreRefusedBeforeAllocation) {
  struct Row { std::string keys; Lines lines; };
  const std::string size = "SIZE1=3;\nSIZE2=2;\n";
  const Row rows[] = {
      {"SIZE1=abc;\nSIZE2=2;\n",
       {"WARNING: FADSCImageInfo; Problem with 'SIZE1' value: abc",
        "WARNING: FInputADSC: Impossible image description in header: -1 * 2 pixels of 2 bytes "
        "from byte 512"}},
      {size + "HEADER_BYTES=x;\nTYPE=float;\n",
       {"WARNING: FADSCImageInfo; Problem with 'HEADER_BYTES': x",
        "WARNING: FADSCImageInfo; Unsupported or incorrect type: FLOAT",
        "ERROR: FADSCInputImage: Unknown data-type: -1",
        "WARNING: FADSCInputImage was not successful"}},
      {"SIZE1=2000000000;\nSIZE2=2000000000;\n",
       {"WARNING: FInputADSC: Impossible image size in header: 2000000000 * 2000000000 pixels"}},
      {"SIZE1=65536;\nSIZE2=65536;\n",  // 2^32 pixels: the product overflows an int
       {"WARNING: FInputADSC: The header describes 8589934592 bytes of pixels, but the file "
        "holds only 12"}},
      {size + "HEADER_BYTES=99999;\n",
       {"WARNING: FInputADSC: The pixel data would start at byte 99999, beyond the end of the "
        "file (524 bytes)"}},
  };
  for (const Row& row : rows) {
    sink.lines.clear();
    const bool typed = row.keys.find("TYPE") != std::string::npos;
    DataSet fresh;
    EXPECT_FALSE(FInputADSC(Adsc(typed ? row.keys : row.keys + "TYPE=unsigned_short;\n",
                                 Pixels(kU2, kSix, true)),
                            fresh, status));
    EXPECT_EQ(sink.lines, row.lines);
    // Only a header whose sizes the file can hold is allocated.
    EXPECT_EQ(fresh.dataAllocated, typed ? kTrue : kFalse);
    EXPECT_EQ(status, kStatusGood);
  }
  // A transfer cut short: what arrived is read, the rest is zero.
  ASSERT_TRUE(FInputADSC(Adsc("SIZE1=100;\nSIZE2=100;\nTYPE=unsigned_short;\n",
                              Pixels(kU2, kSix, true)),
                         data, status));
  EXPECT_EQ(data.data[5], 65535.0f);
  EXPECT_EQ(data.data[9999], 0.0f);
  EXPECT_TRUE(Saw("WARNING: FInput2DUI2: Less bytes were input than were requested"));

  sink.lines.clear();
  EXPECT_FALSE(FInputADSC(Write("open.img", "{\nSIZE1=3;\nSIZE2=2;\n"), data, status));
  ASSERT_EQ(sink.lines.size(), 2u);
  EXPECT_EQ(sink.lines[0].rfind("WARNING: FADSCImageInfo; Problem with 'fgets': errno = ", 0), 0u);
  EXPECT_EQ(sink.lines[1], "WARNING: FInputADSC: Problem inputting header information: " +
                               dir.File("open.img"));
  EXPECT_FALSE(FInputADSC(dir.File("absent.img"), data, status));
  EXPECT_EQ(status, kStatusFileOpen);
}

TEST_F(TextFormat, BrukerOverflowValuesLandOnTheirPixels) {
  // Fields are decimal, blank- or zero-padded; position 12 lies outside the image.
  const std::string table = "    70000      0   123456     110000999990000005      abc      1"
                            "        5     12";
  for (int bytes : {1, 2}) {
    sink.lines.clear();
    ASSERT_TRUE(FInputBruker(Write("b.gfrm", Bruker(bytes, 5, table)), data, status));
    std::vector<double> expected;
    for (int i = 0; i < 12; ++i) expected.push_back(10 * i);
    expected[0] = 70000;
    expected[5] = 99999;
    expected[11] = 123456;
    EXPECT_EQ(Values(), expected);
    EXPECT_EQ(sink.lines,
              Lines{"WARNING: FBrukerInputImage; Problem with intensity:       abc      1"});
    EXPECT_EQ(data.title, "b.gfrm");
  }
  struct Row { std::string bytes; Lines lines; };
  const Row rows[] = {
      {Bruker(2, 9, table),  // more records announced than the file holds
       {"WARNING: FBrukerInputImage; Problem inputting overflow vlaues",
        "WARNING: FBrukerInputImage was not successful"}},
      {Bruker(4, 0, ""),
       {"ERROR: FBrukerInputImage: Unknown data-type: -1",
        "WARNING: FBrukerInputImage was not successful"}},
      {Record("FORMAT", "86") + Record("NCOLS", "x"),
       {"WARNING: FBrukerImageInfo; Problem with 'NCOLS': x",
        "WARNING: FBrukerImageInfo; Problem with 'fgets': errno = 0",
        "WARNING: FInputBruker: Problem inputting header information: " + dir.File("c.gfrm")}},
  };
  for (const Row& row : rows) {
    sink.lines.clear();
    errno = 0;
    EXPECT_FALSE(FInputBruker(Write("c.gfrm", row.bytes), data, status));
    EXPECT_EQ(sink.lines, row.lines);
  }
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(TextFormat, KloraEveryTypeInBothOrders) {
  struct Row { const char* dataType; Kind kind; std::vector<double> values; };
  const Row rows[] = {
      {"UnsignedByte", kU1, {0, 1, 128, 7, 200, 255}},
      {"UnsignedShort", kU2, kSix},
      {"SignedShort", kI2, kSigned},
      {"UnsignedInteger", kU4, {0, 3000000000.0, 1, 65536, 16777216, 4294967040.0}},
      {"UnsignedLong", kU4, {3000000000.0, 1, 2, 3, 4, 5}},
      {"SignedInteger", kI4, {-5, 2000000000, -2000000000, 1, 0, 7}},
      {"FloatValue", kR4, {1.5, -2.25, 1e10, 0, 3, -7}},
      {"float", kR4, {0.5, 1, 2, 3, 4, 5}},
  };
  for (const Row& row : rows) {
    for (const char* order : {"LowByteFirst", "HighByteFirst", ""}) {
      SCOPED_TRACE(std::string(row.dataType) + " " + order);
      // Keys in any case and order, the block id first, blanks before the closing brace as
      // far as byte 510, the pixels right after "}\n".
      std::string header = "{\nEDF_DataBlockID = 0.Image.Psd ;\ndim_2 = 2 ;\nDataType = " +
                           std::string(row.dataType) + " ;\nDim_1=3;\n";
      if (*order) header += "BYTEORDER = " + std::string(order) + ";\n";
      const bool big = std::strcmp(order, "LowByteFirst") != 0;
      const std::string bytes = Padded(header, 510) + "}\n" + Pixels(row.kind, row.values, big);
      ASSERT_TRUE(FInputKlora(Write("k.edf", bytes), data, status));
      EXPECT_EQ(data.dimX, 3);
      EXPECT_EQ(data.dimY, 2);
      EXPECT_EQ(Values(), row.values);
      EXPECT_EQ(data.title, "k.edf");
    }
  }
  EXPECT_TRUE(sink.lines.empty());
}

TEST_F(TextFormat, KloraHeaderMessages) {
  const std::string pixels = Pixels(kU2, kSix, false);
  EXPECT_FALSE(FInputKlora(Write("u.edf", "{\nDim_1 = 3 ;\nDim_2 = q ;\nDataType = Double ;\n"
                                          "ByteOrder = Middle ;\n}\n" + pixels),
                           data, status));
  EXPECT_EQ(sink.lines, (Lines{"WARNING: FKloraImageInfo; Problem with 'DIM_2' value: q",
                               "WARNING: FKloraImageInfo; Unsupported or incorrect data type: "
                               "DOUBLE",
                               "WARNING: FKloraImageInfo; Byte ordering incorrectly defined",
                               "WARNING: FInputKlora: Impossible image description in header: 3 "
                               "* -1 pixels of 1 bytes from byte 69"}));
  sink.lines.clear();
  errno = 0;
  EXPECT_FALSE(FInputKlora(Write("v.edf", "no brace\n"), data, status));
  EXPECT_EQ(sink.lines, (Lines{"WARNING: FKloraHeader; Problem with 'fgets': errno = 0",
                               "WARNING: FInputKlora: Problem finding start of header: " +
                                   dir.File("v.edf")}));
}

TEST_F(TextFormat, VolumeSlicesAndTheRawFileName) {
  std::vector<double> volume;
  for (int i = 0; i < 18; ++i) volume.push_back(i * 0.5);  // three 3 x 2 slices
  Write("vol.raw", Pixels(kR4, volume, false));
  const std::string info = kVolumeInfo + "\nNUM_X = 3\nnum_y=2\nNUM_Z = 3\n";
  const std::string path = Write("vol.raw.info", info);
  for (int slice = 1; slice <= 3; ++slice) {
    ASSERT_TRUE(FInputVolume(path, slice, data, status));
    EXPECT_EQ(Values(), std::vector<double>(volume.begin() + 6 * (slice - 1),
                                            volume.begin() + 6 * slice));
    EXPECT_EQ(data.title, "vol.raw");
  }
  EXPECT_FALSE(FInputVolume(path, 4, data, status));
  EXPECT_TRUE(Saw("ERROR: FVolumeInputImage: Slice 4 is outside the volume's 1 to 3"));

  // One slice ("NUM_Z = 1") is a volume too; ".info" is looked for in the file's own name.
  std::filesystem::create_directories(dir.path() / "run.info");
  Write("run.info/v", Pixels(kR4, volume, false));
  ASSERT_TRUE(FInputVolume(Write("run.info/v.info", kVolumeInfo + "NUM_X=3\nNUM_Y=2\nNUM_Z=1\n"),
                           1, data, status));
  EXPECT_EQ(data.title, "v");

  struct Row { std::string name, contents; Lines lines; };
  const Row rows[] = {
      {"volinfo", info, {"ERROR: Volume file name is incorrect: " + dir.File("volinfo")}},
      {".info", info, {"ERROR: Volume file name is incorrect: " + dir.File(".info")}},
      {"gone.info", info,
       {"ERROR: FVolumeInputImage; Failed to open binary file: " + dir.File("gone")}},
      {"vol.raw.info", kVolumeInfo + "NUM_X = ?\n",
       {"WARNING: FVolumeInfo; Problem with 'NUM_X' value: ?",
        "ERROR: FInputVolume: Problem inputting header information: " + path}},
  };
  for (const Row& row : rows) {
    sink.lines.clear();
    EXPECT_FALSE(FInputVolume(Write(row.name, row.contents), 1, data, status));
    EXPECT_EQ(sink.lines, row.lines);
  }
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(TextFormat, DatasetInfoAndTitlesThroughTheFramework) {
  Write("vol", Pixels(kR4, std::vector<double>(30, 1.0), false));
  struct Row { int format; std::string path; std::vector<int> info; std::string title; };
  const Row rows[] = {
      {kFormatADSC, Adsc("SIZE1=3;\nSIZE2=2;\nTYPE=unsigned_short;\n", Pixels(kU2, kSix, true)),
       {3, 2, 1, kElementUI2}, "a.img"},
      {kFormatBruker, Write("b.gfrm", Bruker(1, 0, "")), {4, 3, 1, kElementUI1}, "b.gfrm"},
      {kFormatKlora, Write("k.edf", "{\nDim_1 = 3 ;\nDim_2 = 2 ;\nDataType = SignedShort ;\n"
                                    "Title = from header ;\n}\n" + Pixels(kI2, kSigned, true)),
       {3, 2, 1, kElementI2}, "from header"},
      {kFormatVolume, Write("vol.info", kVolumeInfo + "NUM_X = 3\nNUM_Y = 2\nNUM_Z = 5\n"),
       {3, 2, 5, kElementR4}, "vol"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    DatasetInfo info;
    ASSERT_TRUE(FGetDatasetInfo(row.path, row.format, 1, info, status));
    EXPECT_EQ(std::vector<int>({info.columns, info.rows, info.images, info.elementType}),
              row.info);
    data.title = "title of the image held before";
    ASSERT_TRUE(FInputImage(row.path, row.format, 1, info.images, kFalse, data, status));
    EXPECT_EQ(data.title, row.title);
  }
}

TEST_F(TextFormat, VolumeSizesBeyondAnyAllocationAreRefusedBeforeTheyAreMultipliedOut) {
  // 2000000000 x 2000000000 slices: the byte size of one slice does not fit 64 bits.
  Write("huge", Pixels(kR4, kSix, false));
  const std::string path =
      Write("huge.info", kVolumeInfo + "NUM_X = 2000000000\nNUM_Y = 2000000000\nNUM_Z = 3\n");
  for (int slice : {1, 3}) {
    sink.lines.clear();
    EXPECT_FALSE(FInputVolume(path, slice, data, status));
    EXPECT_EQ(sink.lines, Lines({"WARNING: FVolumeInputImage: Impossible image size in header: "
                                 "2000000000 * 2000000000 pixels"}));
  }
  EXPECT_FALSE(data.dataAllocated);
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
