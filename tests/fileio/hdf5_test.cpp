// HDF5 / NeXus input: files written here through the HDF5 C API (plain and bitshuffle-LZ4,
// one and a hundred frames, a master file with external links, NeXus geometry and pixel mask)
// read back exactly through detection, the image prompt and the framework.
#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "core/status.h"
#include "fileio/FInput.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr unsigned kBitshuffle = 32008;

// A value that tells frame, row and column apart, exact in a float (below 2^24).
std::uint32_t Value(int frame, int x, int y) {
  return static_cast<std::uint32_t>(frame * 10000 + y * 100 + x);
}

struct H5 {
  hid_t id;
  herr_t (*close)(hid_t);
  ~H5() {
    if (id >= 0) close(id);
  }
};

void Scalar(hid_t group, const char* name, double value, const char* units) {
  H5 space{H5Screate(H5S_SCALAR), H5Sclose};
  H5 dataset{H5Dcreate2(group, name, H5T_IEEE_F64LE, space.id, H5P_DEFAULT, H5P_DEFAULT,
                        H5P_DEFAULT),
             H5Dclose};
  H5Dwrite(dataset.id, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value);
  if (units) {
    H5 type{H5Tcopy(H5T_C_S1), H5Tclose};
    H5Tset_size(type.id, std::strlen(units));
    H5 attributeSpace{H5Screate(H5S_SCALAR), H5Sclose};
    H5 attribute{H5Acreate2(dataset.id, "units", type.id, attributeSpace.id, H5P_DEFAULT,
                            H5P_DEFAULT),
                 H5Aclose};
    H5Awrite(attribute.id, type.id, units);
  }
}

void StringAttribute(hid_t object, const char* name, const char* text) {
  H5 type{H5Tcopy(H5T_C_S1), H5Tclose};
  H5Tset_size(type.id, std::strlen(text));
  H5 space{H5Screate(H5S_SCALAR), H5Sclose};
  H5 attribute{H5Acreate2(object, name, type.id, space.id, H5P_DEFAULT, H5P_DEFAULT), H5Aclose};
  H5Awrite(attribute.id, type.id, text);
}

hid_t Group(hid_t parent, const char* path) {
  H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
  H5Pset_create_intermediate_group(lcpl.id, 1);
  return H5Gcreate2(parent, path, lcpl.id, H5P_DEFAULT, H5P_DEFAULT);
}

// Writes `frames` frames of columns x rows 32-bit unsigned values at `path` (frames 0: a 2-D
// data-set), counting frames from `first`; chunks of one frame, bitshuffle-LZ4 when asked.
// False when the filter cannot be loaded.
bool WriteFrames(hid_t file, const char* path, int frames, int columns, int rows, bool compress,
                 int first = 0) {
  const int rank = frames > 0 ? 3 : 2;
  const hsize_t dims3[3] = {static_cast<hsize_t>(frames), static_cast<hsize_t>(rows),
                            static_cast<hsize_t>(columns)};
  const hsize_t* dims = rank == 3 ? dims3 : dims3 + 1;
  H5 space{H5Screate_simple(rank, dims, nullptr), H5Sclose};
  H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
  if (compress) {
    hsize_t chunk3[3] = {1, static_cast<hsize_t>(rows), static_cast<hsize_t>(columns)};
    H5Pset_chunk(dcpl.id, rank, rank == 3 ? chunk3 : chunk3 + 1);
    // Block size chosen by the filter, LZ4: the filter puts its version and the element size
    // in front (0, 3, 4, 0, 2), as detector software writes it.
    const unsigned values[2] = {0, 2};
    if (H5Pset_filter(dcpl.id, kBitshuffle, H5Z_FLAG_MANDATORY, 2, values) < 0) return false;
  }
  H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
  H5Pset_create_intermediate_group(lcpl.id, 1);
  H5 dataset{H5Dcreate2(file, path, H5T_STD_U32LE, space.id, lcpl.id, dcpl.id, H5P_DEFAULT),
             H5Dclose};
  if (dataset.id < 0) return false;
  std::vector<std::uint32_t> values;
  for (int f = 0; f < std::max(frames, 1); ++f)
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < columns; ++x) values.push_back(Value(first + f, x, y));
  return H5Dwrite(dataset.id, H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) >=
         0;
}

bool BitshuffleAvailable() { return H5Zfilter_avail(kBitshuffle) > 0; }

class Hdf5Input : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  bool Saw(const std::string& start) const {
    for (const auto& line : sink.lines)
      if (line.rfind(start, 0) == 0) return true;
    return false;
  }
  // Reads through the whole input as the window does, answering the image prompt.
  int Read(const std::string& name, int answer, DataSet& d) {
    FInputHooks hooks;
    hooks.ask = [this, answer](const std::string& question, int upper, int& value, int&) {
      asked.push_back(question);
      uppers.push_back(upper);
      value = answer;
      return kTrue;
    };
    return FInputDataWith(name, hooks, d, status);
  }
  void ExpectFrame(const DataSet& d, int frame, int columns, int rows) {
    ASSERT_EQ(d.dimX, columns);
    ASSERT_EQ(d.dimY, rows);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < columns; ++x)
        ASSERT_EQ(d.data[IIndex(d, x, y)], static_cast<float>(Value(frame, x, y)))
            << "frame " << frame << " at " << x << ", " << y;
  }

  RecordingSink sink;
  ScratchDir dir;
  int status = kStatusGood;
  std::vector<std::string> asked;
  std::vector<int> uppers;
};

