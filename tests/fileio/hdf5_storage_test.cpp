// HDF5 storage that does not hold what its header claims: chunks shorter or longer than the
// chunk (raw, deflate), chunk filter masks out of range, compact data-sets whose data-space was
// enlarged, absurd chunk grids and chunk sizes, external raw storage on devices, pipes and short
// files, virtual data-sets whose source is missing or the file itself. Each file is written
// here through the HDF5 C API (raw chunks through H5Dwrite_chunk, patched bytes where the API
// refuses); each must be refused with its reason and the store kept, and the sound variants of
// the same layouts must read exactly.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/status.h"
#include "fileio/FInput.h"
#include "tests/support/TestSupport.h"

namespace {

struct H5 {
  hid_t id;
  herr_t (*close)(hid_t);
  ~H5() {
    if (id >= 0) close(id);
  }
};

// A value telling row and column apart, exact in a u16.
std::uint16_t Value(int x, int y) { return static_cast<std::uint16_t>(y * 100 + x + 1); }

std::vector<std::uint16_t> Pixels(int columns, int rows) {
  std::vector<std::uint16_t> values;
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x) values.push_back(Value(x, y));
  return values;
}

std::string Deflated(const void* bytes, std::size_t n) {
  uLongf size = compressBound(n);
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, static_cast<const Bytef*>(bytes), n, 6);
  out.resize(size);
  return out;
}

// A u16 data-set /entry/data/data of `dims` (2 or 3 of them) made with `dcpl`.
hid_t Create(hid_t file, int rank, const hsize_t* dims, hid_t dcpl,
             const hsize_t* most = nullptr) {
  H5 space{H5Screate_simple(rank, dims, most), H5Sclose};
  H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
  H5Pset_create_intermediate_group(lcpl.id, 1);
  return H5Dcreate2(file, "/entry/data/data", H5T_STD_U16LE, space.id, lcpl.id, dcpl, H5P_DEFAULT);
}

// A file of one 2-D u16 frame of `columns` x `rows` in chunks of `chunk` with `filters`
// (H5Z ids), whose chunk at the origin is written as `stored` with filter mask `mask`; the
// others, when `all` is set, are written through the filters from the pixels.
void WriteChunked(const std::string& name, int columns, int rows, const hsize_t chunk[2],
                  const std::vector<H5Z_filter_t>& filters, bool all, unsigned mask,
                  const std::string& stored) {
  H5 file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
  const hsize_t dims[2] = {static_cast<hsize_t>(rows), static_cast<hsize_t>(columns)};
  H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
  H5Pset_chunk(dcpl.id, 2, chunk);
  for (H5Z_filter_t f : filters) {
    if (f == H5Z_FILTER_DEFLATE) H5Pset_deflate(dcpl.id, 6);
    if (f == H5Z_FILTER_SHUFFLE) H5Pset_shuffle(dcpl.id);
    if (f == H5Z_FILTER_FLETCHER32) H5Pset_fletcher32(dcpl.id);
  }
  H5 dataset{Create(file.id, 2, dims, dcpl.id), H5Dclose};
  if (all) {
    const std::vector<std::uint16_t> values = Pixels(columns, rows);
    H5Dwrite(dataset.id, H5T_NATIVE_UINT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
  }
  if (!stored.empty()) {
    const hsize_t origin[2] = {0, 0};
    H5Dwrite_chunk(dataset.id, H5P_DEFAULT, mask, origin, stored.size(), stored.data());
  }
}

class Hdf5InputStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  bool Saw(const std::string& part) const {
    for (const auto& line : sink.lines)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
  // Reads frame 1 over a store holding a 3 x 2 image that a refusal must leave as it was.
  bool Refused(const std::string& name, const std::string& why) {
    DataSet d;
    EXPECT_TRUE(IAllocateData(3, 2, d, status));
    IDefineWholeImage(d, 3, 2);
    d.data[0] = 42.0f;
    sink.lines.clear();
    const bool read = FInputImage(name, kFormatHDF5, 1, 1, kFalse, d, status);
    EXPECT_TRUE(Saw(why)) << why;
    EXPECT_EQ(d.dimX, 3);
    EXPECT_EQ(d.data[0], 42.0f);
    EXPECT_EQ(status, kStatusGood);
    return !read;
  }
  void ExpectPixels(const std::string& name, int columns, int rows) {
    DataSet d;
    ASSERT_TRUE(FInputImage(name, kFormatHDF5, 1, 1, kFalse, d, status));
    ASSERT_EQ(d.dimX, columns);
    ASSERT_EQ(d.dimY, rows);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < columns; ++x)
        ASSERT_EQ(d.data[IIndex(d, x, y)], Value(x, y)) << x << ", " << y;
  }

  RecordingSink sink;
  ScratchDir dir;
  int status = kStatusGood;
};

