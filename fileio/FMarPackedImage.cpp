// The CCP4 packed-image decoder.
//
// The stream is read in chunks into a small buffer and consumed through a 64-bit bit
// accumulator; decoded pixels live in a ring of two image rows of 16-bit values (the
// prediction never looks further back than one row and one pixel), and each row is converted
// to reals as soon as it is complete.
#include "fileio/FMarPackedImage.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/status.h"
#include "core/text.h"

namespace {

constexpr int kWidths[8] = {0, 4, 5, 6, 7, 8, 16, 32};
constexpr std::int64_t kChunkBytes = 65536;
constexpr int kMaxBlock = 128;

// Least-significant-bit-first reader over a buffered stream. The accumulator holds the next
// `bits_` bits of the stream in its low bits.
class BitReader {
 public:
  BitReader(std::FILE* file, unsigned char* buffer) : file_(file), buffer_(buffer) {}

  // Makes at least n (1 to 32) bits available; false when the stream ends first.
  bool Need(int n) {
    if (bits_ >= n) return true;
    Refill();
    return bits_ >= n;
  }

  // The next n (1 to 32) bits, after Need(n).
  std::uint32_t Take(int n) {
    const auto value = static_cast<std::uint32_t>(acc_ & ((std::uint64_t{1} << n) - 1));
    acc_ >>= n;
    bits_ -= n;
    return value;
  }

  // Decodes up to n differences of `width` (1 to 32) bits; returns how many the stream held.
  int Differences(int width, int n, std::int32_t* out) {
    const int shift = 32 - width;
    const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
    int done = 0;
    while (done < n) {
      if (bits_ < 32) Refill();
      if (bits_ < width) break;
      // As many as the accumulator holds, without a check between them.
      const int m = std::min(bits_ / width, n - done);
      std::uint64_t acc = acc_;
      for (int i = 0; i < m; ++i) {
        out[done + i] =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(acc & mask) << shift) >> shift;
        acc >>= width;
      }
      acc_ = acc;
      bits_ -= m * width;
      done += m;
    }
    return done;
  }

 private:
  void Refill() {
    if (end_ - pos_ < 8) Load();
    if (end_ - pos_ >= 8) {
      // Whole bytes up to 56..63 held bits. The byte only partly taken is taken again on the
      // next refill at the same place, which leaves the accumulator unchanged.
      std::uint64_t word;
      std::memcpy(&word, buffer_ + pos_, sizeof word);
      acc_ |= word << bits_;
      pos_ += (63 - bits_) >> 3;
      bits_ |= 56;
      return;
    }
    while (bits_ <= 56 && pos_ < end_) {
      acc_ |= static_cast<std::uint64_t>(buffer_[pos_++]) << bits_;
      bits_ += 8;
    }
  }

  // Moves the unread tail to the front of the buffer and fills the rest from the file.
  void Load() {
    if (eof_) return;
    const std::int64_t rest = end_ - pos_;
    std::memmove(buffer_, buffer_ + pos_, static_cast<std::size_t>(rest));
    pos_ = 0;
    end_ = rest;
    while (end_ < kChunkBytes) {
      const std::size_t got =
          std::fread(buffer_ + end_, 1, static_cast<std::size_t>(kChunkBytes - end_), file_);
      if (got == 0) {
        eof_ = true;
        break;
      }
      end_ += static_cast<std::int64_t>(got);
    }
  }

  std::FILE* file_;
  unsigned char* buffer_;
  std::int64_t pos_ = 0;
  std::int64_t end_ = 0;
  std::uint64_t acc_ = 0;
  int bits_ = 0;
  bool eof_ = false;
};

// Difference plus prediction, kept to 16 bits (the sum of 32-bit differences wraps).
inline std::int16_t Keep16(std::int32_t difference, int prediction) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(
      static_cast<std::uint32_t>(difference) + static_cast<std::uint32_t>(prediction)));
}

// The prediction state: position (row, column) of the next pixel and the two-row ring.
class Predictor {
 public:
  Predictor(std::int16_t* ring, int columns, DataSet& d, int storeColumns)
      : columns_(columns), current_(ring), previous_(ring + columns), d_(d),
        storeColumns_(storeColumns) {}

  void Apply(const std::int32_t* differences, int n) {
    const int x = columns_;
    int i = 0;
    while (i < n) {
      if (row_ >= 1 && column_ >= 1 && column_ + 1 < x) {
        // Inside a row past the first: the four-neighbour prediction without wrap-around.
        const int run = std::min(n - i, x - 1 - column_);
        std::int16_t* out = current_ + column_;
        const std::int16_t* up = previous_ + column_;
        int left = out[-1];
        for (int k = 0; k < run; ++k) {
          // The upper three first: only the left neighbour waits for the previous pixel.
          const int upper = up[k - 1] + up[k] + up[k + 1] + 2;
          const int sum = left + upper;
          const std::int16_t value = Keep16(differences[i + k], sum / 4);
          out[k] = value;
          left = value;
        }
        i += run;
        column_ += run;
        continue;
      }
      current_[column_] = Edge(differences[i]);
      ++i;
      if (++column_ == x) FinishRow();
    }
  }

