// CBF files: what the writer puts in them, what the reader takes from full imgCIF files and
// from the minimal files detectors write, and how broken files are refused. Minimal files are
// built here byte by byte with a byte-offset encoder that follows the format's description;
// files written by fabio (an independent implementation) and the real Pilatus image serve as
// oracles where they are installed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/cores.h"
#include "core/status.h"
#include "fileio/FCBF.h"
#include "fileio/FInput.h"
#include "maths/MConvert.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool AnyLineHas(const RecordingSink& sink, const std::string& part) {
  for (const auto& line : sink.lines) {
    if (Contains(line, part)) return true;
  }
  return false;
}

void PutLE(std::string& s, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Byte-offset compression: each element is the difference from the one before, in one byte
// when it fits -127..127, else 0x80 and two bytes, else 0x80, 0x8000 and four bytes.
std::string ByteOffset(const std::vector<std::int32_t>& values) {
  std::string out;
  std::int64_t previous = 0;
  for (std::int32_t v : values) {
    const std::int64_t delta = v - previous;
    if (delta >= -127 && delta <= 127) {
      out.push_back(static_cast<char>(static_cast<std::int8_t>(delta)));
    } else {
      out.push_back(static_cast<char>(0x80));
      if (delta >= -32767 && delta <= 32767) {
        PutLE(out, static_cast<std::uint32_t>(static_cast<std::int16_t>(delta)), 2);
      } else {
        PutLE(out, 0x8000, 2);
        PutLE(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(delta)), 4);
      }
    }
    previous = v;
  }
  return out;
}

struct MinimalOptions {
  std::string elements;   // X-Binary-Number-of-Elements, when it should differ
  std::string fastest;    // X-Binary-Size-Fastest-Dimension
  std::string second;     // X-Binary-Size-Second-Dimension
  std::string extraText;  // CIF text before the binary section
  int padding = 4095;
  std::string binary;     // the section's bytes, when not those of the values
};

// A "minimal CBF" as a Pilatus detector writes it: a header-contents text and one
// "_array_data.data" binary section, without any category that names the array or its
// dimensions.
std::string MinimalCBF(int width, int height, const std::vector<std::int32_t>& values,
                       const MinimalOptions& o = {}) {
  const std::string binary = o.binary.empty() ? ByteOffset(values) : o.binary;
  std::ostringstream s;
  s << "###CBF: VERSION 1.5, CBFlib v0.7.8 - PILATUS detectors\r\n\r\n"
    << "data_minimal\r\n\r\n"
    << "_array_data.header_convention \"PILATUS_1.2\"\r\n"
    << "_array_data.header_contents\r\n;\r\n# Detector: PILATUS 1M\r\n"
    << "# Pixel_size 172e-6 m x 172e-6 m\r\n# Wavelength 0.4066 A\r\n;\r\n\r\n"
    << o.extraText << "_array_data.data\r\n;\r\n--CIF-BINARY-FORMAT-SECTION--\r\n"
    << "Content-Type: application/octet-stream;\r\n"
    << "     conversions=\"x-CBF_BYTE_OFFSET\"\r\n"
    << "Content-Transfer-Encoding: BINARY\r\n"
    << "X-Binary-Size: " << binary.size() << "\r\n"
    << "X-Binary-ID: 1\r\n"
    << "X-Binary-Element-Type: \"signed 32-bit integer\"\r\n"
    << "X-Binary-Element-Byte-Order: LITTLE_ENDIAN\r\n"
    << "X-Binary-Number-of-Elements: "
    << (o.elements.empty() ? std::to_string(values.size()) : o.elements) << "\r\n"
    << "X-Binary-Size-Fastest-Dimension: "
    << (o.fastest.empty() ? std::to_string(width) : o.fastest) << "\r\n"
    << "X-Binary-Size-Second-Dimension: "
    << (o.second.empty() ? std::to_string(height) : o.second) << "\r\n"
    << "X-Binary-Size-Padding: " << o.padding << "\r\n\r\n";
  std::string file = s.str();
  file += "\x0c\x1a\x04\xd5";
  file += binary;
  file += std::string(static_cast<std::size_t>(o.padding), '\0');
  file += "\r\n--CIF-BINARY-FORMAT-SECTION----\r\n;\r\n\r\n";
  return file;
}

// A data set of width x height with the whole image as region.
void MakeImage(int width, int height, DataSet& d) {
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(width, height, d, status));
  IDefineWholeImage(d, width, height);
  d.dataDefined = kTrue;
}

std::vector<std::int32_t> DetectorLikeValues(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::int32_t> v(static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const unsigned r = random() % 100;
    if (r < 5) {
      v[i] = -1;  // gap
    } else if (r < 7) {
      v[i] = -2;  // bad pixel
    } else if (r < 10) {
      v[i] = static_cast<std::int32_t>(random() % 2000000);  // Bragg peak
    } else if (r < 11) {
      v[i] = static_cast<std::int32_t>(random() % 60000) - 30000;  // 16-bit steps
    } else {
      v[i] = static_cast<std::int32_t>(random() % 200);
    }
  }
  return v;
}

class CBFFiles : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }
  ScratchDir dir;
  RecordingSink sink;
  int status = kStatusGood;
};

// ---- Conversion to integers ----------------------------------------------------------------

TEST(CBFConversion, RoundsMagnitudesHalfDownAndClampsWhatDoesNotFit) {
  const float source[] = {2.5f, 2.6f, -1.2f, -1.0f, -2.0f, -2.5f, -2.6f, 0.4f, 3e9f, -3e9f,
                          std::nanf(""), INFINITY, -INFINITY, 2147483520.0f, -2147483648.0f, 7.0f};
  std::int32_t target[16] = {};
  std::int64_t clamped = -1;
  int status = kStatusGood;
  ASSERT_TRUE(MMatrixR2IROIMove(16, 1, source, 0, 0, 15, 0, 16, 1, 0, 0, target, clamped, status));
  const std::int32_t expected[] = {2, 3, -1, -1, -2, -2, -3, 0, kIntMax, kIntMin,
                                   0, kIntMax, kIntMin, 2147483520, kIntMin, 7};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(target[i], expected[i]) << i;
  EXPECT_EQ(clamped, 5);  // 3e9, -3e9, NaN and both infinities
}