// Chunks whose stored bytes do not make the chunk: each is refused before the library copies
// from it; the same layouts written soundly (edge chunks, a chunk that skipped deflate, shuffle
// and Fletcher-32 around deflate) read exactly.
TEST_F(Hdf5InputStorage, ChunksThatDoNotHoldTheirChunkAreRefused) {
  const hsize_t tile[2] = {16, 16};
  const std::vector<std::uint16_t> tilePixels = Pixels(16, 16);  // not the frame's, a chunk's size
  const std::string tileBytes(reinterpret_cast<const char*>(tilePixels.data()), 512);
  const std::string longer(512 * 40, '\0');
  const std::vector<H5Z_filter_t> gzip{H5Z_FILTER_DEFLATE};
  const std::vector<H5Z_filter_t> none;
  struct Row {
    const char* name;
    std::function<void(const std::string&)> write;
    const char* why;  // empty: reads exactly
  };
  const Row rows[] = {
      {"mask.h5",  // a real deflate chunk whose filter mask was set to all ones
       [&](const std::string& n) {
         WriteChunked(n, 40, 30, tile, gzip, true, 0xffffffffu, Deflated(tileBytes.data(), 512));
       },
       "a chunk claims to have skipped filters (mask 0xffffffff)"},
      {"short-raw.h5",  // stored in half the chunk, no filter
       [&](const std::string& n) {
         WriteChunked(n, 40, 30, tile, none, true, 0, tileBytes.substr(0, 256));
       },
       "a chunk of 512 bytes is stored in 256"},
      {"short-gzip.h5",  // a deflate stream that inflates to half the chunk
       [&](const std::string& n) {
         WriteChunked(n, 40, 30, tile, gzip, true, 0, Deflated(tileBytes.data(), 256));
       },
       "Frame 1 of /entry/data/data lies in a damaged compressed chunk"},
      {"long-gzip.h5",  // a deflate stream that inflates forty times past its chunk
       [&](const std::string& n) {
         WriteChunked(n, 40, 30, tile, gzip, true, 0, Deflated(longer.data(), longer.size()));
       },
       "Frame 1 of /entry/data/data lies in a damaged compressed chunk"},
      {"garbage-gzip.h5",  // no deflate stream at all
       [&](const std::string& n) { WriteChunked(n, 40, 30, tile, gzip, true, 0, "not zlib"); },
       "Frame 1 of /entry/data/data lies in a damaged compressed chunk"},
      {"grid.h5",  // a megapixel frame in one-pixel chunks, one written: a 6 KB file
       [&](const std::string& n) {
         const hsize_t one[2] = {1, 1};
         WriteChunked(n, 1024, 1024, one, gzip, false, 0, Deflated(tileBytes.data(), 2));
       },
       "its chunks are out of proportion to the frame (too large, or too many)"},
      {"huge-chunk.h5",  // a 10 x 10 frame in a chunk of 8192 x 8192 (128 MiB)
       [&](const std::string& n) {
         H5 file{H5Fcreate(n.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
         const hsize_t dims[2] = {10, 10}, most[2] = {H5S_UNLIMITED, H5S_UNLIMITED};
         const hsize_t chunk[2] = {8192, 8192};
         H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
         H5Pset_chunk(dcpl.id, 2, chunk);
         H5Pset_deflate(dcpl.id, 1);
         H5 dataset{Create(file.id, 2, dims, dcpl.id, most), H5Dclose};
         const std::string stream = Deflated(tileBytes.data(), 512);  // a chunk is never read
         const hsize_t origin[2] = {0, 0};
         H5Dwrite_chunk(dataset.id, H5P_DEFAULT, 0, origin, stream.size(), stream.data());
       },
       "its chunks are out of proportion to the frame (too large, or too many)"},
      {"sound-gzip.h5",  // edge chunks, deflate
       [&](const std::string& n) { WriteChunked(n, 40, 30, tile, gzip, true, 0, ""); }, ""},
      {"skipped-gzip.h5",  // the first chunk stored raw, its deflate bit set
       [&](const std::string& n) { WriteChunked(n, 40, 30, tile, gzip, true, 1, tileBytes); },
       ""},
      {"chain.h5",  // shuffle, deflate, Fletcher-32
       [&](const std::string& n) {
         WriteChunked(n, 40, 30, tile,
                      {H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE, H5Z_FILTER_FLETCHER32}, true, 0,
                      "");
       },
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = dir.File(row.name);
    row.write(name);
    if (*row.why) {
      EXPECT_TRUE(Refused(name, row.why));
    } else if (std::string(row.name) == "skipped-gzip.h5") {
      // The first chunk holds the tile's own pixels, the rest the frame's.
      DataSet d;
      ASSERT_TRUE(FInputImage(name, kFormatHDF5, 1, 1, kFalse, d, status));
      EXPECT_EQ(d.data[IIndex(d, 15, 15)], tilePixels[15 * 16 + 15]);
      EXPECT_EQ(d.data[IIndex(d, 39, 29)], Value(39, 29));
    } else {
      ExpectPixels(name, 40, 30);
    }
  }

  // A detector pixel mask whose chunk is stored short is passed over; the frame still reads.
  const std::string name = dir.File("short-mask.h5");
  WriteChunked(name, 40, 30, tile, gzip, true, 0, "");
  {
    H5 file{H5Fopen(name.c_str(), H5F_ACC_RDWR, H5P_DEFAULT), H5Fclose};
    const hsize_t dims[2] = {30, 40};
    H5 space{H5Screate_simple(2, dims, nullptr), H5Sclose};
    H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    H5Pset_chunk(dcpl.id, 2, dims);
    H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
    H5Pset_create_intermediate_group(lcpl.id, 1);
    H5 mask{H5Dcreate2(file.id, "/entry/instrument/detector/pixel_mask", H5T_STD_U32LE, space.id,
                       lcpl.id, dcpl.id, H5P_DEFAULT),
            H5Dclose};
    const hsize_t origin[2] = {0, 0};
    const std::string ones(16, '\1');  // 4 of the chunk's 1200 values
    ASSERT_GE(H5Dwrite_chunk(mask.id, H5P_DEFAULT, 0, origin, ones.size(), ones.data()), 0);
  }
  sink.lines.clear();
  ExpectPixels(name, 40, 30);
  EXPECT_FALSE(Saw("Detector pixel mask applied"));
}

// Compact, external and virtual storage: each must hold the frame in bytes the file (or a
// regular file beside it) really has; the sound variants read exactly.
TEST_F(Hdf5InputStorage, StorageOutsideTheChunksMustHoldTheFrame) {
  const std::vector<std::uint16_t> pixels = Pixels(5, 3);
  const std::string raw(reinterpret_cast<const char*>(pixels.data()), 30);
  WriteFile(dir.File("raw.bin"), raw);
  WriteFile(dir.File("short.bin"), raw.substr(0, 10));
  const std::string fifo = dir.File("pipe.bin");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const hsize_t dims[2] = {3, 5};

  auto compact = [&](const std::string& n) {
    H5 file{H5Fcreate(n.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    H5Pset_layout(dcpl.id, H5D_COMPACT);
    H5 dataset{Create(file.id, 2, dims, dcpl.id), H5Dclose};
    H5Dwrite(dataset.id, H5T_NATIVE_UINT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, pixels.data());
  };
  auto external = [&](const std::string& target) {
    return [&, target](const std::string& n) {
      H5 file{H5Fcreate(n.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
      H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
      H5Pset_external(dcpl.id, target.c_str(), 0, 30);
      H5 dataset{Create(file.id, 2, dims, dcpl.id), H5Dclose};
    };
  };
  auto source = dir.File("source.h5");
  {
    H5 file{H5Fcreate(source.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    H5 space{H5Screate_simple(2, dims, nullptr), H5Sclose};
    H5 dataset{H5Dcreate2(file.id, "pixels", H5T_STD_U16LE, space.id, H5P_DEFAULT, H5P_DEFAULT,
                          H5P_DEFAULT),
               H5Dclose};
    H5Dwrite(dataset.id, H5T_NATIVE_UINT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, pixels.data());
  }
  auto virtualOf = [&](const std::string& from, const char* path, const hsize_t* frame) {
    return [&, from, path, frame](const std::string& n) {
      H5 file{H5Fcreate(n.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
      H5 space{H5Screate_simple(2, frame, nullptr), H5Sclose};
      H5 sourceSpace{H5Screate_simple(2, dims, nullptr), H5Sclose};
      const hsize_t start[2] = {0, 0};
      H5Sselect_hyperslab(space.id, H5S_SELECT_SET, start, nullptr, dims, nullptr);
      H5 dcpl{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
      H5Pset_virtual(dcpl.id, space.id, from.c_str(), path, sourceSpace.id);
      H5Sselect_all(space.id);
      H5 dataset{Create(file.id, 2, frame, dcpl.id), H5Dclose};
    };
  };
  const hsize_t vast[2] = {30000, 30000};
  struct Row {
    const char* name;
    std::function<void(const std::string&)> write;
    const char* why;  // empty: reads exactly
  };
  const Row rows[] = {
      {"compact.h5", compact, ""},
      {"external.h5", external(dir.File("raw.bin")), ""},
      {"external-short.h5", external(dir.File("short.bin")), "holds 10 bytes from byte 0, too few"},
      {"external-zero.h5", external("/dev/zero"), "its external file \"/dev/zero\" is missing"},
      {"external-pipe.h5", external(fifo), "pipe.bin\" is missing or no regular file"},
      {"external-missing.h5", external(dir.File("gone.bin")), "is missing or no regular file"},
      {"virtual.h5", virtualOf(source, "/pixels", dims), ""},
      {"virtual-self.h5", virtualOf(".", "/entry/data/data", dims),
       "its virtual source \".\" is missing, no regular file, a pattern or the file itself"},
      // Refused when the data-set is located, naming the file the frames are in.
      {"virtual-missing.h5", virtualOf(dir.File("gone.h5"), "/pixels", dims),
       "gone.h5, which is not there"},
      {"virtual-vast.h5", virtualOf(source, "/pixels", vast), "too few for a frame of 1800000000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = dir.File(row.name);
    row.write(name);
    if (*row.why) {
      EXPECT_TRUE(Refused(name, row.why));
    } else {
      ExpectPixels(name, 5, 3);
    }
  }

  // The compact data-set with its data-space patched to 300 x 500: 30 bytes claim 300 KB.
  std::string patched = ReadFile(dir.File("compact.h5"));
  const std::string three("\x03\0\0\0\0\0\0\0", 8), five("\x05\0\0\0\0\0\0\0", 8);
  const std::size_t at = patched.find(three + five);
  ASSERT_NE(at, std::string::npos);
  patched.replace(at, 16, std::string("\x2c\x01\0\0\0\0\0\0\xf4\x01\0\0\0\0\0\0", 16));
  WriteFile(dir.File("compact-patched.h5"), patched);
  EXPECT_TRUE(Refused(dir.File("compact-patched.h5"),
                      "the data-set holds 30 bytes, the frame ends at byte 300000"));

  // A master file whose frames are an external link to a pipe: refused at once, the pipe
  // never opened (the library would wait on it for a writer).
  {
    H5 file{H5Fcreate(dir.File("master.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT),
            H5Fclose};
    H5 lcpl{H5Pcreate(H5P_LINK_CREATE), H5Pclose};
    H5Pset_create_intermediate_group(lcpl.id, 1);
    ASSERT_GE(H5Lcreate_external(fifo.c_str(), "/entry/data/data", file.id,
                                 "/entry/data/data_000001", lcpl.id, H5P_DEFAULT),
              0);
  }
  EXPECT_TRUE(Refused(dir.File("master.h5"), "only a plain file name beside it"));
}

}  // namespace
