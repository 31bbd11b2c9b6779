// Readers of the binary-header formats: MarResearch (both layouts, the packed stream),
// Princeton, TIFF and BSL. Files are built here byte by byte; packed streams come from a small
// encoder that follows the format's own description, and a few are written out bit by bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "core/status.h"
#include "fileio/FBinaryHeaders.h"
#include "fileio/FInput.h"
#include "fileio/FMarPackedImage.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace {

// ---- Byte and bit writers -------------------------------------------------------------------
void Put(std::string& s, std::uint32_t v, int bytes, bool big) {
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (big ? bytes - 1 - i : i);
    s.push_back(static_cast<char>((v >> shift) & 0xFF));
  }
}
std::string Words(std::initializer_list<std::int32_t> words, bool big) {
  std::string s;
  for (auto w : words) Put(s, static_cast<std::uint32_t>(w), 4, big);
  return s;
}

struct BitWriter {
  std::string bytes;
  std::uint64_t acc = 0;
  int n = 0;
  void Bits(std::uint32_t v, int width) {
    if (width == 0) return;
    acc |= static_cast<std::uint64_t>(v & (width == 32 ? 0xFFFFFFFFu : (1u << width) - 1)) << n;
    n += width;
    for (; n >= 8; n -= 8, acc >>= 8) bytes.push_back(static_cast<char>(acc & 0xFF));
  }
  std::string Finish() {
    if (n > 0) bytes.push_back(static_cast<char>(acc & 0xFF));
    return bytes;
  }
};

constexpr int kWidths[8] = {0, 4, 5, 6, 7, 8, 16, 32};

// The differences of an image under the packed format's prediction (16-bit wrap-around).
std::vector<std::int32_t> Differences(const std::vector<std::uint16_t>& image, int x) {
  std::vector<std::int32_t> d(image.size());
  auto s = [&](std::size_t q) { return static_cast<int>(static_cast<std::int16_t>(image[q])); };
  for (std::size_t p = 0; p < image.size(); ++p) {
    int prediction = 0;
    if (p > static_cast<std::size_t>(x)) {
      prediction = (s(p - 1) + s(p - x + 1) + s(p - x) + s(p - x - 1) + 2) / 4;
    } else if (p > 0) {
      prediction = s(p - 1);
    }
    d[p] = static_cast<std::int16_t>(static_cast<std::uint16_t>(image[p] - prediction));
  }
  return d;
}

// Blocks of `block` differences each (shorter at the end), each in the narrowest width that
// holds them, or in `forceWidth` when it is given. Counts the width classes used.
std::string Pack(const std::vector<std::uint16_t>& image, int x, int y, int block = 8,
                 int forceWidth = -1, std::vector<int>* used = nullptr) {
  const auto d = Differences(image, x);
  BitWriter w;
  for (std::size_t p = 0; p < d.size();) {
    int e = 0;
    while ((1 << (e + 1)) <= block && p + (std::size_t{1} << (e + 1)) <= d.size()) ++e;
    const std::size_t n = std::size_t{1} << e;
    int k = 0;
    auto fits = [&](int width) {
      for (std::size_t i = p; i < p + n; ++i) {
        if (width == 0 ? d[i] != 0
                       : width < 32 && (d[i] < -(1 << (width - 1)) || d[i] >= (1 << (width - 1))))
          return false;
      }
      return true;
    };
    while (forceWidth >= 0 ? kWidths[k] != forceWidth : !fits(kWidths[k])) ++k;
    if (used) ++(*used)[k];
    w.Bits(static_cast<std::uint32_t>((k << 3) | e), 6);
    for (std::size_t i = p; i < p + n; ++i) w.Bits(static_cast<std::uint32_t>(d[i]), kWidths[k]);
    p += n;
  }
  char line[64];
  std::snprintf(line, sizeof line, "CCP4 packed image, X: %04d, Y: %04d\n", x, y);
  return line + w.Finish();
}

// Bands of three rows whose noise grows from none to the full 16 bits, then a band that
// alternates between values past 32767 and the maximum: every width class and the signed
// neighbours come into play.
std::vector<std::uint16_t> Scene(int x, int y, unsigned seed) {
  static const unsigned kNoise[7] = {0, 5, 12, 28, 56, 110, 4000};
  std::mt19937 random(seed);
  std::vector<std::uint16_t> image(static_cast<std::size_t>(x) * y);
  for (int r = 0; r < y; ++r)
    for (int c = 0; c < x; ++c) {
      const int band = (r / 3) % 8;
      const unsigned v = band == 7 ? (c % 2 ? 65535u : 33000u + c)
                                   : 500u + (kNoise[band] ? random() % kNoise[band] : 0u);
      image[static_cast<std::size_t>(r) * x + c] = static_cast<std::uint16_t>(v);
    }
  return image;
}

