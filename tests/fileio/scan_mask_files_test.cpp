// Chiplot, lists of reals, BSL output and mask files: round trips, lying headers, refusals
// and writes that fail part-way.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "core/status.h"
#include "fileio/FInput.h"
#include "fileio/FScanFiles.h"
#include "tests/support/TestSupport.h"

namespace {

class ScanFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }

  std::string Write(const std::string& name, const std::string& text) {
    WriteFile(dir.File(name), text);
    return dir.File(name);
  }
  bool Saw(const std::string& line) const {
    return std::find(sink.lines.begin(), sink.lines.end(), line) != sink.lines.end();
  }
  DataSet Image(int w, int h) {
    DataSet d;
    EXPECT_TRUE(IAllocateData(w, h, d, status));
    for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = 0.25f * static_cast<float>(i);
    d.numX = w, d.numY = h, d.endX = w - 1, d.endY = h - 1;
    d.dataDefined = kTrue;
    return d;
  }
  DataSet Read(const std::string& path) {
    DataSet d;
    EXPECT_TRUE(FInputImage(path, kFormatChiplot, 1, 1, kFalse, d, status)) << path;
    return d;
  }
  std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::size_t Files() const {
    using std::filesystem::directory_iterator;
    return static_cast<std::size_t>(std::distance(directory_iterator(dir.path()), {}));
  }

  RecordingSink sink;
  ScratchDir dir;
  int status = kStatusGood;
};
using MaskFileTest = ScanFileTest;

TEST_F(ScanFileTest, ChiplotRoundTrips) {
  DataSet d = Read(Write("in.chi", "Scan\n2-theta\nCounts\n3 1\n10 1.5\n12 2.5\n14 3.5\n"));
  EXPECT_EQ(d.xAxisStart, 10.0f);
  EXPECT_EQ(d.pixelSizeX, 2.0f);
  EXPECT_EQ(d.title, "Scan");
  ASSERT_TRUE(FOutputChiplot(dir.File("out.chi"), d, status));
  const auto lines = Lines(dir.File("out.chi"));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[3], "3 1");
  for (int i = 0; i < 3; ++i) {
    float x, v;
    ASSERT_EQ(std::sscanf(lines[4 + i].c_str(), "%f %f", &x, &v), 2);
    EXPECT_EQ(x, 10.0f + 2.0f * i);
    EXPECT_EQ(v, 1.5f + i);
  }

  // A one-row region with variances: "N errors", value, 0.0, sqrt(variance).
  DataSet e = Image(4, 1);
  ASSERT_TRUE(IAllocateVariances(e, status));
  std::fill(e.variances.get(), e.variances.get() + 4, 4.0f);
  e.variancesDefined = kTrue;
  ASSERT_TRUE(FOutputChiplot(dir.File("e.chi"), e, status));
  const auto errors = Lines(dir.File("e.chi"));
  EXPECT_EQ(errors[3], "4 errors");
  float a, b, c, s;
  ASSERT_EQ(std::sscanf(errors[6].c_str(), "%f %f %f %f", &a, &b, &c, &s), 4);
  EXPECT_EQ(b, 0.5f);
  EXPECT_EQ(c, 0.0f);
  EXPECT_EQ(s, 2.0f);
  EXPECT_EQ(Read(dir.File("e.chi")).data[3], 0.75f);

  // A fourth line of one number: one column.
  DatasetInfo info;
  ASSERT_TRUE(FGetDatasetInfo(Write("5.chi", "t\nx\nz\n5\n1 1\n2 2\n3 3\n4 4\n5 5\n"),
                              kFormatChiplot, 1, info, status));
  EXPECT_EQ(info.columns, 5);
  EXPECT_EQ(info.rows, 1);
}

