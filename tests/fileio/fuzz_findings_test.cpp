// Inputs the fuzzers (fuzz/, docs/FUZZING.md) found to break a reader, minimised and written
// here byte by byte, so that the normal suite keeps each one mended without the fuzz build.
// Each case goes through the program's own path (detection, data-set information, input) and
// checks that the file is refused with a message and the store is left as it was.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "core/status.h"
#include "fileio/FCBF.h"
#include "fileio/FInput.h"
#include "tests/fileio/hdf5_damaged_files.h"
#include "tests/support/TestSupport.h"

namespace {

bool AnyLineHas(const RecordingSink& sink, const std::string& part) {
  for (const auto& line : sink.lines) {
    if (line.find(part) != std::string::npos) return true;
  }
  for (const auto& box : sink.boxes) {
    if (box.text.find(part) != std::string::npos) return true;
  }
  return false;
}

// An image of `w` x `h` pixels whose pixel i holds value(i).
void FillImage(DataSet& d, int w, int h, const std::function<float(int)>& value) {
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(w, h, d, status));
  IDefineWholeImage(d, w, h);
  d.dataDefined = kTrue;
  for (int i = 0; i < w * h; ++i) d.data[i] = value(i);
}

// A store holding a 3 x 2 image, to see that a refused file leaves it alone.
void FillStore(DataSet& d) {
  FillImage(d, 3, 2, [](int i) { return static_cast<float>(i + 1); });
}

// Runs the path of Open_File on a named file; false when any step refuses it.
bool OpenAsProgramDoes(const std::string& path, DataSet& d) {
  int status = kStatusGood;
  FileInfo info;
  if (!FGetFileInfo(path, info, status) || info.format == kFormatNone) return false;
  DatasetInfo dataset;
  if (!FGetDatasetInfo(path, info.format, 1, dataset, status)) return false;
  return FInputImage(path, info.format, 1, 1, kFalse, d, status) == kTrue;
}

// `text` written to `path` is refused, by the program's open and by the reader itself, with
// `message`, and the store it was to go to keeps its image.
void ExpectCBFRefused(const std::string& path, const std::string& text, RecordingSink& sink,
                      const std::string& message) {
  WriteFile(path, text);
  sink.lines.clear();
  sink.boxes.clear();
  DataSet d;
  FillStore(d);
  EXPECT_FALSE(OpenAsProgramDoes(path, d));
  int status = kStatusGood;
  DataSet direct;
  EXPECT_FALSE(FInputCBF(path, direct, status));
  EXPECT_TRUE(AnyLineHas(sink, message)) << text.substr(0, 60);
  EXPECT_EQ(d.dimX, 3);
}

std::string CBFWithName(const std::string& name) {
  return "###CBF: VERSION 1.5\r\n\r\ndata_x\r\n\r\n" + name + " 1\r\n";
}

}  // namespace

// CBFlib writes a data name and its category into a 512-byte buffer on its stack when it
// finds them inconsistent: a name of ~230 characters without a '.' aborted the program (a
// fuzzed file with a name of ~1300 smashed the stack). The reader refuses names over 200
// characters before the library sees the file, in the information step and the read alike.
TEST(FuzzFindings, CBFDataNameTooLongForTheLibraryIsRefused) {
  ResetCoreState();
  ScratchDir dir;
  RecordingSink sink;
  for (const std::string& name :
       {"_" + std::string(1300, 'x'), "_diffrn_meas" + std::string(1300, '\x01'),
        "_" + std::string(240, 'x'), "_" + std::string(3000, 'x') + ".b",
        // The reserved words carry names too: "loop" and 1341 underscores smashed the stack
        // as a long data name does (a later fuzzed file).
        "loop" + std::string(1341, '_'), "LOOP_" + std::string(400, 'x'),
        "data_" + std::string(400, 'x'), "save_" + std::string(400, 'x')}) {
    const std::string path = dir.File("long.cbf");
    WriteFile(path, CBFWithName(name));
    sink.lines.clear();
    sink.boxes.clear();
    DataSet d;
    FillStore(d);
    EXPECT_FALSE(OpenAsProgramDoes(path, d));
    EXPECT_TRUE(AnyLineHas(sink, "data name longer than 200 characters")) << name.size();
    EXPECT_EQ(d.dimX, 3);
    EXPECT_EQ(d.data[5], 6.0f);

    int status = kStatusGood;
    DataSet direct;
    EXPECT_FALSE(FInputCBF(path, direct, status));
  }

  // Up to the limit the library reads the text itself (and refuses this file for its missing
  // image, not for the name).
  const std::string path = dir.File("fits.cbf");
  WriteFile(path, CBFWithName("_" + std::string(199, 'x')));
  sink.lines.clear();
  sink.boxes.clear();
  int status = kStatusGood;
  DataSet d;
  FInputCBF(path, d, status);
  EXPECT_FALSE(AnyLineHas(sink, "data name longer than"));
}