// A packed-layout Mar file: header words, overflow records in 64-byte blocks, stream.
std::string MarPacked(int x, int y, const std::string& stream,
                      const std::vector<std::pair<std::int32_t, std::int32_t>>& overflows,
                      bool big) {
  std::string s = Words({1234, x, static_cast<std::int32_t>(overflows.size()), 1, 0, x * y}, big);
  s.resize(4096, '\0');
  for (auto [address, value] : overflows) s += Words({address, value}, big);
  s.resize(64 * (64 + (overflows.size() + 7) / 8), '\0');
  return s + stream;
}

class BinaryFormat : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }
  std::string Write(const std::string& name, const std::string& bytes) {
    WriteFile(dir.File(name), bytes);
    return dir.File(name);
  }
  bool Saw(const std::string& start) const {
    for (const auto& line : sink.lines)
      if (line.rfind(start, 0) == 0) return true;
    return false;
  }
  float At(int x, int y) const { return d.data[IIndex(d, x, y)]; }
  // Decodes a stream placed at byte 0 of a file into a fresh x * y DataSet.
  int Decode(const std::string& stream, int x, int y) {
    const std::string path = Write("s.pck", stream);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    EXPECT_TRUE(IAllocateData(x, y, d, status));
    std::fill(d.data.get(), d.data.get() + IElementCount(d), -1.0f);
    const int ok = FMarPackedImage(file, 0, x, y, d, status);
    std::fclose(file);
    return ok;
  }
  bool Equals(const std::vector<std::uint16_t>& image, int x, int y) const {
    for (int r = 0; r < y; ++r)
      for (int c = 0; c < x; ++c)
        if (At(c, r) != image[static_cast<std::size_t>(r) * x + c]) return false;
    return true;
  }

  RecordingSink sink;
  ScratchDir dir;
  DataSet d;
  int status = kStatusGood;
};

// ---- Packed stream ---------------------------------------------------------------------------
TEST_F(BinaryFormat, PackedStreamWrittenBitByBitDecodes) {
  // Header 001 001 (two 4-bit differences): 3 and -2, least significant bit first.
  ASSERT_TRUE(Decode(std::string("CCP4 packed image, X: 0002, Y: 0001\n\xC9\x38", 38), 2, 1));
  EXPECT_EQ(At(0, 0), 3.0f);
  EXPECT_EQ(At(1, 0), 1.0f);

  // One 16-bit difference of 500, then a zero block of 128 that is cut at the last pixel.
  BitWriter w;
  w.Bits(6 << 3, 6);
  w.Bits(500, 16);
  w.Bits(7, 6);
  ASSERT_TRUE(Decode("CCP4 packed image, X: 0016, Y: 0008\n" + w.Finish(), 16, 8));
  EXPECT_TRUE(Equals(std::vector<std::uint16_t>(128, 500), 16, 8));
  EXPECT_TRUE(sink.lines.empty());

  // Neighbours of 40000 count as -25536: a difference of 0 gives 40001.
  BitWriter n;
  n.Bits(6 << 3, 6);
  n.Bits(40000, 16);
  for (int i = 0; i < 8; ++i) n.Bits(0, 6);
  ASSERT_TRUE(Decode("CCP4 packed image, X: 0003, Y: 0003\n" + n.Finish(), 3, 3));
  EXPECT_EQ(At(0, 1), 40000.0f);
  EXPECT_EQ(At(1, 1), 40001.0f);
}

TEST_F(BinaryFormat, PackedRoundTripUsesEveryWidthClass) {
  struct Row {
    int x, y, block, forceWidth;
  };
  const Row rows[] = {{37, 29, 8, -1}, {64, 40, 128, -1}, {2, 9, 4, -1}, {5, 7, 2, 32}};
  std::vector<int> used(8, 0);
  for (const Row& row : rows) {
    const auto image = Scene(row.x, row.y, static_cast<unsigned>(row.x));
    ASSERT_TRUE(Decode(Pack(image, row.x, row.y, row.block, row.forceWidth, &used), row.x, row.y));
    EXPECT_TRUE(Equals(image, row.x, row.y)) << row.x << " x " << row.y;
    EXPECT_EQ(d.numX, row.x);
    EXPECT_EQ(d.endY, row.y - 1);
  }
  for (int k = 0; k < 8; ++k) EXPECT_GT(used[k], 0) << "width " << kWidths[k];
  EXPECT_TRUE(sink.lines.empty());
}