TEST_F(Hdf5Input, DetectedByTheSignatureAfterTheTenTests) {
  const std::string plain = dir.File("plain.h5");
  {
    H5 file{H5Fcreate(plain.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    ASSERT_TRUE(WriteFrames(file.id, "/entry/data/data", 0, 6, 4, false));
  }
  // A user block moves the superblock to byte 512.
  const std::string blocked = dir.File("blocked.nxs");
  {
    H5 fcpl{H5Pcreate(H5P_FILE_CREATE), H5Pclose};
    H5Pset_userblock(fcpl.id, 512);
    H5 file{H5Fcreate(blocked.c_str(), H5F_ACC_TRUNC, fcpl.id, H5P_DEFAULT), H5Fclose};
    ASSERT_TRUE(WriteFrames(file.id, "/entry/data/data", 0, 6, 4, false));
  }
  for (const std::string& name : {plain, blocked}) {
    int format = kFormatNone;
    sink.lines.clear();
    ASSERT_TRUE(FDeduceFileFormat(name, format, status)) << name;
    EXPECT_EQ(format, kFormatHDF5);
    EXPECT_TRUE(Saw("INFO: The file contains an HDF5 image data-set"));
    DataSet d;
    ASSERT_TRUE(Read(name, 1, d));
    EXPECT_TRUE(asked.empty()) << "one frame: no image prompt";
    ExpectFrame(d, 0, 6, 4);
    EXPECT_FALSE(d.maskAllocated) << "no overflow, no detector mask";
  }
  // The signature anywhere else is no HDF5 file.
  std::string shifted(600, 'x');
  std::memcpy(shifted.data() + 100, "\x89HDF\r\n\x1a\n", 8);
  WriteFile(dir.File("shifted.bin"), shifted);
  int format = kFormatNone;
  EXPECT_FALSE(FDeduceFileFormat(dir.File("shifted.bin"), format, status));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Hdf5Input, HundredFramesPlainAndBitshuffleLz4Frame57OpenedDirectly) {
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "bitshuffle-LZ4" : "plain");
    if (compress && !BitshuffleAvailable()) {
      // The reader names the plugin folder itself; load it the same way for the writer.
      DatasetInfo info;
      FGetDatasetInfo(dir.File("none.h5"), kFormatHDF5, 1, info, status);
      status = kStatusGood;
      if (!BitshuffleAvailable()) LV_REFERENCE_MISSING("bitshuffle HDF5 filter not installed");
    }
    const std::string name = dir.File(compress ? "lz4.h5" : "plain100.h5");
    {
      H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
      ASSERT_TRUE(WriteFrames(file.id, "/entry/data/data", 100, 40, 30, compress));
    }
    if (compress) {
      // The filter really is on the data-set.
      H5 file{H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose};
      H5 dataset{H5Dopen2(file.id, "/entry/data/data", H5P_DEFAULT), H5Dclose};
      H5 dcpl{H5Dget_create_plist(dataset.id), H5Pclose};
      unsigned flags = 0, values[8] = {};
      std::size_t n = 8;
      ASSERT_GE(H5Pget_filter_by_id2(dcpl.id, kBitshuffle, &flags, &n, values, 0, nullptr,
                                     nullptr),
                0);
      ASSERT_GE(n, 5u);
      EXPECT_EQ(values[4], 2u) << "LZ4";
      EXPECT_LT(H5Dget_storage_size(dataset.id), 100u * 40 * 30 * 4 / 2) << "compressed";
    }
    DatasetInfo info;
    ASSERT_TRUE(FGetDatasetInfo(name, kFormatHDF5, 1, info, status));
    EXPECT_EQ(info.columns, 40);
    EXPECT_EQ(info.rows, 30);
    EXPECT_EQ(info.images, 100);
    EXPECT_EQ(info.elementType, kElementUI4);

    DataSet d;
    asked.clear();
    uppers.clear();
    ASSERT_TRUE(Read(name, 57, d));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], "ENTER NUMBER OF IMAGE WITHIN DATA-SET TO INPUT");
    EXPECT_EQ(uppers[0], 100);
    ExpectFrame(d, 56, 40, 30);
    EXPECT_NE(d.title.find("frame 57"), std::string::npos) << d.title;
    // Frame 57 directly, with no prompt; the first and the last frames too.
    for (int frame : {57, 1, 100}) {
      DataSet direct;
      ASSERT_TRUE(FInputImage(name, kFormatHDF5, 1, frame, kFalse, direct, status));
      ExpectFrame(direct, frame - 1, 40, 30);
    }
    DataSet beyond;
    EXPECT_FALSE(FInputImage(name, kFormatHDF5, 1, 101, kFalse, beyond, status));
    EXPECT_TRUE(Saw("WARNING: FInputHDF5: Frame 101 does not exist: the file holds 100"));
    EXPECT_EQ(status, kStatusGood);
  }
}

TEST_F(Hdf5Input, ALargeOddFrameDecodesBlockByBlockWithItsRawTail) {
  if (!BitshuffleAvailable()) {
    DatasetInfo info;
    FGetDatasetInfo(dir.File("none.h5"), kFormatHDF5, 1, info, status);
    status = kStatusGood;
    if (!BitshuffleAvailable()) LV_REFERENCE_MISSING("bitshuffle HDF5 filter not installed");
  }
  // 517 x 301 = 155617 elements: 75 blocks of 2048, one of 2016 and one element stored raw;
  // enough blocks for the decoding to be shared between threads.
  const std::string name = dir.File("odd.h5");
  {
    H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    ASSERT_TRUE(WriteFrames(file.id, "/entry/data/data", 3, 517, 301, true));
  }
  for (int frame : {3, 1}) {
    DataSet d;
    ASSERT_TRUE(FInputImage(name, kFormatHDF5, 1, frame, kFalse, d, status));
    ExpectFrame(d, frame - 1, 517, 301);
  }
}