// Falling abscissae (a d-spacing scan stored from the largest d) are a scan axis with a
// negative step: the writers take it, and the Chiplot written back falls the same way.
TEST_F(ScanFileTest, DescendingAbscissaeAreWrittenBack) {
  DataSet d = Read(Write("d.chi", "d scan\nD-Spacing\nCounts\n5\n5 1\n4 3\n3 9\n2 4\n1 2\n"));
  EXPECT_EQ(d.xAxisStart, 5.0f);
  EXPECT_EQ(d.pixelSizeX, -1.0f);
  ASSERT_TRUE(FOutputChiplot(dir.File("back.chi"), d, status));
  EXPECT_EQ(status, kStatusGood);
  const auto lines = Lines(dir.File("back.chi"));
  ASSERT_EQ(lines.size(), 9u);
  for (int i = 0; i < 5; ++i) {
    float x, v;
    ASSERT_EQ(std::sscanf(lines[4 + i].c_str(), "%f %f", &x, &v), 2);
    EXPECT_EQ(x, 5.0f - i);
  }
  // A region from the third point starts at its abscissa.
  d.startX = 2;
  ASSERT_TRUE(FOutputChiplot(dir.File("part.chi"), d, status));
  EXPECT_EQ(Read(dir.File("part.chi")).xAxisStart, 3.0f);
  d.startX = 0;
  ASSERT_TRUE(FOutputBSL(dir.File("d.bsl"), d, status));
  ASSERT_TRUE(FOutputMask(dir.File("d.msk"), d, status));
  EXPECT_EQ(status, kStatusGood);
  // The detector geometry is still checked where it is used.
  EXPECT_FALSE(ICheckData("test", d, status));
  EXPECT_EQ(status, kStatusBadGeometry);
}

TEST_F(ScanFileTest, ImageWithLongLinesReadsBackEqual) {
  // 40 values a line printed wide and spaced out: far longer than 15 characters a value.
  DataSet d = Image(6, 40);
  std::string text = "t\nx\nz\n6 40\n";
  for (int c = 0; c < 6; ++c) {
    text += std::to_string(c);
    for (int m = 0; m < 40; ++m) {
      char value[64];
      std::snprintf(value, sizeof value, "      %+.20e", double(d.data[IIndex(d, c, m)]));
      text += value;
    }
    text += "\n";
  }
  DataSet back = Read(Write("wide.chi", text));
  ASSERT_EQ(back.dimX * back.dimY, 240);
  EXPECT_EQ(0, std::memcmp(back.data.get(), d.data.get(), 240 * sizeof(float)));
  ASSERT_TRUE(FOutputChiplot(dir.File("again.chi"), back, status));
  EXPECT_EQ(0, std::memcmp(Read(dir.File("again.chi")).data.get(), d.data.get(), 960));
}

TEST_F(ScanFileTest, BadChiplotFilesAreRefusedWithTheirMessage) {
  const std::pair<const char*, const char*> rows[] = {
      {"many\n1 2\n", "Failed to input number of data points"},
      {"2000000000 1000000\n1 2\n",
       "The header describes 2000000000 points of 1000000 values, more than the file holds"},
      {"0 1\n1 2\n", "Impossible number of data points or columns: 0 1"},
      {"2 2\n1 2 3\n4 5\n       \n", "For x = 1, not enough values on line"},
      {"2 1\n1 2\n2 oops\n", "For x = 1, Couldn't convert value"},
  };
  for (const auto& [text, message] : rows) {
    DataSet d;
    EXPECT_FALSE(FInputChiplot(Write("bad.chi", std::string("t\nx\nz\n") + text), d, status));
    EXPECT_EQ(status, kStatusGood);
    EXPECT_TRUE(Saw(std::string("WARNING: FInputChiplot: ") + message)) << message;
  }
}

TEST_F(ScanFileTest, ListOfReals) {
  float values[2] = {};
  int count = 0;
  ASSERT_TRUE(FInput1DASCII(Write("d.Ds", "! d\n3.1\n  ! comment\n\n2.5 A\n1.2\n"), 2, count,
                            values, status));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(values[1], 2.5f);
  EXPECT_TRUE(Saw("WARNING: Problem converting to a real value: "));
}