TEST(CBFConversion, RectangleChecksGiveTheirStatusCodes) {
  float source[6] = {1, 2, 3, 4, 5, 6};
  std::int32_t target[4] = {};
  std::int64_t clamped = 0;
  int status = kStatusGood;
  EXPECT_FALSE(MMatrixR2IROIMove(0, 2, source, 0, 0, 0, 0, 2, 2, 0, 0, target, clamped, status));
  EXPECT_EQ(status, 1);
  status = kStatusGood;
  EXPECT_FALSE(MMatrixR2IROIMove(3, 2, source, 0, 0, 3, 0, 2, 2, 0, 0, target, clamped, status));
  EXPECT_EQ(status, 9);
  status = kStatusGood;
  EXPECT_FALSE(MMatrixR2IROIMove(3, 2, source, 0, 0, 2, 0, 2, 2, 0, 0, target, clamped, status));
  EXPECT_EQ(status, 41);
  status = kStatusGood;
  EXPECT_FALSE(MMatrixR2IROIMove(3, 2, source, 0, 0, 1, 1, 2, 2, 0, 1, target, clamped, status));
  EXPECT_EQ(status, 42);
  status = kStatusGood;
  ASSERT_TRUE(MMatrixR2IROIMove(3, 2, source, 1, 0, 2, 1, 2, 2, 0, 0, target, clamped, status));
  EXPECT_EQ(target[0], 2);
  EXPECT_EQ(target[3], 6);
  const std::int32_t integers[3] = {-5, 0, kIntMax};
  float reals[3] = {};
  ASSERT_TRUE(MVectorI2RCopy(3, integers, reals, status));
  EXPECT_EQ(reals[0], -5.0f);
  EXPECT_EQ(reals[2], 2147483648.0f);
  EXPECT_FALSE(MVectorI2RCopy(0, integers, reals, status));
  EXPECT_EQ(status, 21);
}

// ---- Writing -------------------------------------------------------------------------------

TEST_F(CBFFiles, RegionIsWrittenWithItsDimensionsGeometryAndCategoriesInOrder) {
  DataSet d;
  MakeImage(30, 40, d);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 30; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(100 * y + x);
  d.data[IIndex(d, 5, 7)] = 2.5f;
  d.data[IIndex(d, 6, 7)] = 2.6f;
  d.data[IIndex(d, 7, 7)] = -1.2f;
  d.data[IIndex(d, 8, 7)] = -2.0f;
  d.startX = 5;
  d.endX = 14;
  d.startY = 7;
  d.endY = 26;
  d.pixelSizeX = 0.0001f;
  d.pixelSizeY = 172e-6f;
  d.wavelength = 1.54e-10f;
  d.distance = 0.25f;
  const std::string name = dir.File("region.cbf");
  ASSERT_TRUE(FOutputCBF(name, d, status));
  EXPECT_EQ(status, kStatusGood);

  const std::string text = ReadFile(name);
  const std::string header = text.substr(0, text.find("--CIF-BINARY-FORMAT-SECTION--"));
  EXPECT_EQ(text.rfind("###CBF: VERSION", 0), 0u);
  EXPECT_TRUE(Contains(header, "data_image_1"));
  // The categories in their order, each with its values.
  const char* const ordered[] = {
      "_diffrn.id DS1",
      "_diffrn_source.diffrn_id DS1",
      "_diffrn_source.source synchrotron",
      "_diffrn_radiation.wavelength_id L1",
      "_diffrn_radiation_wavelength.id L1",
      "_diffrn_radiation_wavelength.wavelength 1.5400",
      "_diffrn_radiation_wavelength.wt 1.0",
      "_diffrn_measurement.method oscillation",
      "_diffrn_measurement.sample_detector_distance 0.2500",
      "_diffrn_detector.id Generic",
      "_diffrn_detector_element.id 1",
      "_diffrn_detector_element.detector_id Generic",
      "_diffrn_frame_data.id frame_1",
      "_diffrn_frame_data.detector_element_id 1",
      "_diffrn_frame_data.array_id image_1",
      "_diffrn_frame_data.binary_id 1",
      "_array_structure_list.direction",
      "image_1 1 10 1 increasing",
      "image_1 2 20 2 increasing",
      "_array_element_size.size",
      "image_1 1 100.0e-6",
      "image_1 2 172.0e-6",
      "_array_intensities.linearity linear",
      "_array_data.array_id image_1",
      "_array_data.binary_id 1",
      "_array_data.data",
  };
  std::size_t at = 0;
  for (const char* item : ordered) {
    const std::size_t found = header.find(item, at);
    ASSERT_NE(found, std::string::npos) << item;
    at = found;
  }
  EXPECT_TRUE(Contains(text, "X-Binary-Number-of-Elements: 200"));
  EXPECT_TRUE(Contains(text, "X-Binary-Size-Fastest-Dimension: 10"));
  EXPECT_TRUE(Contains(text, "X-Binary-Size-Second-Dimension: 20"));
  EXPECT_TRUE(Contains(text, "X-Binary-Element-Type: \"signed 32-bit integer\""));
  EXPECT_TRUE(Contains(text, "Content-MD5: "));

  DataSet back;
  ASSERT_TRUE(FInputImage(name, kFormatCBF, 1, 1, kFalse, back, status));
  ASSERT_EQ(back.dimX, 10);
  ASSERT_EQ(back.dimY, 20);
  EXPECT_EQ(back.data[IIndex(back, 0, 0)], 2.0f);   // 2.5
  EXPECT_EQ(back.data[IIndex(back, 1, 0)], 3.0f);   // 2.6
  EXPECT_EQ(back.data[IIndex(back, 2, 0)], -1.0f);  // -1.2
  EXPECT_EQ(back.data[IIndex(back, 3, 0)], -2.0f);  // a bad pixel stays -2
  EXPECT_EQ(back.data[IIndex(back, 9, 19)], static_cast<float>(100 * 26 + 14));
  EXPECT_EQ(back.title, "region.cbf");
  // No temporary is left beside the file.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(CBFFiles, ValuesBeyondThirtyTwoBitsAreClampedWithOneWarning) {
  DataSet d;
  MakeImage(3, 2, d);
  const float values[] = {3e9f, -3e9f, std::nanf(""), 5.0f, INFINITY, -7.0f};
  for (int i = 0; i < 6; ++i) d.data[i] = values[i];
  const std::string name = dir.File("clamped.cbf");
  ASSERT_TRUE(FOutputCBF(name, d, status));
  int warnings = 0;
  for (const auto& line : sink.lines) warnings += line.rfind("WARNING:", 0) == 0;
  EXPECT_EQ(warnings, 1);
  EXPECT_TRUE(AnyLineHas(sink, "FOutputCBF: 4 values outside the signed 32-bit integer range"));
  // -2^31 next to 0 is a step the byte-offset coder cannot write: the file is uncompressed.
  EXPECT_FALSE(Contains(ReadFile(name), "x-CBF_BYTE_OFFSET"));
  EXPECT_TRUE(AnyLineHas(sink, "NOTE: FOutputCBF: Neighbouring values lie 2^31 apart"));
  DataSet back;
  ASSERT_TRUE(FInputCBF(name, back, status));
  const float expected[] = {2147483648.0f, -2147483648.0f, 0.0f, 5.0f, 2147483648.0f, -7.0f};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(back.data[i], expected[i]) << i;
}