TEST_F(BinaryFormat, PackedStreamCutShortLeavesZerosAndWarns) {
  const auto image = Scene(20, 10, 3);
  const std::string stream = Pack(image, 20, 10);
  const std::size_t head = stream.find('\n') + 1;
  for (std::size_t keep : {head, head + (stream.size() - head) / 2, stream.size() - 1}) {
    sink.lines.clear();
    ASSERT_TRUE(Decode(stream.substr(0, keep), 20, 10));
    ASSERT_TRUE(Saw("WARNING: FMarPackedImage: The packed data ends after")) << keep;
    int zeros = 0;
    for (int r = 0; r < 10; ++r)
      for (int c = 0; c < 20; ++c) {
        const float want = image[static_cast<std::size_t>(r) * 20 + c];
        if (At(c, r) == 0.0f && want != 0.0f) ++zeros;
        else EXPECT_EQ(At(c, r), want);
      }
    EXPECT_GT(zeros, 0);
  }
}

TEST_F(BinaryFormat, PackedStreamWithoutMarkerOrOfAnotherSizeIsRefused) {
  const std::string stream = Pack(Scene(8, 8, 1), 8, 8);
  EXPECT_FALSE(Decode(stream.substr(4), 8, 8));
  EXPECT_TRUE(Saw("WARNING: FMarPackedImage: No 'CCP4 packed image' line"));
  EXPECT_FALSE(Decode(stream, 8, 9));
  EXPECT_TRUE(Saw("WARNING: FMarPackedImage: The packed image is 8 * 8 pixels, but the header "
                  "gives 8 * 9"));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(BinaryFormat, RandomBitsNeverLeaveTheBuffers) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 20; ++trial) {
    std::string noise(static_cast<std::size_t>(random() % 300), '\0');
    for (char& c : noise) c = static_cast<char>(random());
    const int x = 1 + static_cast<int>(random() % 40), y = 1 + static_cast<int>(random() % 40);
    char line[64];
    std::snprintf(line, sizeof line, "CCP4 packed image, X: %04d, Y: %04d\n", x, y);
    EXPECT_TRUE(Decode(line + noise, x, y));
    for (std::size_t i = 0; i < IElementCount(d); ++i) {
      ASSERT_TRUE(d.data[i] >= 0.0f && d.data[i] <= 65535.0f);
    }
  }
}

// ---- Mar files --------------------------------------------------------------------------------
TEST_F(BinaryFormat, MarPackedFilesInBothByteOrders) {
  const auto image = Scene(24, 16, 5);
  for (bool big : {false, true}) {
    sink.lines.clear();
    // Addresses count from 1: 6 is the sixth pixel, 384 the last; 0 and 385 lie outside.
    const std::string bytes =
        MarPacked(24, 16, Pack(image, 24, 16),
                  {{6, 123456}, {24 * 16 - 1, -7}, {24 * 16, 9}, {0, 9}, {385, 9}, {-1, 9}}, big);
    EXPECT_TRUE(FIsMar(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size())));
    ASSERT_TRUE(FInputMar(Write("plate.mar3450", bytes), d, status)) << big;
    EXPECT_EQ(d.dimX, 24);
    EXPECT_EQ(d.numY, 16);
    EXPECT_EQ(d.title, "plate.mar3450");
    // The first file row ends at the bottom.
    EXPECT_EQ(At(0, 15), image[0]);
    EXPECT_EQ(At(7, 15 - 3), image[3 * 24 + 7]);
    EXPECT_EQ(At(5, 15), 123456.0f);
    EXPECT_EQ(At(6, 15), image[6]);
    EXPECT_EQ(At(22, 0), -7.0f);
    EXPECT_EQ(At(23, 0), 9.0f);  // the last pixel's overflow is kept
    EXPECT_TRUE(Saw("WARNING: FMarInputImage: Invalid Overloaded pixel address: 0"));
    EXPECT_TRUE(Saw("WARNING: FMarInputImage: Invalid Overloaded pixel address: 385"));
    EXPECT_TRUE(Saw("WARNING: FMarInputImage: Invalid Overloaded pixel address: -1"));
    EXPECT_FALSE(Saw("WARNING: FMarInputImage: Invalid Overloaded pixel address: 384"));
  }
}

