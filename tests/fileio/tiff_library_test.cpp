// TIFFs the uncompressed reader refuses, read through libtiff: LZW, Deflate and PackBits
// strips written by python3-pil, tiles and several pages written through libtiff itself, each
// equal to the uncompressed file that the classic reader reads.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/status.h"
#include "core/text.h"
#include "data/Experiment.h"
#include "fileio/FInput.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kColumns = 37, kRows = 23;

std::uint16_t Pixel(int x, int y, int page) {
  return static_cast<std::uint16_t>(((y * kColumns + x) * 131 + page) % 65536);
}

// Writes pages of 16-bit pixels through libtiff: tiles of 16 x 16 or strips of 5 rows.
void WriteWithLibtiff(const std::string& name, bool tiled, int pages, int compression) {
  TIFF* t = TIFFOpen(name.c_str(), "w");
  ASSERT_NE(t, nullptr);
  for (int page = 0; page < pages; ++page) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kColumns);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kRows);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    if (pages > 1) TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    if (tiled) {
      TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
      TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
      std::vector<std::uint16_t> tile(16 * 16);
      for (int ty = 0; ty < kRows; ty += 16)
        for (int tx = 0; tx < kColumns; tx += 16) {
          for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
              tile[static_cast<std::size_t>(y * 16 + x)] =
                  tx + x < kColumns && ty + y < kRows ? Pixel(tx + x, ty + y, page) : 0xBEEF;
          ASSERT_GE(TIFFWriteTile(t, tile.data(), static_cast<std::uint32_t>(tx),
                                  static_cast<std::uint32_t>(ty), 0, 0),
                    0);
        }
    } else {
      TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 5);
      std::vector<std::uint16_t> row(kColumns);
      for (int y = 0; y < kRows; ++y) {
        for (int x = 0; x < kColumns; ++x) row[static_cast<std::size_t>(x)] = Pixel(x, y, page);
        ASSERT_EQ(TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0), 1);
      }
    }
    ASSERT_TRUE(TIFFWriteDirectory(t));
  }
  TIFFClose(t);
}

class TiffLibrary : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  bool Saw(const std::string& start) const {
    for (const auto& line : sink.lines)
      if (line.rfind(start, 0) == 0) return true;
    return false;
  }
  int Read(const std::string& name, int answer, DataSet& d) {
    FInputHooks hooks;
    hooks.ask = [this, answer](const std::string& question, int upper, int& value, int&) {
      asked.push_back(question);
      upper_ = upper;
      value = answer;
      return kTrue;
    };
    return FInputDataWith(name, hooks, d, status);
  }
  void ExpectPage(const DataSet& d, int page) {
    ASSERT_EQ(d.dimX, kColumns);
    ASSERT_EQ(d.dimY, kRows);
    for (int y = 0; y < kRows; ++y)
      for (int x = 0; x < kColumns; ++x)
        ASSERT_EQ(d.data[IIndex(d, x, y)], static_cast<float>(Pixel(x, y, page)))
            << x << ", " << y << " page " << page;
  }

  RecordingSink sink;
  ScratchDir dir;
  int status = kStatusGood;
  std::vector<std::string> asked;
  int upper_ = 0;
};