TEST_F(ScanFileTest, BSLNamesAndRefusals) {
  const std::pair<const char*, const char*> names[] = {
      {"scan.bsl", "sca1.bsl"}, {"A00000.bsl", "A00001.bsl"},
      {"scan", "scan1"},        {"run.2/scan", "run.2/scan1"},
      {"a.b.c", "a.1.c"},       {".bsl", nullptr},
      {"d/.bsl", nullptr}};
  for (const auto& [header, binary] : names) {
    std::string result;
    EXPECT_EQ(FBSLMemoryFileName(header, result, status) != 0, binary != nullptr) << header;
    EXPECT_EQ(result, binary ? binary : "");
  }
  DataSet d = Image(5, 4);
  for (const char* refused : {"data1.bsl", ".bsl"}) {
    EXPECT_FALSE(FOutputBSL(dir.File(refused), d, status));
    EXPECT_TRUE(Saw("WARNING: FOutputBSL: The header file name is not acceptable"));
  }
  EXPECT_EQ(Files(), 0u);

  d.title = "Region";
  d.startX = 1, d.endX = 3, d.startY = 2;
  ASSERT_TRUE(FOutputBSL(dir.File("X00000.bsl"), d, status));
  EXPECT_EQ(Lines(dir.File("X00000.bsl")),
            (std::vector<std::string>{"Region", "", "3 2 1 1 0 0 0 0 0 0", "X00001.bsl"}));
  const std::string binary = ReadFile(dir.File("X00001.bsl"));
  ASSERT_EQ(binary.size(), 6 * sizeof(float));
  EXPECT_EQ(0, std::memcmp(binary.data(), &d.data[IIndex(d, 1, 2)], 3 * sizeof(float)));
}

TEST_F(ScanFileTest, FailedWritesLeaveNoHalfFile) {
  DataSet d = Image(300, 300);
  const std::string chi = Write("big.chi", "old\n");
  {
    // Writes beyond 4 kB fail as on a full disk.
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{}, limit{};
    getrlimit(RLIMIT_FSIZE, &previous);
    limit = previous;
    limit.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_FALSE(FOutputChiplot(chi, d, status));
    EXPECT_FALSE(FOutputBSL(dir.File("big.bsl"), d, status));
    EXPECT_FALSE(FOutputMask(dir.File("big.msk"), d, status));
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);
  }
  EXPECT_EQ(ReadFile(chi), "old\n");
  EXPECT_EQ(Files(), 1u);  // no temporary, no half pair
  EXPECT_TRUE(Saw("WARNING: FOutputChiplot: Problem writing data to output file: " + chi));
  EXPECT_TRUE(Saw("ERROR: FOutputBSL: Problem writing data to output file:"));
  EXPECT_TRUE(Saw("ERROR: Problem writing mask to mask output file: " + dir.File("big.msk")));
  EXPECT_FALSE(FOutputChiplot(dir.File("no/dir.chi"), d, status));
  EXPECT_TRUE(Saw("WARNING: File open failed: " + dir.File("no/dir.chi")));
}

TEST_F(MaskFileTest, RoundTripsAtWordBoundaries) {
  for (int width : {1, 32, 33, 1000}) {
    DataSet d = Image(width, 3);
    ASSERT_TRUE(IAllocateMask(d, status));
    for (std::size_t i = 0; i < IElementCount(d); ++i) d.mask[i] = i % 3 ? 0 : (i % 2 ? 7 : 255);
    d.mask[IIndex(d, width - 1, 1)] = 1;
    const std::string path = dir.File("m.msk");
    ASSERT_TRUE(FOutputMask(path, d, status));
    const std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 1024u + 3u * 4u * ((width + 31) / 32));
    const std::uint32_t head[7] = {77, 65, 83, 75, std::uint32_t(width), 3, 1};
    EXPECT_EQ(0, std::memcmp(bytes.data(), head, sizeof head));
    if (width == 33) {  // row 1's second word holds only column 32, masked
      EXPECT_EQ(bytes.substr(1024 + 12, 4), std::string("\1\0\0\0", 4));
    }
    DataSet back = Image(width, 3);
    ASSERT_TRUE(FInputMask(path, back, status));
    EXPECT_TRUE(back.maskDefined && back.maskInUse);
    for (std::size_t i = 0; i < IElementCount(d); ++i) {
      ASSERT_EQ(back.mask[i], d.mask[i] ? 1 : 0) << width << " at " << i;
    }
  }
}