// The file passes the search in chunks: a long name is found wherever it lies against their
// boundaries, and one of 200 characters is let through there too.
TEST(FuzzFindings, CBFLongNamesAreFoundAcrossTheSearchChunks) {
  ResetCoreState();
  ScratchDir dir;
  RecordingSink sink;
  const std::string head = CBFWithName("");
  for (std::size_t at = 65536 - 260; at < 66100; at += 13) {
    for (const std::size_t length : {std::size_t{201}, std::size_t{200}}) {
      const std::string path = dir.File("chunks.cbf");
      WriteFile(path, head + std::string(at - head.size(), ' ') + "_" +
                          std::string(length - 1, 'x') + " 1\r\n");
      sink.lines.clear();
      sink.boxes.clear();
      int status = kStatusGood;
      DataSet d;
      FInputCBF(path, d, status);
      EXPECT_EQ(AnyLineHas(sink, "data name longer than 200 characters"), length > 200)
          << at << " " << length;
    }
  }
}

// CBFlib dereferences a null pointer on a save frame with a loop before any data block (a
// fuzzed file, minimised to 14 bytes), and on a loop with a name without a category inside a
// save frame. Only comments and blanks may come before the first data block, and image files
// hold no save frames: such files are refused before the library reads them; comments are let
// through.
TEST(FuzzFindings, CBFWithoutALeadingDataBlockIsRefused) {
  ResetCoreState();
  ScratchDir dir;
  RecordingSink sink;
  const std::string path = dir.File("saved.cbf");
  const std::string beginning = "does not begin with a data block (data_)";
  const std::string saveFrame = "holds a save frame (save_), which image files do not";
  const std::pair<std::string, std::string> cases[] = {
      {std::string("save_\x80\x0cloop__\x80", 14), beginning},
      {"save_a\nloop_\n_b\n", beginning},
      {"###CBF: VERSION 1.5\r\n# comment\r\n\r\nsave_a loop_ _b.c 1\r\n", beginning},
      {"  _array_data.data 1\n", beginning},
      {"###CBF: VERSION 1.5\r\ndata_\rsave_x\rloop__U", saveFrame},
      {"###CBF: VERSION 1.5\r\ndata_x\nsave_a\nloop_\n_U\n", saveFrame},
      {"###CBF: VERSION 1.5\r\ndata_x\r\n_a.b 1\r\nSAVE_b\r\nloop_ _U 1\r\n", saveFrame}};
  for (const auto& [text, message] : cases) ExpectCBFRefused(path, text, sink, message);
  // Comments and blank lines before "DATA_" (any case) are CIF: the library reads the file (and
  // refuses it for its missing image, not for its beginning).
  WriteFile(path, "###CBF: VERSION 1.5\r\n# a comment\r\n\r\n\tDATA_x\r\n_a.b 1\r\n");
  sink.lines.clear();
  sink.boxes.clear();
  int status = kStatusGood;
  DataSet d;
  FInputCBF(path, d, status);
  EXPECT_FALSE(AnyLineHas(sink, "does not begin with a data block"));
}