TEST_F(CBFFiles, FailedWritesReportAndKeepTheOldFile) {
  DataSet d;
  MakeImage(4, 4, d);
  // A folder that does not exist: the open fails with status 1000 under the binary file name.
  EXPECT_FALSE(FOutputCBF(dir.File("missing/out.cbf"), d, status));
  EXPECT_EQ(status, kStatusFileOpen);
  EXPECT_EQ(IErrorTraceText().rfind("FOutputcbf: Binary File:", 0), 0u);
  ResetCoreState();
  status = kStatusGood;

  // A read-only file is not replaced.
  const std::string kept = dir.File("kept.cbf");
  WriteFile(kept, "old contents");
  chmod(kept.c_str(), 0444);
  EXPECT_FALSE(FOutputCBF(kept, d, status));
  EXPECT_EQ(ReadFile(kept), "old contents");
  ResetCoreState();
  status = kStatusGood;

  // A device is no file to replace: refused as a file that cannot be opened, left as it was.
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(FOutputCBF("/dev/full", d, status));
    EXPECT_EQ(status, kStatusFileOpen);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    ResetCoreState();
    status = kStatusGood;
  }

  // A full disc (a file-size limit stands in for it) fails the save instead of reporting
  // success, and leaves nothing under the name.
  const std::string full = dir.File("full.cbf");
  const int code = RunInChild(
      [&] {
        FileSizeLimit limit(512);
        RecordingSink inChild;
        int st = kStatusGood;
        const bool written = FOutputCBF(full, d, st);
        return !written && st == kStatusGood && AnyLineHas(inChild, "FOutputCBF: Problem writing")
                   ? 0
                   : 1;
      },
      20);
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(std::filesystem::exists(full));

  // Data that is not defined is refused.
  DataSet empty;
  EXPECT_FALSE(FOutputCBF(dir.File("empty.cbf"), empty, status));
  EXPECT_FALSE(std::filesystem::exists(dir.File("empty.cbf")));
}

// ---- Reading -------------------------------------------------------------------------------

TEST_F(CBFFiles, MinimalDetectorFilesTakeTheirDimensionsFromTheBinarySection) {
  const int width = 37, height = 23;
  auto values = DetectorLikeValues(width, height, 7);
  values[0] = kIntMin + 5;  // extreme differences take the four-byte form
  values[1] = kIntMax - 3;
  const std::string name = dir.File("pilatus.cbf");
  WriteFile(name, MinimalCBF(width, height, values));

  DatasetInfo info;
  ASSERT_TRUE(FGetDatasetInfo(name, kFormatCBF, 1, info, status));
  EXPECT_EQ(info.columns, width);
  EXPECT_EQ(info.rows, height);
  EXPECT_EQ(info.images, 1);
  EXPECT_EQ(info.elementType, kElementUI4);

  DataSet d;
  ASSERT_TRUE(FInputImage(name, kFormatCBF, 1, 1, kFalse, d, status));
  ASSERT_EQ(d.numX, width);
  ASSERT_EQ(d.numY, height);
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(d.data[i], static_cast<float>(values[i])) << i;
  }
  // Missing categories are normal for these files: nothing is said about them.
  for (const auto& line : sink.lines) EXPECT_EQ(line.rfind("WARNING:", 0), std::string::npos) << line;
  EXPECT_TRUE(sink.boxes.empty());
}

TEST_F(CBFFiles, RoundTripKeepsGapPixelsAndDetectorValues) {
  const int width = 61, height = 45;
  const auto values = DetectorLikeValues(width, height, 11);
  DataSet d;
  MakeImage(width, height, d);
  for (std::size_t i = 0; i < values.size(); ++i) d.data[i] = static_cast<float>(values[i]);
  const std::string name = dir.File("trip.cbf");
  ASSERT_TRUE(FOutputCBF(name, d, status));
  DataSet back;
  ASSERT_TRUE(FInputImage(name, kFormatCBF, 1, 1, kFalse, back, status));
  ASSERT_EQ(back.numX, width);
  ASSERT_EQ(back.numY, height);
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(back.data[i], d.data[i]) << i;
}

// The store that a refused file must leave as it was.
void FillStore(DataSet& store) {
  MakeImage(4, 3, store);
  for (int i = 0; i < 12; ++i) store.data[i] = static_cast<float>(i + 1);
  store.title = "kept";
}

void ExpectStoreKept(const DataSet& store) {
  ASSERT_EQ(store.numX, 4);
  ASSERT_EQ(store.numY, 3);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(store.data[i], static_cast<float>(i + 1));
  EXPECT_EQ(store.title, "kept");
}

TEST_F(CBFFiles, AThirdDimensionWithoutRowsIsRefusedAndTheImageKept) {
  // A full imgCIF file whose structure list names a third dimension (panels) and no rows.
  DataSet d;
  MakeImage(6, 4, d);
  const std::string name = dir.File("cube.cbf");
  ASSERT_TRUE(FOutputCBF(name, d, status));
  std::string text = ReadFile(name);
  const std::string row = " image_1 2 4 2 increasing";
  const std::size_t at = text.find(row);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, row.size(), " image_1 2 4 3 increasing");
  WriteFile(name, text);

  DataSet store;
  FillStore(store);
  EXPECT_FALSE(FInputImage(name, kFormatCBF, 1, 1, kFalse, store, status));
  EXPECT_EQ(status, kStatusGood);
  ExpectStoreKept(store);
  EXPECT_TRUE(AnyLineHas(sink, "Impossible image size: 4 panels of 6 * 0 pixels"));
}