TEST_F(BinaryFormat, MarOldLayoutReadsOverflowsAfterThePixels) {
  // 1200 columns, 3 rows; the overflow table starts at byte 2 * 1200 * 4.
  for (bool big : {false, true}) {
    std::string bytes = Words({1200, 3, 0, 0, 3}, big);
    bytes.resize(2400, '\0');
    for (int p = 0; p < 3600; ++p) Put(bytes, static_cast<std::uint32_t>(p * 7 % 65536), 2, big);
    // Addresses count from 1: 1 is the first pixel of the file, 3600 the last.
    bytes += Words({1, 70000, 1202, 80000, 3600, 90000}, big);
    ASSERT_TRUE(FIsMar(reinterpret_cast<const unsigned char*>(bytes.data()), 1024));
    ASSERT_TRUE(FInputMar(Write("old.image", bytes), d, status));
    EXPECT_EQ(d.dimX, 1200);
    EXPECT_EQ(d.dimY, 3);
    EXPECT_EQ(At(0, 2), 70000.0f);
    EXPECT_EQ(At(1, 1), 80000.0f);
    EXPECT_EQ(At(1199, 0), 90000.0f);
    EXPECT_EQ(At(10, 2), 70.0f);
    EXPECT_EQ(At(10, 0), static_cast<float>((2400 + 10) * 7));
  }
}

TEST_F(BinaryFormat, MarHeadersThatTheFileCannotBackAreRefused) {
  struct Row {
    std::string bytes;
    const char* warning;
  };
  std::string hugeOld = Words({2000, 3000, 0, 0, 0}, false);
  hugeOld.resize(5000, '\0');
  const std::string stream = Pack(Scene(8, 8, 2), 8, 8);
  std::string oldWithoutTable = Words({1200, 3, 0, 0, 2}, false);
  oldWithoutTable.resize(2400 * 4, '\0');
  const Row rows[] = {
      {hugeOld, "WARNING: FMarInputImage: The header describes"},
      {MarPacked(10000, 10000, stream, {}, false).substr(0, 4096 + 20),
       "WARNING: FMarInputImage: The header describes 100000000 pixels"},
      {MarPacked(0, 8, stream, {}, false), "WARNING: FMarInputImage: Impossible image"},
      {oldWithoutTable, "WARNING: FMarInputImage: The 2 overflow records"},
      {Words({77, 1, 2, 3}, false) + std::string(100, '\0'),
       "WARNING: FMarImageInfo: The first word (77) is not"},
  };
  for (const Row& row : rows) {
    sink.lines.clear();
    EXPECT_FALSE(FInputMar(Write("bad.mar", row.bytes), d, status));
    EXPECT_TRUE(Saw(row.warning)) << row.warning;
    EXPECT_FALSE(d.dataAllocated);
  }
  EXPECT_FALSE(FInputMar(Write("short.mar", Words({1234, 8}, true)), d, status));
  EXPECT_EQ(status, kStatusRead);
}

TEST_F(BinaryFormat, MarHeaderAcceptance) {
  struct Row {
    std::string words;
    bool fits;
  };
  const Row rows[] = {
      {Words({1234, 3450, 10, 1, 0, 3450 * 3450}, true), true},
      {Words({1234, 10001, 0, 1, 0, 100}, false), false},
      {Words({1234, 100, 0, 3, 0, 100}, false), false},
      {Words({1234, 100, 200, 1, 0, 100}, false), false},
      {Words({1800, 3450, 0, 0, 1800 * 3450}, false), true},
      {Words({1800, 3451, 0, 0, 0}, false), false},
      {Words({2000, 0, 0, 0, 0}, false), false},
      {Words({1200, 5, 0, 0, 6001}, true), false},
  };
  for (const Row& row : rows) {
    std::string buffer = row.words;
    buffer.resize(1024, '\0');
    EXPECT_EQ(FIsMar(reinterpret_cast<const unsigned char*>(buffer.data()), 1024) != 0, row.fits);
    EXPECT_FALSE(FIsMar(reinterpret_cast<const unsigned char*>(buffer.data()), 1023));
  }
}