  // Stores the decoded part of the current row and zeros after it.
  void StorePartialRow() {
    if (row_ >= d_.dimY) return;
    float* out = d_.data.get() + IIndex(d_, 0, row_);
    const int kept = std::min(column_, storeColumns_);
    for (int c = 0; c < kept; ++c)
      out[c] = static_cast<float>(static_cast<std::uint16_t>(current_[c]));
    std::fill(out + kept, out + storeColumns_, 0.0f);
  }

  int row() const { return row_; }
  int column() const { return column_; }

 private:
  // A pixel of the first row, the first pixel of the second row, or a pixel at either end of
  // a later row, where the neighbours wrap to the previous row or to the row start.
  std::int16_t Edge(std::int32_t difference) const {
    const int x = columns_;
    const int c = column_;
    if (row_ == 0) return Keep16(difference, c == 0 ? 0 : current_[c - 1]);
    if (row_ == 1 && c == 0) return Keep16(difference, previous_[x - 1]);
    const int left = c > 0 ? current_[c - 1] : previous_[x - 1];
    // At the first column the pixel before the upper one is the last of the row two back,
    // which still sits at the end of this half of the ring.
    const int upLeft = c > 0 ? previous_[c - 1] : current_[x - 1];
    const int up = previous_[c];
    const int upRight = c + 1 < x ? previous_[c + 1] : current_[0];
    return Keep16(difference, (left + upRight + up + upLeft + 2) / 4);
  }

  void FinishRow() {
    if (row_ < d_.dimY) {
      float* out = d_.data.get() + IIndex(d_, 0, row_);
      for (int c = 0; c < storeColumns_; ++c) {
        out[c] = static_cast<float>(static_cast<std::uint16_t>(current_[c]));
      }
    }
    std::swap(current_, previous_);
    ++row_;
    column_ = 0;
  }

  int columns_;
  std::int16_t* current_;
  std::int16_t* previous_;
  DataSet& d_;
  int storeColumns_;
  int row_ = 0;
  int column_ = 0;
};

}  // namespace

int FMarPackedImage(std::FILE* file, std::int64_t offset, int columns, int rows, DataSet& d,
                    int& status) {
  static constexpr IRoutine kR{"FMarPackedImage", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataAllocated || !d.data || d.dimX <= 0 || d.dimY <= 0) {
    IWarning("FMarPackedImage: The data array has not been allocated", status);
    return kFalse;
  }
  if (offset < 0 || fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
    IWarning("FMarPackedImage; File positoning failed", status);
    return kFalse;
  }

  // The marker line; packed files written by some programs put an empty line before it.
  int x = 0, y = 0;
  bool found = false;
  std::string line;
  while (IReadLine(file, 512, line)) {
    if (std::sscanf(line.c_str(), "CCP4 packed image, X: %d, Y: %d", &x, &y) == 2 && x != 0 &&
        y != 0) {
      found = true;
      break;
    }
  }
  if (!found) {
    IWarning("FMarPackedImage: No 'CCP4 packed image' line was found after byte " +
                 std::to_string(offset),
             status);
    return kFalse;
  }
  if (x != columns || y != rows) {
    IWarning(IFormat("FMarPackedImage: The packed image is %i * %i pixels, but the header "
                     "gives %i * %i",
                     x, y, columns, rows),
             status);
    return kFalse;
  }

  const int storeRows = std::min(y, d.dimY);
  const int storeColumns = std::min(x, d.dimX);
  const std::int64_t total = static_cast<std::int64_t>(x) * storeRows;

  IArray<std::int16_t> ring;
  if (!IAllocateMemory("FMarPackedImage: RING", 2 * static_cast<std::int64_t>(x), ring, status)) {
    return kFalse;
  }
  std::fill(ring.get(), ring.get() + 2 * static_cast<std::int64_t>(x), std::int16_t{0});
  IArray<unsigned char> chunk;
  if (!IAllocateMemory("FMarPackedImage: STREAM", kChunkBytes + 8, chunk, status)) return kFalse;

  BitReader reader(file, chunk.get());
  Predictor predictor(ring.get(), x, d, storeColumns);
  std::int32_t differences[kMaxBlock];
  std::int64_t done = 0;
  bool ended = false;
  while (done < total) {
    if (!reader.Need(6)) {
      ended = true;
      break;
    }
    const std::uint32_t header = reader.Take(6);
    const int width = kWidths[header >> 3];
    // A block never reaches past the last pixel, whatever its header says.
    const int n = static_cast<int>(std::min<std::int64_t>(1 << (header & 7), total - done));
    int got = n;
    if (width == 0) {
      std::fill(differences, differences + n, 0);
    } else {
      got = reader.Differences(width, n, differences);
      ended = got < n;
    }
    predictor.Apply(differences, got);
    done += got;
    if (ended) break;
  }

  if (ended) {
    IWarning(IFormat("FMarPackedImage: The packed data ends after %lld of %lld pixels; the "
                     "rest are set to 0",
                     static_cast<long long>(done), static_cast<long long>(total)),
             status);
    predictor.StorePartialRow();
    for (int r = predictor.row() + 1; r < storeRows; ++r) {
      float* out = d.data.get() + IIndex(d, 0, r);
      std::fill(out, out + storeColumns, 0.0f);
    }
  }

  d.numX = storeColumns;
  d.numY = storeRows;
  d.startX = d.startY = 0;
  d.endX = d.numX - 1;
  d.endY = d.numY - 1;
  return kTrue;
}