TEST_F(TiffLibrary, CompressedStripsWrittenByPilEqualTheUncompressedFile) {
  const std::string script =
      "import sys\n"
      "from PIL import Image\n"
      "import numpy as np\n"
      "a = ((np.arange(23 * 37).reshape(23, 37) * 131) % 65536).astype(np.uint16)\n"
      "for c in ['raw', 'tiff_lzw', 'tiff_adobe_deflate', 'packbits']:\n"
      "    Image.fromarray(a).save(sys.argv[1] + '/' + c + '.tif', compression=c)\n"
      "f = Image.fromarray(a.astype(np.float32) * 0.25 - 3)\n"
      "f.save(sys.argv[1] + '/real_raw.tif', compression='raw')\n"
      "f.save(sys.argv[1] + '/real_lzw.tif', compression='tiff_lzw')\n"
      "pages = [Image.fromarray(((a.astype(np.uint32) + p) % 65536).astype(np.uint16)) "
      "for p in range(3)]\n"
      "pages[0].save(sys.argv[1] + '/pages.tif', save_all=True, append_images=pages[1:], "
      "compression='tiff_lzw')\n";
  WriteFile(dir.File("write.py"), script);
  const std::string command =
      "/usr/bin/python3 " + dir.File("write.py") + " " + dir.path().string() + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) LV_REFERENCE_MISSING("python3-pil (with numpy) not available");

  DataSet reference;
  ASSERT_TRUE(FInputTIFF(dir.File("raw.tif"), reference, status));
  ExpectPage(reference, 0);
  for (const char* name : {"tiff_lzw", "tiff_adobe_deflate", "packbits"}) {
    SCOPED_TRACE(name);
    DataSet d;
    asked.clear();
    ASSERT_TRUE(Read(dir.File(std::string(name) + ".tif"), 1, d));
    EXPECT_TRUE(asked.empty());
    ExpectPage(d, 0);
  }
  DataSet realReference, real;
  ASSERT_TRUE(Read(dir.File("real_raw.tif"), 1, realReference));
  ASSERT_TRUE(Read(dir.File("real_lzw.tif"), 1, real));
  ASSERT_EQ(real.dimX, realReference.dimX);
  for (std::size_t i = 0; i < IElementCount(real); ++i)
    ASSERT_EQ(real.data[i], realReference.data[i]) << i;
  EXPECT_EQ(realReference.data[1], 131 * 0.25f - 3.0f);

  // Three pages: the image prompt offers them, each page its own values.
  for (int page : {1, 2, 3}) {
    DataSet d;
    asked.clear();
    ASSERT_TRUE(Read(dir.File("pages.tif"), page, d));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(upper_, 3);
    ExpectPage(d, page - 1);
  }
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(TiffLibrary, TilesAndPagesWrittenThroughLibtiff) {
  WriteWithLibtiff(dir.File("tiled.tif"), true, 1, COMPRESSION_NONE);
  WriteWithLibtiff(dir.File("tiled_deflate.tif"), true, 1, COMPRESSION_ADOBE_DEFLATE);
  WriteWithLibtiff(dir.File("pages.tif"), false, 4, COMPRESSION_NONE);
  for (const char* name : {"tiled.tif", "tiled_deflate.tif"}) {
    SCOPED_TRACE(name);
    int format = kFormatNone;
    ASSERT_TRUE(FDeduceFileFormat(dir.File(name), format, status));
    EXPECT_EQ(format, kFormatTIFF);
    DataSet d;
    ASSERT_TRUE(Read(dir.File(name), 1, d));
    ExpectPage(d, 0);
  }
  // Uncompressed pages: the first through the classic reader, the others through libtiff.
  DatasetInfo info;
  ASSERT_TRUE(FGetDatasetInfo(dir.File("pages.tif"), kFormatTIFF, 1, info, status));
  EXPECT_EQ(info.images, 4);
  for (int page = 1; page <= 4; ++page) {
    DataSet d;
    ASSERT_TRUE(FInputImage(dir.File("pages.tif"), kFormatTIFF, 1, page, kFalse, d, status));
    ExpectPage(d, page - 1);
  }
  DataSet none;
  EXPECT_FALSE(FInputImage(dir.File("pages.tif"), kFormatTIFF, 1, 5, kFalse, none, status));
  EXPECT_TRUE(Saw("WARNING: FTIFFLibraryInput: The file has no page 5"));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(TiffLibrary, DamagedCompressedStripsAreRefusedAndTheStoreKept) {
  WriteWithLibtiff(dir.File("lzw.tif"), false, 1, COMPRESSION_LZW);
  std::string bytes = ReadFile(dir.File("lzw.tif"));
  // The strips follow the 8-byte header: spoil them all.
  for (std::size_t i = 8; i < 400 && i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xFF);
  WriteFile(dir.File("spoilt.tif"), bytes);
  DataSet d;
  ASSERT_TRUE(IAllocateData(2, 2, d, status));
  IDefineWholeImage(d, 2, 2);
  d.data[0] = 9.0f;
  EXPECT_FALSE(Read(dir.File("spoilt.tif"), 1, d));
  EXPECT_TRUE(Saw("WARNING: FTIFFLibraryInput: Strip 0 cannot be decoded"));
  EXPECT_EQ(d.dimX, 2);
  EXPECT_EQ(d.data[0], 9.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(TiffLibrary, ACompressedPageClaimingGigapixelsInAFewBytesIsRefused) {
  // 50000 x 50000 16-bit pixels, LZW, one strip of 10 bytes: a 300-byte file.
  std::string s = "II*";
  s.push_back('\0');
  auto put = [&s](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  put(8, 4);
  const std::uint32_t entries[][3] = {{256, 4, 50000}, {257, 4, 50000}, {258, 3, 16},
                                      {259, 3, 5},     {262, 3, 1},     {273, 4, 200},
                                      {277, 3, 1},     {278, 4, 50000}, {279, 4, 10}};
  put(9, 2);
  for (const auto& e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(1, 4);
    put(e[2], 4);
  }
  put(0, 4);
  s.resize(300, '\0');
  WriteFile(dir.File("claim.tif"), s);
  DataSet d;
  EXPECT_FALSE(Read(dir.File("claim.tif"), 1, d));
  EXPECT_TRUE(Saw("WARNING: FTIFFLibraryInput: The page claims 50000 * 50000 pixels, far more "
                  "than a file of 300 bytes holds"));
  EXPECT_FALSE(d.dataAllocated);
  EXPECT_EQ(status, kStatusGood);
}

// Compressed strips of every sample kind (the last strip shorter) read exactly: samples of up
// to four bytes are widened in the image's own rows, wider ones through a strip buffer. A tile
// far larger than its image is refused before libtiff decodes it.
TEST_F(TiffLibrary, EverySampleKindInStripsAndTilesOutOfProportion) {
  struct Kind {
    const char* name;
    int bits, format;
    double scale;  // pixel value = (x + y * kColumns) * scale, exact in every kind
  };
  const Kind kinds[] = {
      {"u8", 8, SAMPLEFORMAT_UINT, 0.25},    {"i8", 8, SAMPLEFORMAT_INT, -0.125},
      {"u16", 16, SAMPLEFORMAT_UINT, 70.0},  {"i16", 16, SAMPLEFORMAT_INT, -30.0},
      {"u32", 32, SAMPLEFORMAT_UINT, 1e4},   {"i32", 32, SAMPLEFORMAT_INT, -1e4},
      {"f32", 32, SAMPLEFORMAT_IEEEFP, 0.5}, {"f64", 64, SAMPLEFORMAT_IEEEFP, -0.25},
      {"u64", 64, SAMPLEFORMAT_UINT, 3.0},
  };
  const auto value = [](const Kind& k, int x, int y) {
    const double v = (x + y * kColumns) * k.scale;
    return k.bits == 8 ? static_cast<double>(static_cast<long>(v)) : v;
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.name);
    const std::string name = dir.File(std::string(k.name) + ".tif");
    TIFF* t = TIFFOpen(name.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kColumns);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kRows);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, k.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, k.format);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 5);
    std::vector<unsigned char> row(static_cast<std::size_t>(kColumns) * k.bits / 8);
    for (int y = 0; y < kRows; ++y) {
      for (int x = 0; x < kColumns; ++x) {
        const double v = value(k, x, y);
        unsigned char* at = row.data() + static_cast<std::size_t>(x) * k.bits / 8;
        auto put = [at](auto typed) { std::memcpy(at, &typed, sizeof typed); };
        if (k.format == SAMPLEFORMAT_IEEEFP) {
          k.bits == 32 ? put(static_cast<float>(v)) : put(v);
        } else if (k.bits == 8) {
          k.format == SAMPLEFORMAT_INT ? put(static_cast<std::int8_t>(v))
                                       : put(static_cast<std::uint8_t>(v));
        } else if (k.bits == 16) {
          k.format == SAMPLEFORMAT_INT ? put(static_cast<std::int16_t>(v))
                                       : put(static_cast<std::uint16_t>(v));
        } else if (k.bits == 32) {
          k.format == SAMPLEFORMAT_INT ? put(static_cast<std::int32_t>(v))
                                       : put(static_cast<std::uint32_t>(v));
        } else {
          put(static_cast<std::uint64_t>(v));
        }
      }
      ASSERT_EQ(TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFClose(t);
    DataSet d;
    ASSERT_TRUE(Read(name, 1, d));
    ASSERT_EQ(d.dimX, kColumns);
    ASSERT_EQ(d.dimY, kRows);
    for (int y = 0; y < kRows; ++y)
      for (int x = 0; x < kColumns; ++x)
        ASSERT_EQ(d.data[IIndex(d, x, y)], static_cast<float>(value(k, x, y))) << x << ", " << y;
  }

  // A 16 x 16 image in one deflated tile of 4096 x 4096 bytes.
  const std::string name = dir.File("vast-tile.tif");
  TIFF* t = TIFFOpen(name.c_str(), "w");
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 16);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 16);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t, TIFFTAG_TILEWIDTH, 4096);
  TIFFSetField(t, TIFFTAG_TILELENGTH, 4096);
  std::vector<std::uint8_t> tile(4096u * 4096u, 7);
  ASSERT_GE(TIFFWriteTile(t, tile.data(), 0, 0, 0, 0), 0);
  TIFFClose(t);
  DataSet d;
  ASSERT_TRUE(IAllocateData(2, 2, d, status));
  IDefineWholeImage(d, 2, 2);
  d.data[0] = 9.0f;
  EXPECT_FALSE(Read(name, 1, d));
  EXPECT_TRUE(Saw("WARNING: FTIFFLibraryInput: Unusable tiles of 4096 * 4096 pixels"));
  EXPECT_EQ(d.data[0], 9.0f);
  EXPECT_EQ(status, kStatusGood);
}