// ---- Princeton -------------------------------------------------------------------------------
std::string Princeton(int columns, int rows, int frames, int type, int rowsAt34 = 0) {
  std::string s(4100, '\0');
  auto put16 = [&](int at, int v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  };
  std::memcpy(&s[20], "07Jul2015", 9);
  put16(42, columns);
  put16(656, rows);
  put16(34, rowsAt34);
  put16(108, type);
  put16(1446, frames);
  return s;
}

TEST_F(BinaryFormat, PrincetonFramesAndTypes) {
  std::string u16 = Princeton(8, 4, 3, 3);
  for (int f = 1; f <= 3; ++f)
    for (int i = 0; i < 32; ++i) Put(u16, static_cast<std::uint32_t>(f * 1000 + i), 2, false);
  ASSERT_TRUE(FInputPrinceton(Write("a.spe", u16), 2, d, status));
  EXPECT_EQ(At(0, 0), 2000.0f);
  EXPECT_EQ(At(7, 3), 2031.0f);

  std::string real = Princeton(2, 2, 1, 0);
  for (float v : {1.5f, -2.0f, 3e9f, 0.25f}) real.append(reinterpret_cast<const char*>(&v), 4);
  ASSERT_TRUE(FInputPrinceton(Write("r.spe", real), 1, d, status));
  EXPECT_EQ(At(0, 1), 3e9f);

  std::string i32 = Princeton(2, 1, 1, 1) + Words({-5, 70000}, false);
  ASSERT_TRUE(FInputPrinceton(Write("i.spe", i32), 1, d, status));
  EXPECT_EQ(At(0, 0), -5.0f);

  // No frame count: one 16-bit frame whose rows are at byte 34.
  std::string old = Princeton(3, 99, 0, 1, 2);
  for (int i = 0; i < 6; ++i) Put(old, static_cast<std::uint32_t>(60000 + i), 2, false);
  ASSERT_TRUE(FInputPrinceton(Write("o.spe", old), 1, d, status));
  EXPECT_EQ(d.dimY, 2);
  EXPECT_EQ(At(2, 1), 60005.0f);

  EXPECT_FALSE(FInputPrinceton(Write("a.spe", u16), 4, d, status));
  EXPECT_TRUE(Saw("WARNING: FPrincetonInputImage: Frame 4 does not exist"));
  EXPECT_FALSE(
      FInputPrinceton(Write("big.spe", Princeton(10000, 60000, 1, 3) + "pixels"), 1, d, status));
  EXPECT_TRUE(Saw("WARNING: FPrincetonInputImage: The header describes"));
  EXPECT_FALSE(FInputPrinceton(Write("t.spe", Princeton(2, 2, 1, 7) + "12345678"), 1, d, status));
  EXPECT_TRUE(Saw("WARNING: FPrincetonImageInfo: Unknown data type: 7"));
  EXPECT_TRUE(Saw("ERROR: FPrincetonInputImage: Unknown data-type: -1"));
  EXPECT_FALSE(FInputPrinceton(Write("s.spe", std::string(4099, 'x')), 1, d, status));
  EXPECT_TRUE(Saw("NOTE: FPrincetonImageInfo: Problem reading header bytes."));
  EXPECT_TRUE(Saw("ERROR: FInputPrinceton: Problem inputting header information:"));
  EXPECT_EQ(status, kStatusGood);
}

// ---- TIFF -----------------------------------------------------------------------------------
// A 5 x 7 image; every strip is preceded by junk bytes so that only its offset finds it.
struct TiffLayout {
  bool big = false;
  int bits = 16, format = 0;  // SampleFormat; 0 leaves the tag out
  int rowsPerStrip = 0;       // 0 leaves the tag out
  int offsetType = 4;         // 3 SHORT, 4 LONG
  int compression = 1;        // 0 leaves the tag out
  std::uint32_t shift = 0;    // added to every strip offset
};

// Pixel i: negative for signed formats, fractional for reals, past 2^31 for unsigned 32 bits.
double TiffValue(const TiffLayout& t, int i) {
  if (t.format == 3) return i * 0.5 - 3.25;
  if (t.format == 2) return i - (t.bits == 8 ? 100 : 30000);
  return t.bits == 8 ? 200 + i % 50 : t.bits == 16 ? 65000 + i : 4000000000.0 + i;
}