TEST_F(CBFFiles, BrokenFilesAreRefusedWithAReasonAndTheImageKept) {
  const int width = 20, height = 10;
  const auto values = DetectorLikeValues(width, height, 3);
  struct Case {
    const char* what;
    std::string contents;
    const char* message;
  };
  const std::string whole = MinimalCBF(width, height, values, {.padding = 0});
  MinimalOptions more;
  more.elements = "400";
  more.second = "20";
  MinimalOptions fewer;  // the section holds 200 differences, the header claims 100
  fewer.elements = "100";
  fewer.second = "5";
  MinimalOptions noDimensions;
  noDimensions.fastest = "0";
  noDimensions.second = "0";
  const std::vector<Case> cases = {
      {"binary cut short", whole.substr(0, whole.size() - 120), "CBF library error"},
      {"more elements than the section holds", MinimalCBF(width, height, values, more),
       "elements read instead of 400"},
      {"fewer elements than the section holds", MinimalCBF(width, height, values, fewer),
       "200 elements read instead of 100"},
      {"no dimensions", MinimalCBF(width, height, values, noDimensions), "dimensions"},
      {"no image", "###CBF: VERSION 1.5\r\n\r\ndata_empty\r\n\r\n_diffrn.id DS1\r\n",
       "no image"},
      {"not CIF at all", std::string("###CBF: \x01\x02 '\r\n\"\r\n;\r\n", 20) + "data_", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sink.lines.clear();
    const std::string name = dir.File("broken.cbf");
    WriteFile(name, c.contents);
    DataSet store;
    FillStore(store);
    EXPECT_FALSE(FInputImage(name, kFormatCBF, 1, 1, kFalse, store, status));
    EXPECT_EQ(status, kStatusGood);
    ExpectStoreKept(store);
    EXPECT_TRUE(AnyLineHas(sink, "WARNING: ")) << c.what;
    if (*c.message) {
      EXPECT_TRUE(AnyLineHas(sink, c.message));
    }
    EXPECT_EQ(status, kStatusGood);
  }
}

// A damaged file can make the library write a line per byte; the warning of the failed call
// is followed by its first 20 lines and a count of the rest, not by thousands of lines.
TEST_F(CBFFiles, AFloodOfLibraryRemarksIsCutToTwentyLinesAndACount) {
  const auto values = DetectorLikeValues(20, 10, 3);
  std::string text = MinimalCBF(20, 10, values, {.padding = 0});
  text = text.substr(0, text.size() - 120);  // the binary section cut short: the read fails
  const std::size_t item = text.find("\r\n_");
  ASSERT_NE(item, std::string::npos);
  text.insert(item, "\r\n_flood.text\r\n;\r\n" + std::string(20000, '\x80') + "\r\n;");
  const std::string name = dir.File("flood.cbf");
  WriteFile(name, text);
  DataSet store;
  FillStore(store);
  EXPECT_FALSE(FInputImage(name, kFormatCBF, 1, 1, kFalse, store, status));
  ExpectStoreKept(store);
  EXPECT_TRUE(AnyLineHas(sink, "CBF library error"));
  EXPECT_TRUE(AnyLineHas(sink, "more lines of the CBF library not shown"));
  EXPECT_LT(sink.lines.size(), 40u);
}

TEST_F(CBFFiles, DamagedBinaryFailsItsMessageDigest) {
  DataSet d;
  MakeImage(50, 40, d);
  for (int i = 0; i < 2000; ++i) d.data[i] = static_cast<float>(i % 97);
  const std::string name = dir.File("digest.cbf");
  ASSERT_TRUE(FOutputCBF(name, d, status));
  std::string text = ReadFile(name);
  const std::size_t start = text.find("\x0c\x1a\x04\xd5");
  ASSERT_NE(start, std::string::npos);
  text[start + 4 + 1000] = static_cast<char>(text[start + 4 + 1000] ^ 0x01);
  WriteFile(name, text);
  DataSet store;
  FillStore(store);
  EXPECT_FALSE(FInputImage(name, kFormatCBF, 1, 1, kFalse, store, status));
  ExpectStoreKept(store);
  EXPECT_TRUE(AnyLineHas(sink, "is damaged: the digest of a binary section differs"));
}

// Files that end at their closing ";" (fabio writes them so) have their digest checked as
// others do: intact they read back, one flipped bit in the data refuses them, the store kept.
TEST_F(CBFFiles, AFileEndingAtItsClosingLineHasItsDigestChecked) {
  DataSet d;
  MakeImage(70, 30, d);
  for (int i = 0; i < 2100; ++i) d.data[i] = static_cast<float>((i * 13) % 301 - 2);
  const std::string name = dir.File("ends.cbf");
  ASSERT_TRUE(FOutputCBF(name, d, status));
  std::string text = ReadFile(name);
  const std::size_t last = text.rfind("\n;");
  ASSERT_NE(last, std::string::npos);
  text.resize(last + 2);
  ASSERT_EQ(text.back(), ';');
  const std::size_t start = text.find("\x0c\x1a\x04\xd5");
  ASSERT_NE(start, std::string::npos);
  std::string damaged = text;
  damaged[start + 4 + 700] = static_cast<char>(damaged[start + 4 + 700] ^ 0x10);
  for (const bool intact : {true, false}) {
    SCOPED_TRACE(intact ? "intact" : "damaged");
    sink.lines.clear();
    WriteFile(name, intact ? text : damaged);
    DataSet store;
    FillStore(store);
    EXPECT_EQ(FInputImage(name, kFormatCBF, 1, 1, kFalse, store, status), intact ? kTrue : kFalse);
    EXPECT_EQ(AnyLineHas(sink, "is damaged: the digest of a binary section differs"), !intact);
    if (!intact) {
      ExpectStoreKept(store);
      continue;
    }
    ASSERT_EQ(store.numX, 70);
    for (int i = 0; i < 2100; ++i) ASSERT_EQ(store.data[i], d.data[i]) << i;
  }
}

// The marks of a mini-header detector (-1 module gaps, -2 bad pixels) become the mask, counted
// in the message, whatever the width (the conversion takes sixteen pixels at a time and the
// rest one by one); an image without marks, or a file of another convention, gets no mask.
TEST_F(CBFFiles, DetectorMarksBecomeTheMaskAtEveryImageWidth) {
  struct Case {
    int width, height;
    bool marks;
  };
  const Case cases[] = {{1, 1, true}, {7, 3, true},   {16, 1, true}, {17, 2, true},
                        {33, 5, true}, {61, 45, true}, {40, 8, false}};
  unsigned seed = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    sink.lines.clear();
    auto values = DetectorLikeValues(c.width, c.height, ++seed);
    if (c.marks) {
      values.back() = -2;  // in the tail that is converted one by one
      if (values.size() > 1) values[0] = -1;
    } else {
      for (auto& v : values) v = v < 0 ? 3 : v;
    }
    std::int64_t gaps = 0, bad = 0;
    for (std::int32_t v : values) {
      gaps += v == -1;
      bad += v == -2;
    }
    const std::string name = dir.File("marks.cbf");
    WriteFile(name, MinimalCBF(c.width, c.height, values));
    DataSet d;
    ASSERT_TRUE(FInputImage(name, kFormatCBF, 1, 1, kFalse, d, status));
    ASSERT_EQ(d.numX, c.width);
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(d.data[i], static_cast<float>(values[i])) << i;
    }
    const std::string said = "Masked " + std::to_string(gaps) + " module-gap pixel(s) (-1) and " +
                             std::to_string(bad) + " bad pixel(s) (-2)";
    if (!c.marks) {
      EXPECT_FALSE(d.maskDefined);
      EXPECT_FALSE(AnyLineHas(sink, "Masked "));
      continue;
    }
    EXPECT_TRUE(AnyLineHas(sink, said)) << said;
    ASSERT_TRUE(d.maskDefined && d.mask);
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(d.mask[i] != 0, values[i] == -1 || values[i] == -2) << i;
    }
  }
  // Our own files follow no detector's convention: their -1 and -2 are values.
  DataSet ours;
  MakeImage(20, 3, ours);
  for (int i = 0; i < 60; ++i) ours.data[i] = static_cast<float>(i % 3 - 2);
  const std::string name = dir.File("ours.cbf");
  ASSERT_TRUE(FOutputCBF(name, ours, status));
  DataSet back;
  ASSERT_TRUE(FInputImage(name, kFormatCBF, 1, 1, kFalse, back, status));
  EXPECT_FALSE(back.maskDefined);
  EXPECT_EQ(back.data[0], -2.0f);
}