// A hybrid pixel detector's TIFF (signed counts, its mini-header as the description) has its
// gaps (-1), bad pixels (-2) and counts at or above the header's count cutoff masked on opening,
// through the classic reader and through libtiff; other TIFFs get no mask. The real Pilatus
// frame: the marks numpy counts in fabio's reading of it.
TEST_F(TiffLibrary, APixelDetectorsMarksAreMaskedOnOpening) {
  const std::string pilatus =
      "# Pixel_size 172e-6 m x 172e-6 m\r\n# Silicon sensor, thickness 0.000450 m\r\n"
      "# Exposure_time 3.0000000 s\r\n# Count_cutoff 1000 counts\r\n";
  auto value = [](int x, int y) { return (y * kColumns + x) * 37 % 1200 - 2; };
  struct Row {
    const char* name;
    bool isSigned;
    std::string description;
    int compression;
    bool masked;
  };
  const Row rows[] = {{"classic", true, pilatus, COMPRESSION_NONE, true},
                      {"deflate", true, pilatus, COMPRESSION_ADOBE_DEFLATE, true},
                      {"no-header", true, "", COMPRESSION_NONE, false},
                      {"camera", true, "made by a camera", COMPRESSION_NONE, false},
                      {"unsigned", false, pilatus, COMPRESSION_NONE, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = dir.File(std::string(row.name) + ".tif");
    TIFF* t = TIFFOpen(name.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kColumns);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kRows);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 32);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, row.isSigned ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_COMPRESSION, row.compression);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kRows);
    if (!row.description.empty()) {
      TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, row.description.c_str());
    }
    std::vector<std::int32_t> line(kColumns);
    for (int y = 0; y < kRows; ++y) {
      for (int x = 0; x < kColumns; ++x) line[static_cast<std::size_t>(x)] = value(x, y);
      ASSERT_EQ(TIFFWriteScanline(t, line.data(), static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFClose(t);
    sink.lines.clear();
    DataSet d;
    ASSERT_TRUE(Read(name, 1, d));
    ASSERT_EQ(d.mask != nullptr, row.masked);
    if (!row.masked) continue;
    long long gaps = 0, bad = 0, over = 0;
    for (int y = 0; y < kRows; ++y)
      for (int x = 0; x < kColumns; ++x) {
        const int v = value(x, y);
        gaps += v == -1;
        bad += v == -2;
        over += v >= 1000;
        ASSERT_EQ(d.mask[IIndex(d, x, y)] != 0, v == -1 || v == -2 || v >= 1000) << x << ", " << y;
        ASSERT_EQ(d.data[IIndex(d, x, y)], static_cast<float>(v)) << "the values stay";
      }
    EXPECT_TRUE(d.maskInUse);
    EXPECT_TRUE(Saw(IFormat("INFO: Masked %lld module-gap pixel(s) (-1) and %lld bad pixel(s) "
                            "(-2) the detector marks",
                            gaps, bad)));
    EXPECT_TRUE(Saw(IFormat("INFO: Masked %lld overloaded pixel(s): at or above the detector's "
                            "count cutoff of 1000 counts",
                            over)));
  }
  const std::string real = (SharedData() / "CeO2_Pilatus1M.tif").string();
  if (SharedData().empty() || !std::ifstream(real)) return;
  sink.lines.clear();
  DataSet d;
  ASSERT_TRUE(Read(real, 1, d));
  EXPECT_TRUE(Saw("INFO: Masked 73533 module-gap pixel(s) (-1) and 27 bad pixel(s) (-2) the "
                  "detector marks"));
  EXPECT_FALSE(Saw("INFO: Masked 0")) << "its counts stay below its cutoff";
  // Its mini-header's geometry, as fabio reads the header: 172e-6 m pixels, 0.21143 m.
  EXPECT_FLOAT_EQ(d.pixelSizeX, 172e-6f);
  EXPECT_FLOAT_EQ(d.pixelSizeY, 172e-6f);
  EXPECT_FLOAT_EQ(d.distance, 0.21143f);
  EXPECT_NE(d.headerGeometry & kGeometryDistance, 0u);
}

}  // namespace