TEST_F(Hdf5Input, DamagedBitshuffleChunksAreRefusedBeforeTheDecoderSeesThem) {
  if (!BitshuffleAvailable()) {
    DatasetInfo info;
    FGetDatasetInfo(dir.File("none.h5"), kFormatHDF5, 1, info, status);
    status = kStatusGood;
    if (!BitshuffleAvailable()) LV_REFERENCE_MISSING("bitshuffle HDF5 filter not installed");
  }
  const std::string name = dir.File("lz4.h5");
  haddr_t address = 0;
  hsize_t size = 0;
  {
    H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    ASSERT_TRUE(WriteFrames(file.id, "/entry/data/data", 2, 64, 48, true));
    H5 dataset{H5Dopen2(file.id, "/entry/data/data", H5P_DEFAULT), H5Dclose};
    const hsize_t offset[3] = {1, 0, 0};
    unsigned mask = 0;
    ASSERT_GE(H5Dget_chunk_info_by_coord(dataset.id, offset, &mask, &address, &size), 0);
  }
  const std::string whole = ReadFile(name);
  ASSERT_GT(whole.size(), address + 16);
  // The second frame's first block claims far more bytes than the chunk holds.
  std::string lying = whole;
  lying[address + 12] = '\x7f';
  WriteFile(dir.File("lying.h5"), lying);
  // Its total length disagrees with the frame.
  std::string shorter = whole;
  shorter[address + 7] = static_cast<char>(shorter[address + 7] ^ 0x40);
  WriteFile(dir.File("shorter.h5"), shorter);
  for (const char* spoilt : {"lying.h5", "shorter.h5"}) {
    SCOPED_TRACE(spoilt);
    DataSet d;
    ASSERT_TRUE(IAllocateData(2, 2, d, status));
    IDefineWholeImage(d, 2, 2);
    d.data[0] = 5.0f;
    sink.lines.clear();
    EXPECT_FALSE(FInputImage(dir.File(spoilt), kFormatHDF5, 1, 2, kFalse, d, status));
    EXPECT_TRUE(Saw("WARNING: FInputHDF5: Frame 2 of /entry/data/data is a damaged "
                    "bitshuffle-LZ4 chunk"));
    EXPECT_EQ(d.data[0], 5.0f);
    // The first frame's chunk is sound.
    DataSet first;
    ASSERT_TRUE(FInputImage(dir.File(spoilt), kFormatHDF5, 1, 1, kFalse, first, status));
    ExpectFrame(first, 0, 64, 48);
  }
  EXPECT_EQ(status, kStatusGood);
}

// Chunks of another shape than one frame go through the library and its plugins. The LZ4 and
// bitshuffle plugins trust the sizes written in a chunk (a fuzzed file made the bitshuffle one
// read past its chunk), so each chunk of the frame is decoded and checked first: sound ones are
// read exactly, partial chunks at the edges included; a block longer than its chunk or a block
// size of 0 (on which the LZ4 plugin never ends) is refused and the store kept.
TEST_F(Hdf5Input, ChunksOfOtherShapesAreCheckedBeforeThePluginsDecodeThem) {
  DatasetInfo none;
  FGetDatasetInfo(dir.File("none.h5"), kFormatHDF5, 1, none, status);  // loads the plugins
  status = kStatusGood;
  struct Filter {
    unsigned id;
    std::vector<unsigned> values;
  };
  for (const Filter& filter : {Filter{kBitshuffle, {0, 2}}, Filter{32004, {}}}) {
    SCOPED_TRACE(filter.id);
    if (H5Zfilter_avail(filter.id) <= 0) continue;
    const std::string name = dir.File("chunks.h5");
    haddr_t address = 0;
    {
      H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
      const hsize_t dims[3] = {3, 30, 40}, chunk[3] = {2, 16, 16};
      H5 space{H5Screate_simple(3, dims, nullptr), H5Sclose};
      H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
      H5Pset_chunk(dcpl.id, 3, chunk);
      ASSERT_GE(H5Pset_filter(dcpl.id, filter.id, H5Z_FLAG_MANDATORY, filter.values.size(),
                              filter.values.data()),
                0);
      H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
      H5Pset_create_intermediate_group(lcpl.id, 1);
      H5 dataset{H5Dcreate2(file.id, "/entry/data/data", H5T_STD_U32LE, space.id, lcpl.id,
                            dcpl.id, H5P_DEFAULT),
                 H5Dclose};
      std::vector<std::uint32_t> values;
      for (int f = 0; f < 3; ++f)
        for (int y = 0; y < 30; ++y)
          for (int x = 0; x < 40; ++x) values.push_back(Value(f, x, y));
      ASSERT_GE(H5Dwrite(dataset.id, H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                         values.data()),
                0);
      H5Fflush(file.id, H5F_SCOPE_GLOBAL);
      // The chunk of frame 3 at the bottom right edge.
      const hsize_t offset[3] = {2, 16, 32};
      unsigned mask = 0;
      hsize_t size = 0;
      ASSERT_GE(H5Dget_chunk_info_by_coord(dataset.id, offset, &mask, &address, &size), 0);
    }
    for (int frame = 1; frame <= 3; ++frame) {
      DataSet d;
      ASSERT_TRUE(FInputImage(name, kFormatHDF5, 1, frame, kFalse, d, status)) << frame;
      ExpectFrame(d, frame - 1, 40, 30);
    }
    const std::string whole = ReadFile(name);
    std::string lying = whole;  // the first block claims more bytes than the chunk holds
    lying[address + 12] = '\x7f';
    std::string endless = whole;  // blocks of 0 bytes
    for (int k = 8; k < 12; ++k) endless[address + k] = '\0';
    for (const std::string& spoilt : {lying, endless}) {
      WriteFile(dir.File("spoilt.h5"), spoilt);
      DataSet d;
      ASSERT_TRUE(IAllocateData(2, 2, d, status));
      IDefineWholeImage(d, 2, 2);
      d.data[0] = 5.0f;
      sink.lines.clear();
      EXPECT_FALSE(FInputImage(dir.File("spoilt.h5"), kFormatHDF5, 1, 3, kFalse, d, status));
      EXPECT_TRUE(Saw("WARNING: FInputHDF5: Frame 3 of /entry/data/data lies in a damaged "
                      "compressed chunk"));
      EXPECT_EQ(d.data[0], 5.0f);
      DataSet first;
      ASSERT_TRUE(FInputImage(dir.File("spoilt.h5"), kFormatHDF5, 1, 1, kFalse, first, status));
      ExpectFrame(first, 0, 40, 30);
    }
  }
  EXPECT_EQ(status, kStatusGood);
}