TEST_F(MaskFileTest, MismatchedOrShortFilesChangeNothing) {
  DataSet tall = Image(100, 200);
  ASSERT_TRUE(IAllocateMask(tall, status));
  tall.mask[5] = 255;
  ASSERT_TRUE(FOutputMask(dir.File("tall.msk"), tall, status));
  const std::string bytes = ReadFile(dir.File("tall.msk"));
  Write("short.msk", bytes.substr(0, bytes.size() - 1));
  Write("other.msk", "MASK" + bytes.substr(4));

  DataSet wide = Image(200, 100), same = Image(100, 200);
  ASSERT_TRUE(IAllocateMask(same, status));
  same.mask[7] = 255;
  same.maskDefined = kTrue;
  const std::tuple<DataSet*, const char*, const char*> rows[] = {
      {&wide, "tall.msk", "The mask is a different size to the defined data"},
      {&same, "short.msk", "Problem inputting mask elements from file"},
      {&same, "other.msk", "This is not a correct mask file !"}};
  for (const auto& [target, file, message] : rows) {
    EXPECT_FALSE(FInputMask(dir.File(file), *target, status)) << file;
    EXPECT_TRUE(Saw(std::string("ERROR: ") + message)) << message;
  }
  EXPECT_EQ(status, kStatusGood);
  EXPECT_FALSE(wide.maskAllocated);
  EXPECT_EQ(same.mask[5], 0);
  EXPECT_EQ(same.mask[7], 255);
  EXPECT_TRUE(same.maskDefined && !same.maskInUse);
}

// Renaming over a file needs only the folder's permission; a file the user made read-only
// is still never replaced. (Root may write anything: for root "read-only" is no write bit.)
TEST_F(ScanFileTest, ReadOnlyFilesAreNotReplaced) {
  using std::filesystem::perms;
  DataSet d = Image(3, 2);
  const auto readOnly = [&](const std::string& name, const std::string& text) {
    const std::string path = Write(name, text);
    std::filesystem::permissions(path, perms::owner_read | perms::group_read | perms::others_read);
    return path;
  };
  const std::string chi = readOnly("kept.chi", "old chiplot\n");
  EXPECT_FALSE(FOutputChiplot(chi, d, status));
  EXPECT_TRUE(Saw("WARNING: File open failed: " + chi));
  EXPECT_EQ(ReadFile(chi), "old chiplot\n");

  const std::string bsl = readOnly("K00000.bsl", "old header\n");
  EXPECT_FALSE(FOutputBSL(bsl, d, status));
  EXPECT_TRUE(Saw("WARNING: File open failed: " + bsl));
  EXPECT_EQ(ReadFile(bsl), "old header\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("K00001.bsl")));
  EXPECT_EQ(status, kStatusGood);

  // A read-only binary file refuses the pair; the header is left as it was.
  const std::string header = Write("B00000.bsl", "old header\n");
  const std::string binary = readOnly("B00001.bsl", "old binary");
  EXPECT_FALSE(FOutputBSL(header, d, status));
  EXPECT_EQ(status, kStatusFileOpen);
  EXPECT_EQ(ReadFile(header), "old header\n");
  EXPECT_EQ(ReadFile(binary), "old binary");
  status = kStatusGood;

  const std::string mask = readOnly("kept.msk", "old mask");
  EXPECT_FALSE(FOutputMask(mask, d, status));
  EXPECT_EQ(status, kStatusFileOpen);
  EXPECT_EQ(ReadFile(mask), "old mask");
  EXPECT_EQ(std::filesystem::status(mask).permissions() & perms::all,
            perms::owner_read | perms::group_read | perms::others_read);
  status = kStatusGood;

  // A file the owner may write is replaced and keeps its mode.
  const std::string open = Write("open.chi", "old\n");
  std::filesystem::permissions(open, perms::owner_read | perms::owner_write | perms::group_read);
  ASSERT_TRUE(FOutputChiplot(open, d, status));
  EXPECT_NE(ReadFile(open), "old\n");
  EXPECT_EQ(std::filesystem::status(open).permissions() & perms::all,
            perms::owner_read | perms::owner_write | perms::group_read);
  EXPECT_EQ(Files(), 6u);  // no temporary left behind
}

}  // namespace