std::string Tiff(const TiffLayout& t) {
  const int rps = t.rowsPerStrip ? t.rowsPerStrip : 7;
  std::string body, array;
  for (int i = 0; i < 35; ++i) {
    if (i % (rps * 5) == 0) {
      body += "junk";
      Put(array, static_cast<std::uint32_t>(8 + body.size()) + t.shift, t.offsetType == 3 ? 2 : 4,
          t.big);
    }
    const float real = static_cast<float>(TiffValue(t, i));
    std::uint32_t raw = static_cast<std::uint32_t>(static_cast<std::int64_t>(TiffValue(t, i)));
    if (t.format == 3) std::memcpy(&raw, &real, 4);
    Put(body, raw, t.bits / 8, t.big);
  }
  const auto strips = static_cast<std::uint32_t>((7 + rps - 1) / rps);
  std::string s = t.big ? "MM" : "II", entries;
  Put(s, 42, 2, t.big);
  Put(s, static_cast<std::uint32_t>(8 + body.size() + array.size()), 4, t.big);
  int count = 0;
  auto entry = [&](int tag, int type, std::uint32_t n, std::string field) {
    Put(entries, static_cast<std::uint32_t>(tag), 2, t.big);
    Put(entries, static_cast<std::uint32_t>(type), 2, t.big);
    Put(entries, n, 4, t.big);
    field.resize(4, '\0');
    entries += field;
    ++count;
  };
  auto value = [&](int type, std::uint32_t v) {
    std::string f;
    Put(f, v, type == 3 ? 2 : 4, t.big);
    return f;
  };
  entry(256, 3, 1, value(3, 5));
  entry(257, 4, 1, value(4, 7));
  entry(258, 3, 1, value(3, static_cast<std::uint32_t>(t.bits)));
  if (t.compression) entry(259, 3, 1, value(3, static_cast<std::uint32_t>(t.compression)));
  // Offsets that fit the four bytes of the field live there; longer arrays follow the pixels.
  entry(273, t.offsetType, strips,
        array.size() <= 4 ? array : value(4, static_cast<std::uint32_t>(8 + body.size())));
  if (t.rowsPerStrip) entry(278, 3, 1, value(3, static_cast<std::uint32_t>(t.rowsPerStrip)));
  if (t.format) entry(339, 3, 1, value(3, static_cast<std::uint32_t>(t.format)));
  s += body + array;
  Put(s, static_cast<std::uint32_t>(count), 2, t.big);
  return s + entries;
}

TEST_F(BinaryFormat, TiffEveryWidthFormatOrderAndStripLayout) {
  const int kinds[][2] = {{8, 0}, {8, 2}, {16, 1}, {16, 2}, {32, 0}, {32, 2}, {32, 3}};
  const int layouts[][2] = {{0, 4}, {2, 3}, {4, 3}, {3, 4}};  // rows per strip, offset type
  for (bool big : {false, true})
    for (const auto& kind : kinds)
      for (const auto& layout : layouts) {
        const TiffLayout t{.big = big, .bits = kind[0], .format = kind[1],
                           .rowsPerStrip = layout[0], .offsetType = layout[1]};
        SCOPED_TRACE(::testing::Message() << big << " " << t.bits << " " << t.format << " "
                                          << t.rowsPerStrip << " " << t.offsetType);
        ASSERT_TRUE(FInputTIFF(Write("t.tif", Tiff(t)), d, status));
        ASSERT_EQ(d.dimX, 5);
        ASSERT_EQ(d.dimY, 7);
        for (int i = 0; i < 35; ++i)
          ASSERT_EQ(At(i % 5, i / 5), static_cast<float>(TiffValue(t, i))) << i;
      }
  EXPECT_TRUE(sink.lines.empty());
}