// A filter whose plugin is not known here is refused by name, before any plugin decodes.
TEST_F(Hdf5Input, UnknownCompressionFiltersAreRefused) {
  const std::string name = dir.File("blosc.h5");
  {
    H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    const hsize_t dims[2] = {4, 6};
    H5 space{H5Screate_simple(2, dims, nullptr), H5Sclose};
    H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    H5Pset_chunk(dcpl.id, 2, dims);
    ASSERT_GE(H5Pset_filter(dcpl.id, 32001, H5Z_FLAG_OPTIONAL, 0, nullptr), 0);
    H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
    H5Pset_create_intermediate_group(lcpl.id, 1);
    H5 dataset{H5Dcreate2(file.id, "/entry/data/data", H5T_STD_U32LE, space.id, lcpl.id,
                          dcpl.id, H5P_DEFAULT),
               H5Dclose};
    ASSERT_GE(dataset.id, 0);
    std::vector<std::uint32_t> values(24, 7);
    const hsize_t offset[2] = {0, 0};
    ASSERT_GE(H5Dwrite_chunk(dataset.id, H5P_DEFAULT, 0, offset, values.size() * 4,
                             values.data()),
              0);
  }
  DataSet d;
  EXPECT_FALSE(FInputImage(name, kFormatHDF5, 1, 1, kFalse, d, status));
  EXPECT_TRUE(Saw("WARNING: FInputHDF5: The data-set /entry/data/data is compressed with "
                  "filter 32001, which is not read here"));
}