TEST_F(CBFFiles, AnEmptyFileIsRefusedWithItsReason) {
  const std::string name = dir.File("empty.cbf");
  WriteFile(name, "");
  DataSet store;
  FillStore(store);
  EXPECT_FALSE(FInputCBF(name, store, status));
  EXPECT_TRUE(AnyLineHas(sink, "is empty"));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(CBFFiles, SizesBeyondWhatTheFileCanHoldAreRefusedBeforeAllocation) {
  const auto values = DetectorLikeValues(8, 8, 5);
  MinimalOptions huge;
  huge.elements = "3600000000";
  huge.fastest = "60000";
  huge.second = "60000";
  const std::string name = dir.File("huge.cbf");
  WriteFile(name, MinimalCBF(8, 8, values, huge));
  // In a child held to 512 MiB of address space, so an attempt to allocate the claimed
  // 14 GB would fail there rather than pass on a large machine.
  const int result = RunInChild(
      [&] {
        RecordingSink childSink;
        int childStatus = kStatusGood;
        DataSet store;
        const int read = FInputImage(name, kFormatCBF, 1, 1, kFalse, store, childStatus);
        bool said = false;
        for (const auto& line : childSink.lines) said = said || Contains(line, "more than a file of");
        return (read == kFalse && childStatus == kStatusGood && said) ? 0 : 1;
      },
      60, std::int64_t{512} << 20);
  EXPECT_EQ(result, 0);
}

TEST_F(CBFFiles, DevicesAndMissingFilesAreRefused) {
  DataSet store;
  FillStore(store);
  EXPECT_FALSE(FInputCBF("/dev/null", store, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_TRUE(AnyLineHas(sink, "FInputCBF: Not a regular file"));
  EXPECT_FALSE(FInputCBF(dir.File("absent.cbf"), store, status));
  EXPECT_EQ(status, kStatusFileOpen);
  ResetCoreState();
}

// ---- Independent readers and writers -----------------------------------------------------

bool FabioAvailable() {
  static const bool available =
      std::system("/usr/bin/python3 -c 'import fabio' > /dev/null 2>&1") == 0;
  return available;
}

int Python(const ScratchDir& dir, const std::string& script, const std::string& arguments) {
  WriteFile(dir.File("script.py"), script);
  const std::string command = "cd '" + dir.path().string() + "' && /usr/bin/python3 script.py " +
                              arguments + " > python.txt 2>&1";
  return std::system(command.c_str());
}

std::vector<std::int32_t> ReadInt32(const std::string& path) {
  const std::string bytes = ReadFile(path);
  std::vector<std::int32_t> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

TEST_F(CBFFiles, FilesWrittenByFabioReadAsFabioReadsThem) {
  if (!FabioAvailable()) LV_REFERENCE_MISSING("python3-fabio is not installed");
  const int width = 97, height = 53;
  // (fabio's own coder mishandles steps beyond 2^31, so the values stay within 2^29.)
  auto values = DetectorLikeValues(width, height, 23);
  values[5] = 1 << 29;
  values[6] = -(1 << 29);
  std::string raw(values.size() * 4, '\0');
  std::memcpy(raw.data(), values.data(), raw.size());
  WriteFile(dir.File("values.raw"), raw);
  ASSERT_EQ(Python(dir,
                   "import sys, numpy, fabio.cbfimage\n"
                   "w, h = int(sys.argv[1]), int(sys.argv[2])\n"
                   "data = numpy.fromfile('values.raw', '<i4').reshape(h, w)\n"
                   "fabio.cbfimage.CbfImage(data=data).write('fabio.cbf')\n"
                   "back = fabio.open('fabio.cbf').data\n"
                   "back.astype('<i4').tofile('fabio.raw')\n",
                   std::to_string(width) + " " + std::to_string(height)),
            0)
      << ReadFile(dir.File("python.txt"));
  const auto fabio = ReadInt32(dir.File("fabio.raw"));
  ASSERT_EQ(fabio, values);
  DataSet d;
  ASSERT_TRUE(FInputImage(dir.File("fabio.cbf"), kFormatCBF, 1, 1, kFalse, d, status));
  ASSERT_EQ(d.numX, width);
  ASSERT_EQ(d.numY, height);
  for (std::size_t i = 0; i < fabio.size(); ++i) {
    ASSERT_EQ(d.data[i], static_cast<float>(fabio[i])) << i;
  }
  // The library's remark on fabio's long first line is not passed on.
  EXPECT_FALSE(AnyLineHas(sink, "CBFlib")) << sink.lines.front();
  EXPECT_TRUE(sink.boxes.empty());
}

TEST_F(CBFFiles, UnsignedElementsOfFabioFilesKeepTheirValues) {
  if (!FabioAvailable()) LV_REFERENCE_MISSING("python3-fabio is not installed");
  ASSERT_EQ(Python(dir,
                   "import numpy, fabio.cbfimage\n"
                   "i = numpy.arange(60 * 40).reshape(40, 60)\n"
                   "u16 = (i * 17 % 65536).astype(numpy.uint16)\n"
                   "u32 = (i.astype(numpy.uint64) * 1234567 + 3000000000).astype(numpy.uint32)\n"
                   "fabio.cbfimage.CbfImage(data=u16).write('u16.cbf')\n"
                   "fabio.cbfimage.CbfImage(data=u32).write('u32.cbf')\n",
                   ""),
            0)
      << ReadFile(dir.File("python.txt"));
  EXPECT_TRUE(Contains(ReadFile(dir.File("u16.cbf")), "unsigned 16-bit integer"));
  DataSet d;
  ASSERT_TRUE(FInputImage(dir.File("u16.cbf"), kFormatCBF, 1, 1, kFalse, d, status));
  for (int i = 0; i < 2400; ++i) ASSERT_EQ(d.data[i], static_cast<float>(i * 17 % 65536)) << i;
  // Unsigned 32-bit values above 2^31 stay positive.
  ASSERT_TRUE(FInputImage(dir.File("u32.cbf"), kFormatCBF, 1, 1, kFalse, d, status));
  for (int i = 0; i < 2400; ++i) {
    const auto expected = static_cast<std::uint32_t>(i * 1234567ULL + 3000000000ULL);
    ASSERT_EQ(d.data[i], static_cast<float>(expected)) << i;
  }
}

TEST_F(CBFFiles, OurFilesOpenInFabioWithTheirValuesAndGeometry) {
  if (!FabioAvailable()) LV_REFERENCE_MISSING("python3-fabio is not installed");
  const int width = 300, height = 200;  // large enough for fabio's digest check to apply
  const auto values = DetectorLikeValues(width, height, 29);
  DataSet d;
  MakeImage(width, height, d);
  for (std::size_t i = 0; i < values.size(); ++i) d.data[i] = static_cast<float>(values[i]);
  d.pixelSizeX = 172e-6f;
  d.pixelSizeY = 75e-6f;
  d.wavelength = 0.4066e-10f;
  d.distance = 0.2087f;
  ASSERT_TRUE(FOutputCBF(dir.File("ours.cbf"), d, status));
  ASSERT_EQ(Python(dir,
                   "import fabio\n"
                   "image = fabio.open('ours.cbf')\n"
                   "image.data.astype('<i4').tofile('fabio.raw')\n"
                   "h = image.header\n"
                   "sizes = []\n"
                   "for loop in h.get('loop_', []):\n"
                   "    key = b'_array_element_size.size'\n"
                   "    if key in loop[0]:\n"
                   "        sizes = [float(row[key]) for row in loop[1]]\n"
                   "print('shape', image.data.shape[1], image.data.shape[0])\n"
                   "print('wavelength', float(h['_diffrn_radiation_wavelength.wavelength']))\n"
                   "print('distance', "
                   "float(h['_diffrn_measurement.sample_detector_distance']))\n"
                   "print('sizes', *sizes)\n",
                   ""),
            0)
      << ReadFile(dir.File("python.txt"));
  EXPECT_EQ(ReadInt32(dir.File("fabio.raw")), values);
  const std::string said = ReadFile(dir.File("python.txt"));
  EXPECT_FALSE(Contains(said, "mismatch")) << said;
  EXPECT_TRUE(Contains(said, "shape 300 200")) << said;
  EXPECT_TRUE(Contains(said, "wavelength 0.4066")) << said;
  EXPECT_TRUE(Contains(said, "distance 0.2087")) << said;
  EXPECT_TRUE(Contains(said, "sizes 0.000172 7.5e-05")) << said;
}

TEST_F(CBFFiles, TheRealPilatusImageThroughFabioReadsAsTheTIFF) {
  const auto data = SharedData();
  if (data.empty()) GTEST_SKIP() << "no shared data";
  if (!FabioAvailable()) LV_REFERENCE_MISSING("python3-fabio is not installed");
  const std::string tiff = (data / "CeO2_Pilatus1M.tif").string();
  ASSERT_EQ(Python(dir,
                   "import sys, numpy, fabio, fabio.cbfimage\n"
                   "data = fabio.open(sys.argv[1]).data.astype(numpy.int32)\n"
                   "fabio.cbfimage.CbfImage(data=data).write('pilatus.cbf')\n",
                   "'" + tiff + "'"),
            0)
      << ReadFile(dir.File("python.txt"));
  DataSet fromTiff, fromCBF;
  ASSERT_TRUE(FInputImage(tiff, kFormatTIFF, 1, 1, kFalse, fromTiff, status));
  ASSERT_TRUE(FInputImage(dir.File("pilatus.cbf"), kFormatCBF, 1, 1, kFalse, fromCBF, status));
  ASSERT_EQ(fromCBF.numX, 981);
  ASSERT_EQ(fromCBF.numY, 1043);
  std::size_t gaps = 0;
  for (std::size_t i = 0; i < IElementCount(fromTiff); ++i) {
    ASSERT_EQ(fromCBF.data[i], fromTiff.data[i]) << i;
    gaps += fromCBF.data[i] < 0.0f;
  }
  EXPECT_GT(gaps, 10000u);  // the module gaps came through as negative values

  // Written back by us, it is the same image again.
  ASSERT_TRUE(FOutputCBF(dir.File("again.cbf"), fromCBF, status));
  DataSet again;
  ASSERT_TRUE(FInputCBF(dir.File("again.cbf"), again, status));
  for (std::size_t i = 0; i < IElementCount(fromTiff); ++i) {
    ASSERT_EQ(again.data[i], fromTiff.data[i]) << i;
  }
}

// ---- A large section decoded in parts ------------------------------------------------------

// Small frames are split as large ones are while a test holds this: parts of at least 16
// elements, `parts` of them (none when 0: one call for the whole section).
class SplitDecoding {
 public:
  explicit SplitDecoding(unsigned parts) { Set(parts); }
  ~SplitDecoding() { FCBFSetSplit(0, 0); }
  SplitDecoding(const SplitDecoding&) = delete;
  SplitDecoding& operator=(const SplitDecoding&) = delete;
  static void Set(unsigned parts) {
    if (parts == 0) {
      FCBFSetSplit(std::numeric_limits<std::size_t>::max(), 0);
    } else {
      FCBFSetSplit(16, parts);
    }
  }
};

// What a read gives: whether it succeeded, its values and mask, every line it said.
struct Reading {
  bool ok = false;
  unsigned parts = 0;
  std::vector<float> values;
  std::vector<unsigned char> mask;
  std::vector<std::string> lines;
};

Reading ReadAs(const std::string& name, unsigned parts, RecordingSink& sink) {
  SplitDecoding::Set(parts);
  sink.lines.clear();
  int status = kStatusGood;
  DataSet d;
  Reading r;
  r.ok = FInputImage(name, kFormatCBF, 1, 1, kFalse, d, status) != kFalse;
  r.parts = FCBFLastParts();
  if (r.ok) {
    r.values.assign(d.data.get(), d.data.get() + IElementCount(d));
    if (d.maskDefined) r.mask.assign(d.mask.get(), d.mask.get() + IElementCount(d));
  }
  r.lines = sink.lines;
  return r;
}

// Frames written by fabio whose differences of every width (one byte, 16 and 32 bits) stand
// right at and around the points where 2, 3 and 4 parts meet, with negative values and the
// detector's -1/-2 marks there too: split, they read as fabio reads them and as the one call
// of the library reads them, mask and message included.
TEST_F(CBFFiles, SplitDecodingReadsAsFabioAndTheWholeCallAtEveryDifferenceWidth) {
  if (!FabioAvailable()) LV_REFERENCE_MISSING("python3-fabio is not installed");
  const int width = 53, height = 19;  // 1007 elements: the parts are of unequal lengths
  const std::size_t n = static_cast<std::size_t>(width) * height;
  struct Case {
    const char* what;
    std::int32_t step;  // the difference placed at the element
    int at;             // relative to each point where parts meet
  };
  std::vector<Case> cases;
  for (const auto& [what, step] : std::vector<std::pair<const char*, std::int32_t>>{
           {"byte", -100}, {"16 bits", 30000}, {"32 bits", -(1 << 28)}, {"gap mark", 0}}) {
    for (int at = -2; at <= 2; ++at) cases.push_back({what, step, at});
  }
  std::string script = "import numpy, fabio, fabio.cbfimage\n";
  std::vector<std::vector<std::int32_t>> frames;
  for (std::size_t c = 0; c < cases.size(); ++c) {
    auto values = DetectorLikeValues(width, height, 40 + static_cast<unsigned>(c));
    for (unsigned k = 2; k <= 4; ++k) {
      for (unsigned p = 1; p < k; ++p) {
        const std::size_t i = p * n / k + static_cast<std::size_t>(cases[c].at);
        values[i] = cases[c].step == 0 ? -1 - static_cast<std::int32_t>(p % 2)
                                       : values[i - 1] + cases[c].step;
        values[i + 1] = -values[i] / 3 - 7;  // a negative step back
      }
    }
    frames.push_back(values);
    std::string raw(values.size() * 4, '\0');
    std::memcpy(raw.data(), values.data(), raw.size());
    const std::string stem = "frame" + std::to_string(c);
    WriteFile(dir.File(stem + ".raw"), raw);
    script += "d = numpy.fromfile('" + stem + ".raw', '<i4').reshape(" + std::to_string(height) +
              ", " + std::to_string(width) + ")\n"
              "fabio.cbfimage.CbfImage(data=d).write('" + stem + ".cbf')\n"
              "fabio.open('" + stem + ".cbf').data.astype('<i4').tofile('" + stem + ".back')\n";
  }
  ASSERT_EQ(Python(dir, script, ""), 0) << ReadFile(dir.File("python.txt"));
  for (std::size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(std::string(cases[c].what) + " at " + std::to_string(cases[c].at));
    const std::string stem = "frame" + std::to_string(c);
    const auto fabio = ReadInt32(dir.File(stem + ".back"));
    ASSERT_EQ(fabio, frames[c]);
    // fabio writes no detector convention: marks are values. The same bytes under a
    // mini-header convention give the mask.
    std::string text = ReadFile(dir.File(stem + ".cbf"));
    const std::size_t data = text.find("_array_data.data");
    ASSERT_NE(data, std::string::npos);
    text.insert(data, "_array_data.header_convention \"PILATUS_1.2\"\n");
    WriteFile(dir.File(stem + ".marks.cbf"), text);
    for (const std::string& name : {dir.File(stem + ".cbf"), dir.File(stem + ".marks.cbf")}) {
      const Reading whole = ReadAs(name, 0, sink);
      ASSERT_TRUE(whole.ok);
      EXPECT_EQ(whole.parts, 1u);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(whole.values[i], static_cast<float>(fabio[i])) << i;
      for (unsigned k = 2; k <= 4; ++k) {
        SCOPED_TRACE(std::to_string(k) + " parts");
        const Reading split = ReadAs(name, k, sink);
        ASSERT_TRUE(split.ok);
        EXPECT_EQ(split.parts, k);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(split.values[i], whole.values[i]) << i;
        EXPECT_EQ(split.mask, whole.mask);
        EXPECT_EQ(split.lines, whole.lines);
      }
    }
  }
}

// Values at the ends of the 32-bit range: a part that starts from 0 reaches values beyond it
// before the value ahead of it is added, which the addition's wrap-around gives back exactly.
// Streams that the split cannot follow (cut short, an escape in the last bytes, a 64-bit
// difference, more or fewer elements than claimed) read, or are refused, exactly as by the
// one call.
TEST_F(CBFFiles, SplitDecodingWrapsExactlyAndLeavesOddStreamsToTheWholeCall) {
  const int width = 16, height = 8;
  std::vector<std::int32_t> extremes(static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < extremes.size(); ++i) {
    extremes[i] = i % 3 == 0 ? kIntMax - static_cast<std::int32_t>(i) : kIntMin + static_cast<std::int32_t>(i);
  }
  const auto values = DetectorLikeValues(width, height, 7);
  const std::string plain = ByteOffset(values);
  const auto withBinary = [&](std::string binary, const std::string& elements = "") {
    MinimalOptions o;
    o.binary = std::move(binary);
    o.elements = elements;
    o.padding = 0;  // (a file far larger than its image is read another way)
    return MinimalCBF(width, height, values, o);
  };
  // Element 64 (where two parts meet) as a 64-bit difference of 1.
  std::string wide = ByteOffset({values.begin(), values.begin() + 64});
  wide += std::string("\x80\x00\x80\x00\x00\x00\x80", 7) + std::string("\x01\0\0\0\0\0\0\0", 8);
  wide += ByteOffset({values.begin() + 64, values.end()}).substr(1);
  struct Case {
    const char* what;
    std::string file;
    bool split;  // the parts read it
  };
  const std::vector<Case> cases = {
      {"values at both ends of the range", MinimalCBF(width, height, extremes, {.padding = 0}),
       true},
      {"detector values", withBinary(plain), true},
      {"cut short", withBinary(plain.substr(0, plain.size() - 40)), false},
      {"an escape as the last byte", withBinary(plain + "\x80"), false},
      {"a 16-bit escape at the end", withBinary(plain + std::string("\x80\x00", 2)), false},
      {"a 32-bit escape at the end", withBinary(plain + std::string("\x80\x00\x80\x01", 4)), false},
      {"a 64-bit difference where parts meet", withBinary(wide), false},
      {"more bytes than elements", withBinary(plain + std::string(5, '\x01')), false},
      {"fewer elements claimed", withBinary(plain, "100"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = dir.File("odd.cbf");
    WriteFile(name, c.file);
    const Reading whole = ReadAs(name, 0, sink);
    for (unsigned k = 2; k <= 4; ++k) {
      SCOPED_TRACE(std::to_string(k) + " parts");
      const Reading split = ReadAs(name, k, sink);
      EXPECT_EQ(split.ok, whole.ok);
      EXPECT_EQ(split.parts, c.split ? k : 1u);
      EXPECT_EQ(split.values, whole.values);
      EXPECT_EQ(split.mask, whole.mask);
      EXPECT_EQ(split.lines, whole.lines);
    }
    if (c.split) {
      ASSERT_TRUE(whole.ok);
      const auto& expected = std::string(c.what).find("ends") != std::string::npos ? extremes : values;
      for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(whole.values[i], static_cast<float>(expected[i])) << i;
      }
    }
  }
  // Without a fixed number, the parts are as many as the cores the process may use (at most
  // 4): none where it may use one.
  const std::string name = dir.File("cores.cbf");
  WriteFile(name, withBinary(plain));
  const char* before = std::getenv("LV_THREADS");
  const std::string kept = before ? before : "";
  for (const char* cap : {"1", "3"}) {
    SCOPED_TRACE(std::string("LV_THREADS=") + cap);
    ::setenv("LV_THREADS", cap, 1);
    FCBFSetSplit(16, 0);
    DataSet d;
    ASSERT_TRUE(FInputImage(name, kFormatCBF, 1, 1, kFalse, d, status));
    const unsigned cores = ICoresAvailable();
    EXPECT_EQ(FCBFLastParts(), cores > 1 ? std::min(cores, 4u) : 1u);
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(d.data[i], static_cast<float>(values[i])) << i;
    }
  }
  if (before) {
    ::setenv("LV_THREADS", kept.c_str(), 1);
  } else {
    ::unsetenv("LV_THREADS");
  }
  FCBFSetSplit(0, 0);
}

// The real Pilatus 6M frames, split as this machine splits them and in 4 parts, pixel for
// pixel as fabio reads them.
TEST_F(CBFFiles, RealPilatusFramesSplitReadAsFabioReadsThem) {
  const auto data = SharedData();
  if (data.empty()) GTEST_SKIP() << "no shared data";
  if (!FabioAvailable()) LV_REFERENCE_MISSING("python3-fabio is not installed");
  std::vector<std::string> frames;
  for (int i = 1; i <= 4; ++i) {
    const auto frame = data / ("thau_3_2_000" + std::to_string(i) + ".cbf");
    if (std::filesystem::exists(frame)) frames.push_back(frame.string());
  }
  if (frames.empty()) GTEST_SKIP() << "no Pilatus frames";
  std::string arguments;
  for (const auto& f : frames) arguments += " '" + f + "'";
  ASSERT_EQ(Python(dir,
                   "import sys, fabio\n"
                   "for k, name in enumerate(sys.argv[1:]):\n"
                   "    image = fabio.open(name)\n"
                   "    image.data.astype('<i4').tofile('frame%d.raw' % k)\n"
                   "    text = image.header.get('_array_data.header_contents', '')\n"
                   "    cutoff = [l.split()[2] for l in text.splitlines() if 'Count_cutoff' in l][0]\n"
                   "    open('cutoff%d.txt' % k, 'w').write(cutoff)\n",
                   arguments),
            0)
      << ReadFile(dir.File("python.txt"));
  for (std::size_t k = 0; k < frames.size(); ++k) {
    SCOPED_TRACE(frames[k]);
    const auto fabio = ReadInt32(dir.File("frame" + std::to_string(k) + ".raw"));
    ASSERT_EQ(fabio.size(), 2463u * 2527u);
    // Counts at or above the header's cutoff (as fabio reads the header) are overloaded.
    const long long cutoff = std::stoll(ReadFile(dir.File("cutoff" + std::to_string(k) + ".txt")));
    ASSERT_GT(cutoff, 0);
    auto marked = [&](std::size_t i) {
      return fabio[i] == -1 || fabio[i] == -2 || fabio[i] >= cutoff;
    };
    for (const unsigned parts : {0u, 4u}) {
      if (parts == 0) {
        FCBFSetSplit(0, 0);  // as the program splits
      } else {
        FCBFSetSplit(0, parts);
      }
      DataSet d;
      ASSERT_TRUE(FInputImage(frames[k], kFormatCBF, 1, 1, kFalse, d, status));
      const unsigned cores = ICoresAvailable();
      EXPECT_EQ(FCBFLastParts(), parts ? parts : cores > 1 ? std::min(cores, 4u) : 1u);
      std::size_t marks = 0;
      for (std::size_t i = 0; i < fabio.size(); ++i) {
        ASSERT_EQ(d.data[i], static_cast<float>(fabio[i])) << i;
        marks += marked(i);
      }
      ASSERT_TRUE(d.maskDefined);
      for (std::size_t i = 0; i < fabio.size(); ++i) {
        ASSERT_EQ(d.mask[i] != 0, marked(i)) << i;
      }
      EXPECT_GT(marks, 0u);
    }
  }
  FCBFSetSplit(0, 0);
}

TEST_F(CBFFiles, TheLibrarysOwnConverterReadsOurFilesAndItsPackedFilesReadBack) {
  if (std::system("command -v cif2cbf > /dev/null 2>&1") != 0) {
    LV_REFERENCE_MISSING("cif2cbf (cbflib-bin) is not installed");
  }
  const int width = 64, height = 48;
  const auto values = DetectorLikeValues(width, height, 31);
  DataSet d;
  MakeImage(width, height, d);
  for (std::size_t i = 0; i < values.size(); ++i) d.data[i] = static_cast<float>(values[i]);
  ASSERT_TRUE(FOutputCBF(dir.File("ours.cbf"), d, status));
  for (const char* compression : {"packed", "none", "canonical"}) {
    SCOPED_TRACE(compression);
    const std::string command = "cd '" + dir.path().string() + "' && cif2cbf -c " +
                                compression + " -i ours.cbf -o converted.cbf > cif2cbf.txt 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(dir.File("cif2cbf.txt"));
    DataSet back;
    ASSERT_TRUE(FInputImage(dir.File("converted.cbf"), kFormatCBF, 1, 1, kFalse, back, status));
    ASSERT_EQ(back.numX, width);
    ASSERT_EQ(back.numY, height);
    for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(back.data[i], d.data[i]) << i;
  }
}

}  // namespace

namespace {

// A frame CBFlib wrote in its packed compression, eight panels in one array: it opens (the
// packed data holds runs that look like long names to a search that does not skip binary
// sections), its panels stacked, each pixel as CBFlib's own converter gives it uncompressed.
TEST_F(CBFFiles, APackedMultiPanelFrameOpensAsTheLibraryReadsIt) {
  const auto data = SharedData();
  const auto packed = data / "idx-20130301060858401.cbf";
  if (data.empty() || !std::filesystem::exists(packed)) GTEST_SKIP() << "no packed frame";
  DataSet d;
  ASSERT_TRUE(FInputImage(packed.string(), kFormatCBF, 1, 1, kFalse, d, status)) << status;
  EXPECT_EQ(d.numX, 388);
  EXPECT_EQ(d.numY, 8 * 185);
  if (std::system("command -v cif2cbf > /dev/null 2>&1") != 0) {
    LV_REFERENCE_MISSING("cif2cbf (cbflib-bin) is not installed");
  }
  const std::string command = "cd '" + dir.path().string() + "' && cif2cbf -c none -i '" +
                              packed.string() + "' -o plain.cbf > cif2cbf.txt 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(dir.File("cif2cbf.txt"));
  DataSet plain;
  ASSERT_TRUE(FInputImage(dir.File("plain.cbf"), kFormatCBF, 1, 1, kFalse, plain, status));
  ASSERT_EQ(plain.numX * plain.numY, d.numX * d.numY);
  for (std::size_t i = 0; i < IElementCount(d); ++i) ASSERT_EQ(d.data[i], plain.data[i]) << i;
}

}  // namespace