// The second finding: a binary section whose closing boundary is damaged
// ("--CIF-BINARY-FORMAT-SECTIO N----"), then ";" and a CR alone, then a name of 1977
// underscores. The library resumes reading text after the binary data it was told the size of
// and met the name; a search that skipped to the next intact boundary did not. The whole file
// is searched now.
TEST(FuzzFindings, CBFNameBehindADamagedBinaryBoundaryIsRefused) {
  ResetCoreState();
  ScratchDir dir;
  RecordingSink sink;
  int status = kStatusGood;
  DataSet image;
  FillImage(image, 4, 3, [](int i) { return static_cast<float>(7 * i); });
  const std::string path = dir.File("damaged.cbf");
  ASSERT_TRUE(FOutputCBF(path, image, status));
  std::string file = ReadFile(path);
  const std::string closing = "\r\n--CIF-BINARY-FORMAT-SECTION----\r\n;\r\n";
  const std::size_t at = file.find(closing);
  ASSERT_NE(at, std::string::npos);
  file.replace(at, closing.size(),
               "\r\n--CIF-BINARY-FORMAT-SECTIO N----\r\n;\r" + std::string(1977, '_') + closing);
  WriteFile(path, file);

  DataSet d;
  FillStore(d);
  EXPECT_FALSE(OpenAsProgramDoes(path, d));
  EXPECT_TRUE(AnyLineHas(sink, "data name longer than 200 characters"));
  EXPECT_EQ(d.dimX, 3);
}

// A text field in which a control byte 4 or 26 comes before its closing line or a MIME
// boundary is read by the library as a binary section without a MIME header, with values it
// never set (a fuzzed file: ";\x04\xd5" and NULs). Such fields are refused wherever the library
// would meet them: in the file's own text, behind a damaged boundary, after a binary section
// whose stated size ends early, after a NUL that hides the boundary from one library version.
// Sections the library passes over are not searched: our own file and one whose padding holds
// the line end (as fabio writes it) are read.
TEST(FuzzFindings, CBFTextFieldsTakenForBinarySectionsWithoutHeaderAreRefused) {
  ResetCoreState();
  ScratchDir dir;
  RecordingSink sink;
  int status = kStatusGood;
  DataSet image;
  // Steps of 4 and 26 put the control bytes into the data, and line ends with ';' after them.
  FillImage(image, 40, 30, [](int i) { return static_cast<float>((i * 4) % 26 + 59 * (i % 3)); });
  const std::string ours = dir.File("ours.cbf");
  ASSERT_TRUE(FOutputCBF(ours, image, status));
  const std::string good = ReadFile(ours);
  const std::string opening = "\r\n--CIF-BINARY-FORMAT-SECTION--\r\n";
  const std::size_t boundary = good.find(opening);
  const std::size_t marker = good.find("\x0c\x1a\x04\xd5");
  const std::size_t sizeAt = good.find("X-Binary-Size: ");
  ASSERT_NE(boundary, std::string::npos);
  ASSERT_NE(marker, std::string::npos);
  ASSERT_NE(sizeAt, std::string::npos);
  const std::size_t sizeEnd = good.find("\r\n", sizeAt);

  std::string damagedBoundary = good;
  damagedBoundary.replace(boundary, opening.size(), "\r\n--CIF-BINARY-FORMAT-SECTIO N--\r\n");
  // The size says 2: the library looks for the closing line from the third byte of data on and
  // finds one that was put there, then a field that opens with a control byte.
  std::string shortSize = good;
  shortSize.insert(marker + 6, "\r\n; \r\n;\x1a\xd5 \r\n;\r\n");
  shortSize.replace(sizeAt, sizeEnd - sizeAt, "X-Binary-Size: 2");
  std::string nulBeforeBoundary = good;
  nulBeforeBoundary.insert(boundary + 2, std::string(1, '\0'));

  const std::string message = "holds a binary section without a MIME header (an old or damaged";
  const std::string cases[] = {
      std::string("###CBF: VERSION 1.5\r\ndata_\n;\x04\xd5") + std::string(26, '\0') + "\n;",
      "###CBF: VERSION 1.5\r\ndata_x\r\n_a.b\r\n;\r\ntext\x1a\r\n;\r\n",
      damagedBoundary, shortSize, nulBeforeBoundary};
  const std::string path = dir.File("field.cbf");
  for (const std::string& text : cases) ExpectCBFRefused(path, text, sink, message);

  // The same steps read back whole, with the data's chance ';' lines and control bytes passed
  // over; padding that holds the line end before the closing boundary (fabio's) too.
  std::string padded = good;
  padded.insert(sizeEnd, "\r\nX-Binary-Size-Padding: 1");
  for (const std::string& text : {good, padded}) {
    WriteFile(path, text);
    sink.lines.clear();
    DataSet back;
    ASSERT_TRUE(OpenAsProgramDoes(path, back)) << (sink.lines.empty() ? "" : sink.lines.back());
    ASSERT_EQ(back.dimX, 40);
    for (int i = 0; i < 1200; ++i) ASSERT_EQ(back.data[i], image.data[i]) << i;
  }
}