TEST_F(BinaryFormat, TiffRefusals) {
  struct Row {
    TiffLayout layout;
    const char* line;
  };
  const Row rows[] = {
      {{.compression = 0}, "ERROR: TIFF file contains compressed data type: -1"},
      {{.compression = 2}, "ERROR: TIFF file contains CCITT compressed data, which is not supported"},
      {{.compression = 32773},
       "ERROR: TIFF file contains PackBits compressed data, which is not supported"},
      {{.bits = 12}, "NOTE: FTIFFInputImage: Unsupported Bits per sample: 12 bits"},
      {{.shift = 100000}, "WARNING: FTIFFInputImage: Strip 0 (bytes 100012 to 100082) lies outside"},
      {{.format = 3}, "NOTE: FTIFFInputImage: Unsupported sample format: 3 with 16 bits per sample"},
  };
  for (const Row& row : rows) {
    EXPECT_FALSE(FInputTIFF(Write("bad.tif", Tiff(row.layout)), d, status));
    EXPECT_TRUE(Saw(row.line)) << row.line;
    EXPECT_FALSE(d.dataAllocated);
  }
  std::string farDirectory = Tiff(TiffLayout());
  farDirectory[7] = '\x7F';
  EXPECT_FALSE(FInputTIFF(Write("far.tif", farDirectory), d, status));
  EXPECT_TRUE(Saw("ERROR: FInputTIFF: Problem inputting header information:"));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(BinaryFormat, TiffStripArraysAreHeldToTheFileBeforeRoomIsTaken) {
  // One column of 2^31 - 1 rows, one row per strip: the strip offsets would take 16 GiB. The
  // check runs in a child held to 4 GiB of address space, where such an allocation fails.
  std::string s = "II";
  Put(s, 42, 2, false);
  Put(s, 8, 4, false);
  Put(s, 6, 2, false);
  auto entry = [&](int tag, int type, std::uint32_t count, std::uint32_t value) {
    Put(s, static_cast<std::uint32_t>(tag), 2, false);
    Put(s, static_cast<std::uint32_t>(type), 2, false);
    Put(s, count, 4, false);
    Put(s, value, 4, false);
  };
  entry(256, 4, 1, 1);
  entry(257, 4, 1, 0x7FFFFFFFu);
  entry(258, 3, 1, 16);
  entry(259, 3, 1, 1);
  entry(273, 4, 0x7FFFFFFFu, 100);
  entry(278, 4, 1, 1);
  s.resize(200, '\0');
  const std::string path = Write("strips.tif", s);
  const int result = RunInChild(
      [&] {
        sink.lines.clear();
        if (FInputTIFF(path, d, status)) return 1;
        if (status != kStatusGood) return 2;
        return Saw("WARNING: FTIFFInputImage: The strip offsets (bytes 100 to 8589934688) lie "
                   "beyond the end of the file (200 bytes)")
                   ? 0
                   : 3;
      },
      20, std::int64_t{4} << 30);
  EXPECT_EQ(result, 0);
}

// ---- BSL -------------------------------------------------------------------------------------
TEST_F(BinaryFormat, BslDatasetsFramesAndByteOrders) {
  std::string low, high, bytes;
  for (int i = 0; i < 2 * 6; ++i)
    Put(low, static_cast<std::uint32_t>(1000 * (i / 6) + i), 2, false);
  for (int i = 0; i < 4; ++i) Put(high, static_cast<std::uint32_t>(-i * 100000), 4, true);
  Put(bytes, 0x01020304, 4, false);
  Write("A01000.001", low);
  Write("A02000.001", high);
  Write("A03000.001", bytes);
  const std::string header = Write("A00000.000",
                                   "Calibration run\nsecond line\n"
                                   "3 2 2 1 4 0 0 0 0 0\nA01000.001  \n"
                                   "2,2,1,0,5,0,0,0,0,0\nA02000.001\n"
                                   "2 2 1 1 2 0 0 0 0 0\nA03000.001\n"
                                   "1 1 1 1 0 0 0 0 0\nA04000.001\n");
  int count = 0;
  ASSERT_TRUE(FBSLNumDatasets(header, count, status));
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(Saw("INFO: Data-set 2 contains 1 image(s) of 2 x 2 pixels"));

  ASSERT_TRUE(FInputBSL(header, 1, 2, d, status));
  EXPECT_EQ(d.dimX, 3);
  EXPECT_EQ(At(0, 0), 1006.0f);
  EXPECT_EQ(At(2, 1), 1011.0f);
  EXPECT_EQ(d.title, "Calibration run");
  ASSERT_TRUE(FInputBSL(header, 2, 1, d, status));
  EXPECT_EQ(At(1, 1), -300000.0f);
  EXPECT_FALSE(FInputBSL(header, 3, 1, d, status));
  EXPECT_TRUE(Saw("WARNING: ERROR: FBSLInputImage: Unknown data-type: 100"));
  EXPECT_FALSE(FInputBSL(header, 1, 3, d, status));
  EXPECT_TRUE(Saw("WARNING: FBSLInputImage: Frame 3 does not exist"));
  EXPECT_FALSE(FInputBSL(header, 4, 1, d, status));
  EXPECT_TRUE(Saw("ERROR: FInputBSL: Problem inputting header information:"));

  DatasetInfo info;
  std::FILE* file = std::fopen(header.c_str(), "r");
  ASSERT_TRUE(FBSLDatasetInfo(file, header, 1, info, status));
  std::fclose(file);
  EXPECT_EQ(info.images, 2);
  EXPECT_EQ(info.elementType, kElementUI2);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(BinaryFormat, BslHeaderLineProblems) {
  struct Row {
    const char* line;
    const char* warning;  // null: the line ends the data-sets silently
  };
  const Row rows[] = {
      {"1 1 1 1 0 0 0 0 0", nullptr},
      {"x 1 1 1 0 0 0 0 0 0", "WARNING: FBSLFileHeader; Could not interpret number of X-pixels: x"},
      {"1 1 1 2 0 0 0 0 0 0", "WARNING: FBSLFileHeader; Undefined value for byte order: 2"},
      {"1 1 1 1 10 0 0 0 0 0", "WARNING: FBSLFileHeader; Undefined value for data type: 10"},
  };
  for (const Row& row : rows) {
    sink.lines.clear();
    int count = -1;
    ASSERT_TRUE(FBSLNumDatasets(Write("h", std::string("t\nd\n") + row.line + "\nX\n"), count,
                                status));
    EXPECT_EQ(count, 0);
    if (row.warning) EXPECT_TRUE(Saw(row.warning)) << row.warning;
    else EXPECT_TRUE(sink.lines.empty());
  }
  int count = -1;
  ASSERT_TRUE(FBSLNumDatasets(Write("h", "t\nd\n1 1 1 1 0 0 0 0 0 0\n"), count, status));
  EXPECT_TRUE(Saw("WARNING: FBSLFileHeader; Problem inputting file name"));
}

// The binary file lies beside its header: a header naming any other place is refused unread.
TEST_F(BinaryFormat, BslBinaryFileIsAPlainNameBesideTheHeader) {
  std::string one;
  Put(one, 7, 4, false);
  Write("A01000.001", one);
  std::filesystem::create_directory(dir.File("sub"));
  WriteFile(dir.File("sub/A01000.001"), one);
  const struct {
    const char* name;
    bool read;
  } rows[] = {{"A01000.001", true},          {"../../../../etc/hostname", false},
              {"/etc/hostname", false},      {"sub/A01000.001", false},
              {"..", false},                 {"sub\\A01000.001", false}};
  for (const auto& row : rows) {
    sink.lines.clear();
    const std::string header =
        Write("A00000.000", std::string("t\nd\n1 1 1 1 4 0 0 0 0 0\n") + row.name + "\n");
    EXPECT_EQ(FInputBSL(header, 1, 1, d, status) != 0, row.read) << row.name;
    if (!row.read) {
      EXPECT_TRUE(Saw(std::string("WARNING: FBSLImageInfo: The header names its binary file \"") +
                      row.name + "\""))
          << row.name;
    }
    status = kStatusGood;
  }
}

// ---- Real files -----------------------------------------------------------------------------
TEST_F(BinaryFormat, RealDetectorFiles) {
  if (SharedData().empty()) GTEST_SKIP() << "shared data absent";
  struct Row {
    const char* name;
    int format, columns, rows;
    float minimum, maximum;
    int pixels[3][3];  // column, row (file row 0 = data row 0), value
  };
  const Row rows[] = {
      {"CeO2_PI_CCD_Mo.SPE", kFormatPrinceton, 1042, 1042, 0, 3351,
       {{0, 0, 20}, {400, 500, 316}, {200, 100, 128}}},
      {"CeO2_Pilatus1M.tif", kFormatTIFF, 981, 1043, -2, 621698,
       {{400, 500, 181}, {200, 100, 53}, {980, 1042, 39}}},
  };
  for (const Row& row : rows) {
    const std::string path = (SharedData() / row.name).string();
    if (!std::ifstream(path)) continue;
    int format = 0;
    ASSERT_TRUE(FDeduceFileFormat(path, format, status));
    EXPECT_EQ(format, row.format);
    ASSERT_TRUE(FInputImage(path, format, 1, 1, kFalse, d, status)) << row.name;
    EXPECT_EQ(d.numX, row.columns);
    EXPECT_EQ(d.numY, row.rows);
    const auto [lo, hi] = std::minmax_element(d.data.get(), d.data.get() + IElementCount(d));
    EXPECT_EQ(*lo, row.minimum);
    EXPECT_EQ(*hi, row.maximum);
    for (const auto& p : row.pixels) EXPECT_EQ(At(p[0], p[1]), static_cast<float>(p[2]));
    EXPECT_EQ(d.title, row.name);
  }
}

}  // namespace