TEST_F(Hdf5Input, MasterFileWithExternalLinksGeometryPixelMaskAndOverflow) {
  // Two data files of 50 frames each, linked from a master file in the same folder by
  // relative names; the program runs from another working directory.
  for (int part = 0; part < 2; ++part) {
    const std::string name = dir.File(part == 0 ? "scan_data_000001.h5" : "scan_data_000002.h5");
    H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    ASSERT_TRUE(WriteFrames(file.id, "/entry/data/data", 50, 8, 6, false, 50 * part));
  }
  // One overflow pixel (2^32 - 1) in frame 57, the seventh frame of the second file.
  {
    H5 file{H5Fopen(dir.File("scan_data_000002.h5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT),
            H5Fclose};
    H5 dataset{H5Dopen2(file.id, "/entry/data/data", H5P_DEFAULT), H5Dclose};
    H5 space{H5Dget_space(dataset.id), H5Sclose};
    const hsize_t start[3] = {6, 2, 3}, count[3] = {1, 1, 1};
    H5Sselect_hyperslab(space.id, H5S_SELECT_SET, start, nullptr, count, nullptr);
    const hsize_t one = 1;
    H5 memory{H5Screate_simple(1, &one, nullptr), H5Sclose};
    const std::uint32_t overflow = 0xFFFFFFFFu;
    ASSERT_GE(H5Dwrite(dataset.id, H5T_NATIVE_UINT32, memory.id, space.id, H5P_DEFAULT, &overflow),
              0);
  }
  const std::string master = dir.File("scan_master.h5");
  {
    H5 file{H5Fcreate(master.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    H5 data{Group(file.id, "/entry/data"), H5Gclose};
    ASSERT_GE(H5Lcreate_external("scan_data_000001.h5", "/entry/data/data", data.id,
                                 "data_000001", H5P_DEFAULT, H5P_DEFAULT),
              0);
    ASSERT_GE(H5Lcreate_external("scan_data_000002.h5", "/entry/data/data", data.id,
                                 "data_000002", H5P_DEFAULT, H5P_DEFAULT),
              0);
    H5 detector{Group(file.id, "/entry/instrument/detector"), H5Gclose};
    Scalar(detector.id, "x_pixel_size", 75e-6, "m");
    Scalar(detector.id, "y_pixel_size", 0.075, "mm");
    Scalar(detector.id, "detector_distance", 0.125, "m");
    Scalar(detector.id, "beam_center_x", 4.5, "pixel");
    Scalar(detector.id, "beam_center_y", 3.25, nullptr);
    H5 beam{Group(file.id, "/entry/instrument/beam"), H5Gclose};
    Scalar(beam.id, "incident_wavelength", 0.9, "angstrom");
    // The detector's mask: two pixels.
    const hsize_t dims[2] = {6, 8};
    H5 space{H5Screate_simple(2, dims, nullptr), H5Sclose};
    H5 mask{H5Dcreate2(detector.id, "pixel_mask", H5T_STD_U32LE, space.id, H5P_DEFAULT,
                       H5P_DEFAULT, H5P_DEFAULT),
            H5Dclose};
    std::vector<std::uint32_t> bits(48, 0);
    bits[0] = 1;
    bits[5 * 8 + 7] = 8;
    H5Dwrite(mask.id, H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, bits.data());
  }
  DatasetInfo info;
  ASSERT_TRUE(FGetDatasetInfo(master, kFormatHDF5, 1, info, status));
  EXPECT_EQ(info.images, 100);
  EXPECT_EQ(info.columns, 8);
  EXPECT_EQ(info.rows, 6);

  // The store held a masked image before: the file's own mask replaces that one.
  DataSet d;
  IAllocateData(8, 6, d, status);
  IDefineWholeImage(d, 8, 6);
  ASSERT_TRUE(Read(master, 57, d));
  ASSERT_EQ(d.dimX, 8);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const float expected = x == 3 && y == 2 ? 4294967296.0f : static_cast<float>(Value(56, x, y));
      ASSERT_EQ(d.data[IIndex(d, x, y)], expected) << x << ", " << y;
    }
  ASSERT_TRUE(d.maskAllocated && d.mask);
  EXPECT_TRUE(d.maskDefined && d.maskInUse);
  int masked = 0;
  for (int i = 0; i < 48; ++i) masked += d.mask[static_cast<std::size_t>(i)] != 0;
  EXPECT_EQ(masked, 3);
  EXPECT_TRUE(d.mask[IIndex(d, 0, 0)] && d.mask[IIndex(d, 7, 5)] && d.mask[IIndex(d, 3, 2)]);
  EXPECT_TRUE(Saw("INFO: 1 overflow pixel(s) masked"));
  EXPECT_TRUE(Saw("INFO: Detector pixel mask applied: 2 pixel(s) masked"));
  EXPECT_FLOAT_EQ(d.pixelSizeX, 75e-6f);
  EXPECT_FLOAT_EQ(d.pixelSizeY, 75e-6f);
  EXPECT_FLOAT_EQ(d.distance, 0.125f);
  EXPECT_FLOAT_EQ(d.wavelength, 0.9e-10f);
  EXPECT_FLOAT_EQ(d.beamCentreX, 4.5f);
  EXPECT_FLOAT_EQ(d.beamCentreY, 3.25f);

  // Frames of the first file, and the last of the second.
  for (int frame : {1, 50, 51, 100}) {
    DataSet direct;
    ASSERT_TRUE(FInputImage(master, kFormatHDF5, 1, frame, kFalse, direct, status));
    ExpectFrame(direct, frame - 1, 8, 6);
  }

  // A missing data file: the frames of the other remain, with a warning.
  std::filesystem::remove(dir.path() / "scan_data_000002.h5");
  sink.lines.clear();
  ASSERT_TRUE(FGetDatasetInfo(master, kFormatHDF5, 1, info, status));
  EXPECT_EQ(info.images, 50);
  EXPECT_TRUE(Saw("WARNING: FHDF5DatasetInfo: The data-set /entry/data/data_000002 cannot be "
                  "opened"));
  EXPECT_EQ(status, kStatusGood);
  // A master whose only data file is not there: its count-rate table is never taken for the
  // frames.
  const std::string lonely = dir.File("lonely_master.h5");
  {
    H5 file{H5Fcreate(lonely.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    H5 data{Group(file.id, "/entry/data"), H5Gclose};
    ASSERT_GE(H5Lcreate_external("gone_data_000001.h5", "/entry/data/data", data.id,
                                 "data_000001", H5P_DEFAULT, H5P_DEFAULT),
              0);
    H5 detector{Group(file.id, "/entry/instrument/detector"), H5Gclose};
    const hsize_t table[2] = {4000, 2};
    H5 space{H5Screate_simple(2, table, nullptr), H5Sclose};
    H5 rates{H5Dcreate2(detector.id, "countrate_correction_table", H5T_IEEE_F32LE, space.id,
                        H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
             H5Dclose};
  }
  sink.lines.clear();
  EXPECT_FALSE(FGetDatasetInfo(lonely, kFormatHDF5, 1, info, status));
  EXPECT_TRUE(Saw("WARNING: FHDF5DatasetInfo: The frames are in gone_data_000001.h5, which is "
                  "not there: " + lonely));
  EXPECT_EQ(status, kStatusGood);

  // A master file linking to data anywhere but beside it is refused, the link not followed.
  std::filesystem::create_directory(dir.path() / "sub");
  std::filesystem::copy_file(dir.path() / "scan_data_000001.h5", dir.path() / "sub/frames.h5");
  for (const char* target : {"../scan_data_000001.h5", "sub/frames.h5",
                             "/etc/hostname"}) {
    const std::string other = dir.File("sub/other_master.h5");
    {
      H5 file{H5Fcreate(other.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
      H5 data{Group(file.id, "/entry/data"), H5Gclose};
      ASSERT_GE(H5Lcreate_external(target, "/entry/data/data", data.id, "data_000001",
                                   H5P_DEFAULT, H5P_DEFAULT),
                0);
    }
    sink.lines.clear();
    EXPECT_FALSE(FGetDatasetInfo(other, kFormatHDF5, 1, info, status)) << target;
    EXPECT_TRUE(Saw(std::string("WARNING: FHDF5DatasetInfo: The file links to data in \"") +
                    target + "\""))
        << target;
    status = kStatusGood;
  }
}

TEST_F(Hdf5Input, NxdataSignalAndTheFirstImageDatasetAndOtherTypes) {
  const std::string name = dir.File("signal.h5");
  {
    H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    H5 group{Group(file.id, "/processed/result"), H5Gclose};
    StringAttribute(group.id, "NX_class", "NXdata");
    StringAttribute(group.id, "signal", "image");
    // A 1-D data-set and a 2-D one before the signal in name order.
    const hsize_t line[1] = {5};
    H5 lineSpace{H5Screate_simple(1, line, nullptr), H5Sclose};
    H5 axis{H5Dcreate2(group.id, "a_axis", H5T_IEEE_F64LE, lineSpace.id, H5P_DEFAULT, H5P_DEFAULT,
                       H5P_DEFAULT),
            H5Dclose};
    const hsize_t dims[2] = {3, 4};
    H5 space{H5Screate_simple(2, dims, nullptr), H5Sclose};
    H5 other{H5Dcreate2(group.id, "b_other", H5T_STD_I16LE, space.id, H5P_DEFAULT, H5P_DEFAULT,
                        H5P_DEFAULT),
             H5Dclose};
    const std::vector<std::int16_t> shorts(12, -7);
    H5Dwrite(other.id, H5T_NATIVE_INT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, shorts.data());
    // The signal: big-endian reals, converted by the library.
    H5 image{H5Dcreate2(group.id, "image", H5T_IEEE_F32BE, space.id, H5P_DEFAULT, H5P_DEFAULT,
                        H5P_DEFAULT),
             H5Dclose};
    std::vector<float> reals;
    for (int i = 0; i < 12; ++i) reals.push_back(static_cast<float>(i) * 0.25f - 1.0f);
    H5Dwrite(image.id, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, reals.data());
  }
  DataSet d;
  ASSERT_TRUE(Read(name, 1, d));
  ASSERT_EQ(d.dimX, 4);
  ASSERT_EQ(d.dimY, 3);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(d.data[static_cast<std::size_t>(i)], i * 0.25f - 1.0f);

  // Without a signal the first image data-set in name order: signed 16 bits, -7 kept.
  const std::string plain = dir.File("first.h5");
  {
    H5 file{H5Fcreate(plain.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    H5 group{Group(file.id, "/x"), H5Gclose};
    const hsize_t dims[2] = {2, 3};
    H5 space{H5Screate_simple(2, dims, nullptr), H5Sclose};
    H5 shorts{H5Dcreate2(group.id, "counts", H5T_STD_I16BE, space.id, H5P_DEFAULT, H5P_DEFAULT,
                         H5P_DEFAULT),
              H5Dclose};
    const std::vector<std::int16_t> values = {-7, 0, 7, 32767, -32768, 1};
    H5Dwrite(shorts.id, H5T_NATIVE_INT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
  }
  DataSet s;
  ASSERT_TRUE(Read(plain, 1, s));
  const float expected[6] = {-7, 0, 7, 32767, -32768, 1};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(s.data[static_cast<std::size_t>(i)], expected[i]);
  // 32767 is the overflow value of signed 16 bits.
  ASSERT_TRUE(s.maskAllocated && s.mask);
  EXPECT_TRUE(s.mask[3]);
  EXPECT_FALSE(s.mask[0] || s.mask[4]);
}

TEST_F(Hdf5Input, ImpossibleClaimsAndBrokenFilesAreRefusedAndTheStoreKept) {
  // 10^12 frames declared, none written: the file is a few kilobytes.
  const std::string huge = dir.File("huge.h5");
  {
    H5 file{H5Fcreate(huge.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    const hsize_t dims[3] = {1000000000000ull, 4, 4};
    const hsize_t most[3] = {H5S_UNLIMITED, 4, 4};
    const hsize_t chunk[3] = {1, 4, 4};
    H5 space{H5Screate_simple(3, dims, most), H5Sclose};
    H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    H5Pset_chunk(dcpl.id, 3, chunk);
    H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
    H5Pset_create_intermediate_group(lcpl.id, 1);
    H5 dataset{H5Dcreate2(file.id, "/entry/data/data", H5T_STD_U16LE, space.id, lcpl.id, dcpl.id,
                          H5P_DEFAULT),
               H5Dclose};
    ASSERT_GE(dataset.id, 0);
  }
  // A frame of 3.6 x 10^9 pixels, chunked, nothing stored.
  const std::string wide = dir.File("wide.h5");
  {
    H5 file{H5Fcreate(wide.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    const hsize_t dims[2] = {60000, 60000};
    const hsize_t chunk[2] = {64, 64};
    H5 space{H5Screate_simple(2, dims, nullptr), H5Sclose};
    H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    H5Pset_chunk(dcpl.id, 2, chunk);
    H5 dataset{H5Dcreate2(file.id, "img", H5T_STD_U8LE, space.id, H5P_DEFAULT, dcpl.id,
                          H5P_DEFAULT),
               H5Dclose};
    ASSERT_GE(dataset.id, 0);
  }
  // A contiguous data-set of 100 frames of which the file stores none.
  const std::string hollow = dir.File("hollow.h5");
  {
    H5 file{H5Fcreate(hollow.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    const hsize_t dims[3] = {100, 1000, 1000};
    H5 space{H5Screate_simple(3, dims, nullptr), H5Sclose};
    H5 dataset{H5Dcreate2(file.id, "data", H5T_STD_U32LE, space.id, H5P_DEFAULT, H5P_DEFAULT,
                          H5P_DEFAULT),
               H5Dclose};
    ASSERT_GE(dataset.id, 0);
  }
  // Only a 1-D data-set.
  const std::string flat = dir.File("flat.h5");
  {
    H5 file{H5Fcreate(flat.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    const hsize_t dims[1] = {10};
    H5 space{H5Screate_simple(1, dims, nullptr), H5Sclose};
    H5 dataset{H5Dcreate2(file.id, "line", H5T_STD_U32LE, space.id, H5P_DEFAULT, H5P_DEFAULT,
                          H5P_DEFAULT),
               H5Dclose};
  }
  // 100 bytes: the signature, then nothing an HDF5 library can use.
  std::string junk(100, '\x7f');
  std::memcpy(junk.data(), "\x89HDF\r\n\x1a\n", 8);
  WriteFile(dir.File("junk.h5"), junk);
  // Half of a real file.
  {
    H5 file{H5Fcreate(dir.File("whole.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT),
            H5Fclose};
    ASSERT_TRUE(WriteFrames(file.id, "/entry/data/data", 10, 64, 64, false));
  }
  const std::string whole = ReadFile(dir.File("whole.h5"));
  WriteFile(dir.File("cut.h5"), whole.substr(0, whole.size() / 2));

  struct Row {
    std::string name;
    const char* line;
  };
  const Row rows[] = {
      {huge, "WARNING: FHDF5DatasetInfo: The file claims 1000000000000 frames or more"},
      {wide, "WARNING: FInputHDF5: The data-set /img stores 0 bytes, too few for frame 1"},
      {hollow, "WARNING: FInputHDF5: The data-set /data stores 0 bytes, too few for frame 1"},
      {flat, "WARNING: FHDF5DatasetInfo: The file holds no 2-D or 3-D integer or real data-set"},
      {dir.File("junk.h5"), "WARNING: FHDF5DatasetInfo: The HDF5 library cannot open the file"},
      {dir.File("cut.h5"), "WARNING: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // The store holds an image that a refused file must leave as it was.
    DataSet d;
    ASSERT_TRUE(IAllocateData(3, 2, d, status));
    IDefineWholeImage(d, 3, 2);
    d.data[0] = 42.0f;
    sink.lines.clear();
    EXPECT_FALSE(Read(row.name, 1, d));
    EXPECT_TRUE(Saw(row.line)) << row.line;
    EXPECT_EQ(status, kStatusGood);
    EXPECT_EQ(d.dimX, 3);
    EXPECT_EQ(d.data[0], 42.0f);
  }
}


// ---- Files of several image stacks ------------------------------------------------------------

// The store that a refused or cancelled choice must leave as it was.
void FillStore(DataSet& store) {
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(4, 3, store, status));
  IDefineWholeImage(store, 4, 3);
  for (int i = 0; i < 12; ++i) store.data[i] = static_cast<float>(i + 1);
  store.dataDefined = kTrue;
  store.title = "kept";
}

void ExpectStoreKept(const DataSet& store) {
  ASSERT_EQ(store.dimX, 4);
  ASSERT_EQ(store.dimY, 3);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(store.data[i], static_cast<float>(i + 1));
  EXPECT_EQ(store.title, "kept");
}

// A beamline file of two scans, each with its own stack at N.1/instrument/cam/data (2 frames of
// 4 x 3, counted from 0; 3 frames of 5 x 2, counted from 10), a soft link to the first under
// 1.1/measurement, a flat field and a 1-D counter beside them. With `virtualFirst`, the first
// scan's stack is virtual, its frames in "scan0001/gone.h5" (not there).
void WriteTwoScans(const std::string& name, bool virtualFirst) {
  H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
  if (virtualFirst) {
    const hsize_t dims[3] = {2, 3, 4};
    H5 space{H5Screate_simple(3, dims, nullptr), H5Sclose};
    H5 sourceSpace{H5Screate_simple(3, dims, nullptr), H5Sclose};
    H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    H5Pset_virtual(dcpl.id, space.id, "scan0001/gone.h5", "/entry/data", sourceSpace.id);
    H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
    H5Pset_create_intermediate_group(lcpl.id, 1);
    H5 stack{H5Dcreate2(file.id, "/1.1/instrument/cam/data", H5T_STD_U16LE, space.id, lcpl.id,
                        dcpl.id, H5P_DEFAULT),
             H5Dclose};
  } else {
    ASSERT_TRUE(WriteFrames(file.id, "/1.1/instrument/cam/data", 2, 4, 3, false, 0));
  }
  ASSERT_TRUE(WriteFrames(file.id, "/2.1/instrument/cam/data", 3, 5, 2, false, 10));
  H5 measurement{Group(file.id, "/1.1/measurement"), H5Gclose};
  H5Lcreate_soft("/1.1/instrument/cam/data", measurement.id, "cam", H5P_DEFAULT, H5P_DEFAULT);
  ASSERT_TRUE(WriteFrames(file.id, "/2.1/instrument/cam/flatfield", 0, 5, 2, false, 50));
  const hsize_t line[1] = {4};
  H5 lineSpace{H5Screate_simple(1, line, nullptr), H5Sclose};
  H5 group{Group(file.id, "/2.1/instrument/epoch"), H5Gclose};
  H5 counter{H5Dcreate2(group.id, "value", H5T_IEEE_F64LE, lineSpace.id, H5P_DEFAULT, H5P_DEFAULT,
                        H5P_DEFAULT),
             H5Dclose};
}

// Every stack is offered once, by path with its frames; the one chosen opens (its frame asked
// as before), the information window names its path; a cancelled choice opens nothing; without
// a list the data-set is asked as a number; without any question the first opens.
TEST_F(Hdf5Input, EveryImageStackIsOfferedAndTheChosenOneOpens) {
  const std::string name = dir.File("scans.h5");
  WriteTwoScans(name, false);
  std::vector<FImageStack> stacks;
  ASSERT_TRUE(FHDF5ImageStacks(name, stacks, status));
  ASSERT_EQ(stacks.size(), 2u);
  EXPECT_EQ(stacks[0].path, "/1.1/instrument/cam/data");
  EXPECT_EQ(stacks[0].frames, 2);
  EXPECT_EQ(stacks[0].columns, 4);
  EXPECT_EQ(stacks[0].rows, 3);
  EXPECT_EQ(stacks[1].path, "/2.1/instrument/cam/data");
  EXPECT_EQ(stacks[1].frames, 3);
  EXPECT_EQ(stacks[1].columns, 5);
  EXPECT_EQ(stacks[1].rows, 2);

  struct Case {
    int choice;  // -1: cancelled
    int image;
    int frame, columns, rows;
    const char* path;
  };
  const Case cases[] = {{1, 2, 11, 5, 2, "/2.1/instrument/cam/data"},
                        {0, 2, 1, 4, 3, "/1.1/instrument/cam/data"},
                        {1, 3, 12, 5, 2, "/2.1/instrument/cam/data"},
                        {-1, 1, 0, 0, 0, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.choice);
    sink.lines.clear();
    std::vector<std::string> offered;
    std::string title;
    FInputHooks hooks;
    hooks.choose = [&](const std::string& t, const std::vector<std::string>& choices, int& choice,
                       int&) {
      title = t;
      offered = choices;
      choice = c.choice;
      return c.choice >= 0 ? kTrue : kFalse;
    };
    hooks.ask = [&](const std::string&, int, int& value, int&) {
      value = c.image;
      return kTrue;
    };
    DataSet d;
    FillStore(d);
    const int read = FInputDataWith(name, hooks, d, status);
    EXPECT_EQ(title, "Choose the image data-set to open");
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[0], "/1.1/instrument/cam/data (2 frames of 4 * 3)");
    EXPECT_EQ(offered[1], "/2.1/instrument/cam/data (3 frames of 5 * 2)");
    if (c.choice < 0) {
      EXPECT_FALSE(read);
      ExpectStoreKept(d);
      continue;
    }
    ASSERT_TRUE(read);
    ExpectFrame(d, c.frame, c.columns, c.rows);
    EXPECT_TRUE(Saw(std::string("INFO: HDF5 data-set opened: ") + c.path));
  }

  // As a number, when no list can be shown.
  DataSet asNumber;
  ASSERT_TRUE(Read(name, 2, asNumber));
  ASSERT_GE(asked.size(), 1u);
  EXPECT_EQ(asked[0], "ENTER DATA-SET ('MEMORY') NUMBER TO INPUT");
  EXPECT_EQ(uppers[0], 2);
  ExpectFrame(asNumber, 11, 5, 2);
  // No question at all (a series working ahead): the first stack, its first frame.
  DataSet first;
  ASSERT_TRUE(FInputDataWith(name, FInputHooks{}, first, status));
  ExpectFrame(first, 0, 4, 3);
  // The data-set number reaches the information and input routines directly.
  DatasetInfo info;
  ASSERT_TRUE(FGetDatasetInfo(name, kFormatHDF5, 2, info, status));
  EXPECT_EQ(info.images, 3);
  EXPECT_EQ(info.columns, 5);
  sink.lines.clear();
  DataSet none;
  EXPECT_FALSE(FGetDatasetInfo(name, kFormatHDF5, 3, info, status));
  EXPECT_TRUE(Saw("WARNING: FHDF5DatasetInfo: Image data-set 3 does not exist: the file holds 2"));
  EXPECT_EQ(status, kStatusGood);
}

// A virtual stack whose frames lie in a file that is not there is refused, naming that file,
// never shown as a blank image; the other stack of the file still opens.
TEST_F(Hdf5Input, AVirtualStackWithoutItsSourceIsRefusedNamingTheFile) {
  const std::string name = dir.File("virtual-scans.h5");
  WriteTwoScans(name, true);
  std::vector<FImageStack> stacks;
  ASSERT_TRUE(FHDF5ImageStacks(name, stacks, status));
  ASSERT_EQ(stacks.size(), 2u);
  EXPECT_EQ(stacks[0].frames, 2);
  for (const int choice : {0, 1}) {
    SCOPED_TRACE(choice);
    sink.lines.clear();
    FInputHooks hooks;
    std::vector<std::string> offered;
    hooks.choose = [&](const std::string&, const std::vector<std::string>& choices, int& c,
                       int&) {
      offered = choices;
      c = choice;
      return kTrue;
    };
    DataSet d;
    FillStore(d);
    const int read = FInputDataWith(name, hooks, d, status);
    EXPECT_EQ(status, kStatusGood);
    // The pop-up says which stack cannot be read before one is chosen.
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[0], "/1.1/instrument/cam/data (2 frames of 4 * 3; in scan0001/gone.h5, "
                          "which is not there)");
    EXPECT_EQ(offered[1], "/2.1/instrument/cam/data (3 frames of 5 * 2)");
    if (choice == 0) {
      EXPECT_FALSE(read);
      ExpectStoreKept(d);
      EXPECT_TRUE(Saw("WARNING: FHDF5DatasetInfo: The frames are in scan0001/gone.h5, which is "
                      "not there: " + name));
    } else {
      ASSERT_TRUE(read);
      ExpectFrame(d, 10, 5, 2);
    }
  }
}

// The beamline file of the shared data: two scans whose stacks (2 and 5 frames of 2048 x 2048)
// are virtual, their source files absent.
TEST_F(Hdf5Input, TheRealBeamlineFileOffersBothScansAndNamesTheirMissingFrames) {
  if (SharedData().empty()) GTEST_SKIP() << "shared data absent";
  const std::string name = (SharedData() / "demoh5_dataset.h5").string();
  if (!std::filesystem::exists(name)) GTEST_SKIP() << "no beamline file";
  std::vector<FImageStack> stacks;
  ASSERT_TRUE(FHDF5ImageStacks(name, stacks, status));
  ASSERT_EQ(stacks.size(), 2u);
  EXPECT_EQ(stacks[0].path, "/1.1/instrument/marana/data");
  EXPECT_EQ(stacks[0].frames, 2);
  EXPECT_EQ(stacks[1].path, "/2.1/instrument/marana/data");
  EXPECT_EQ(stacks[1].frames, 5);
  for (const int choice : {0, 1}) {
    sink.lines.clear();
    FInputHooks hooks;
    hooks.choose = [choice](const std::string&, const std::vector<std::string>&, int& c, int&) {
      c = choice;
      return kTrue;
    };
    DataSet d;
    FillStore(d);
    EXPECT_FALSE(FInputDataWith(name, hooks, d, status));
    ExpectStoreKept(d);
    EXPECT_TRUE(Saw(IFormat("WARNING: FHDF5DatasetInfo: The frames are in scan000%d/marana_0000.h5, "
                            "which is not there",
                            choice + 1)));
  }
}

}  // namespace