// The search passes over a binary section only where the library's way through it is certain:
// an image whose byte-offset stream is 2000 bytes of '_' (every step +95) after a blank opens
// whole, but with its closing line damaged (where the library resumes is then unknown) it is
// refused, the price of never handing the library a name it cannot hold.
TEST(FuzzFindings, CBFBinarySectionsAreSearchedWhereTheirEndIsUncertain) {
  ResetCoreState();
  ScratchDir dir;
  RecordingSink sink;
  int status = kStatusGood;
  DataSet image;
  FillImage(image, 2000, 1, [](int i) { return 32.0f + 95.0f * static_cast<float>(i); });
  const std::string steps = dir.File("steps.cbf");
  ASSERT_TRUE(FOutputCBF(steps, image, status));
  ASSERT_NE(ReadFile(steps).find(std::string(1500, '_')), std::string::npos);
  DataSet whole;
  ASSERT_TRUE(OpenAsProgramDoes(steps, whole));
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(whole.data[i], image.data[i]) << i;
  // Ending at the closing line's ';' (as fabio ends its files), the end is certain: it opens.
  std::string ending = ReadFile(steps);
  const std::size_t last = ending.rfind("\n;");
  ASSERT_NE(last, std::string::npos);
  ending.resize(last + 2);
  WriteFile(steps, ending);
  DataSet ended;
  ASSERT_TRUE(OpenAsProgramDoes(steps, ended)) << (sink.lines.empty() ? "" : sink.lines.back());
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(ended.data[i], image.data[i]) << i;
  ASSERT_TRUE(FOutputCBF(steps, image, status));
  std::string damaged = ReadFile(steps);
  const std::size_t closing = damaged.rfind("\n;");
  ASSERT_NE(closing, std::string::npos);
  damaged[closing + 1] = ':';
  WriteFile(steps, damaged);
  DataSet refused;
  EXPECT_FALSE(OpenAsProgramDoes(steps, refused));
  EXPECT_TRUE(AnyLineHas(sink, "data name longer than 200 characters"));

  for (int i = 0; i < 2000; ++i) image.data[i] = static_cast<float>((i * 37) % 1000);
  const std::string plain = dir.File("plain.cbf");
  ASSERT_TRUE(FOutputCBF(plain, image, status));
  DataSet back;
  ASSERT_TRUE(OpenAsProgramDoes(plain, back));
  ASSERT_EQ(back.dimX, 2000);
  EXPECT_EQ(back.data[1999], static_cast<float>((1999 * 37) % 1000));
}

// The HDF5 library is not hardened against damaged files of its own format: fuzzed files crash
// it (these two took the program down). A file is read by a child process first, and these are
// refused with a message, the store kept, however often they are opened.
TEST(FuzzFindings, HDF5FilesThatCrashTheLibraryAreRefused) {
  ResetCoreState();
  ScratchDir dir;
  RecordingSink sink;
  int k = 0;
  for (const char* encoded : {kHDF5AccumulatorOverrun, kHDF5WildFree}) {
    const std::string path = dir.File("damaged" + std::to_string(++k) + ".h5");
    WriteFile(path, DecodeZeroRuns(encoded));
    for (int attempt = 0; attempt < 2; ++attempt) {
      sink.lines.clear();
      sink.boxes.clear();
      DataSet d;
      FillStore(d);
      EXPECT_FALSE(OpenAsProgramDoes(path, d));
      EXPECT_TRUE(AnyLineHas(sink, "The HDF5 library fails on the structure of the file (a "
                                   "damaged file?)"))
          << path;
      EXPECT_EQ(d.dimX, 3);
      EXPECT_EQ(d.data[5], 6.0f);
    }
  }
}
