// Image filters over the region of interest.
#include "maths/MFilters.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <thread>
#include <vector>

#include "core/cores.h"
#include "core/status.h"
#include "maths/MManipulate.h"

namespace {

// The data must be laid out soundly and hold data; the output must hold the data's defined area.
int Usable(const IRoutine& r, const DataSet& d, const DataSet* out, int& status) {
  if (!ICheckDataLayout(r.name, d, status)) return kFalse;
  if (!(d.dataAllocated && d.dataDefined && d.data)) {
    IWarning(IFormat("%s: Data is not defined", r.name), status);
    return kFalse;
  }
  if (out && (!out->data || out->dimX < d.numX || out->dimY < d.numY)) {
    IWarning(IFormat("%s: The output data-set is not allocated at the data's size", r.name),
             status);
    return kFalse;
  }
  return kTrue;
}

// Window sizes: 0 or fewer set status 21 / 22; larger than the region: a warning, false.
int WindowFits(const IRoutine& r, const DataSet& d, int width, int height, int& status) {
  if (width < 1) return IFail(r, kStatusIntRange1, status);
  if (height < 1) return IFail(r, kStatusIntRange2, status);
  const int rw = d.endX - d.startX + 1;
  const int rh = d.endY - d.startY + 1;
  if (width > rw || height > rh) {
    IWarning(IFormat("%s: The %i * %i window is larger than the %i * %i region of interest: "
                     "nothing changed",
                     r.name, width, height, rw, rh),
             status);
    return kFalse;
  }
  return kTrue;
}

inline int Low(int w) { return (w - 1) / 2; }  // truncation of (w - 0.5) * 0.5 for w >= 1
inline int High(int w) { return w / 2; }

// Runs work(y) for every row from first to last on all cores, rows handed out in blocks.
template <class Work>
void ForRows(int first, int last, std::int64_t costPerRow, Work&& work) {
  const int rows = last - first + 1;
  if (rows <= 0) return;
  unsigned threads = ICoresAvailable();
  if (costPerRow * rows < 200000) threads = 1;
  threads = std::min<unsigned>(threads, static_cast<unsigned>(rows));
  std::atomic<int> next{first};
  auto worker = [&] {
    for (int y = next++; y <= last; y = next++) work(y);
  };
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  } catch (const std::exception&) {
    // Fewer threads than asked: this thread takes the rest.
  }
  worker();
  for (auto& thread : pool) thread.join();
}

// The median of a sorted run of n >= 1 values.
inline float SortedMedian(const float* v, std::size_t n) {
  if (n < 2) return v[0];
  if (n % 2) return v[n / 2];
  return (v[n / 2 - 1] + v[n / 2]) * 0.5f;
}

bool SameValue(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// A sorted multiset of floats with insertion and removal.
struct SortedWindow {
  std::vector<float> values;
  void Insert(float v) {
    values.insert(std::upper_bound(values.begin(), values.end(), v), v);
  }
  void Remove(float v) {
    auto it = std::lower_bound(values.begin(), values.end(), v);
    if (it == values.end() || !SameValue(*it, v)) {
      it = std::find_if(values.begin(), values.end(), [v](float s) { return SameValue(s, v); });
    }
    if (it != values.end()) values.erase(it);
  }
  // Removes `out` and inserts `in` in one pass: the slot of `out` takes `in`, which then
  // moves to its place (the window size stays the same).
  void Replace(float out, float in) {
    float* a = values.data();
    const std::size_t n = values.size();
    std::size_t i = static_cast<std::size_t>(std::lower_bound(a, a + n, out) - a);
    if (i == n || !SameValue(a[i], out)) {
      Remove(out);
      Insert(in);
      return;
    }
    while (i + 1 < n && a[i + 1] < in) {
      a[i] = a[i + 1];
      ++i;
    }
    while (i > 0 && in < a[i - 1]) {
      a[i] = a[i - 1];
      --i;
    }
    a[i] = in;
  }
};

}  // namespace

// ---- Median -----------------------------------------------------------------------------------

int MMedianFilter(const DataSet& d, int width, int height, DataSet& out, int& status) {
  static constexpr IRoutine kR{"MMedianFilter", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, &out, status) || !WindowFits(kR, d, width, height, status)) return kFalse;
  const int w1 = Low(width), w2 = High(width), h1 = Low(height), h2 = High(height);
  // Small heights slide a sorted window along each row (a column of `height` values in and
  // one out per step); tall windows select from a fresh copy.
  const bool sliding = height <= 16;
  const float* src = d.data.get();
  const auto stride = static_cast<std::size_t>(d.dimX);
  ForRows(d.startY, d.endY, static_cast<std::int64_t>(d.endX - d.startX + 1) * width * height,
          [&](int y) {
            const int yLo = std::max(d.startY, y - h1), yHi = std::min(d.endY, y + h2);
            float* o = out.data.get() + IIndex(out, 0, y);
            if (sliding) {
              SortedWindow win;
              win.values.reserve(static_cast<std::size_t>(width) * height);
              int curLo = d.startX, curHi = d.startX - 1;  // columns held
              for (int x = d.startX; x <= d.endX; ++x) {
                const int xLo = std::max(d.startX, x - w1), xHi = std::min(d.endX, x + w2);
                // Steady state: one column leaves as one enters.
                for (; curHi < xHi && curLo < xLo; ++curHi, ++curLo)
                  for (int yy = yLo; yy <= yHi; ++yy)
                    win.Replace(src[yy * stride + curLo], src[yy * stride + curHi + 1]);
                for (; curHi < xHi; ++curHi)
                  for (int yy = yLo; yy <= yHi; ++yy) win.Insert(src[yy * stride + curHi + 1]);
                for (; curLo < xLo; ++curLo)
                  for (int yy = yLo; yy <= yHi; ++yy) win.Remove(src[yy * stride + curLo]);
                o[x] = SortedMedian(win.values.data(), win.values.size());
              }
            } else {
              std::vector<float> v;
              v.reserve(static_cast<std::size_t>(width) * height);
              for (int x = d.startX; x <= d.endX; ++x) {
                const int xLo = std::max(d.startX, x - w1), xHi = std::min(d.endX, x + w2);
                v.clear();
                for (int yy = yLo; yy <= yHi; ++yy)
                  v.insert(v.end(), src + yy * stride + xLo, src + yy * stride + xHi + 1);
                const std::size_t n = v.size();
                if (n < 2) {
                  o[x] = v[0];
                  continue;
                }
                auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
                std::nth_element(v.begin(), mid, v.end());
                if (n % 2) {
                  o[x] = *mid;
                } else {
                  const float lower = *std::max_element(v.begin(), mid);
                  o[x] = (lower + *mid) * 0.5f;
                }
              }
            }
          });
  return kTrue;
}

// ---- Top hat ----------------------------------------------------------------------------------

int MTopHatConvolution(const DataSet& d, int width, int height, int average, DataSet& out,
                       int& status) {
  static constexpr IRoutine kR{"MTopHatConvolution", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, &out, status) || !WindowFits(kR, d, width, height, status)) return kFalse;
  const int w1 = Low(width), w2 = High(width), h1 = Low(height), h2 = High(height);
  const int x0 = d.startX, rw = d.endX - d.startX + 1;
  const float* src = d.data.get();
  const auto stride = static_cast<std::size_t>(d.dimX);
  // Bands of rows, each with its own running column sums, one band per core.
  const int rows = d.endY - d.startY + 1;
  unsigned threads = ICoresAvailable();
  if (static_cast<std::int64_t>(rw) * rows < 262144) threads = 1;
  threads = std::min<unsigned>(threads, static_cast<unsigned>(rows));
  auto band = [&](int yFirst, int yLast) {
    std::vector<double> column(static_cast<std::size_t>(rw), 0.0);
    std::vector<double> prefix(static_cast<std::size_t>(rw) + 1, 0.0);
    int lo = std::max(d.startY, yFirst - h1), hi = lo - 1;  // rows held in the column sums
    for (int y = yFirst; y <= yLast; ++y) {
      const int yLo = std::max(d.startY, y - h1), yHi = std::min(d.endY, y + h2);
      for (; hi < yHi; ++hi) {
        const float* r = src + (hi + 1) * stride + x0;
        for (int i = 0; i < rw; ++i) column[i] += r[i];
      }
      for (; lo < yLo; ++lo) {
        const float* r = src + lo * stride + x0;
        for (int i = 0; i < rw; ++i) column[i] -= r[i];
      }
      for (int i = 0; i < rw; ++i) prefix[i + 1] = prefix[i] + column[i];
      const int rowsIn = yHi - yLo + 1;
      float* o = out.data.get() + IIndex(out, x0, y);
      for (int i = 0; i < rw; ++i) {
        const int a = std::max(0, i - w1), b = std::min(rw - 1, i + w2);
        const double sum = prefix[b + 1] - prefix[a];
        o[i] = static_cast<float>(average ? sum / (static_cast<double>(b - a + 1) * rowsIn) : sum);
      }
    }
  };
  std::vector<std::thread> pool;
  int first = d.startY;
  for (unsigned t = 0; t < threads; ++t) {
    const int last = d.startY + static_cast<int>(static_cast<std::int64_t>(rows) * (t + 1) / threads) - 1;
    if (t + 1 < threads) {
      try {
        pool.emplace_back(band, first, last);
      } catch (const std::exception&) {
        band(first, last);
      }
    } else {
      band(first, last);
    }
    first = last + 1;
  }
  for (auto& thread : pool) thread.join();
  return kTrue;
}

// ---- Sobel ------------------------------------------------------------------------------------

int MFilterSobel(const DataSet& d, DataSet& out, int& status) {
  static constexpr IRoutine kR{"MFilterSobel", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, &out, status)) return kFalse;
  // Border lines of the image inside the region: 0.
  for (int y = d.startY; y <= d.endY; ++y) {
    float* o = out.data.get() + IIndex(out, 0, y);
    for (int x = d.startX; x <= d.endX; ++x)
      if (y == 0 || y == d.numY - 1 || x == 0 || x == d.numX - 1) o[x] = 0.0f;
  }
  const int yFirst = std::max(1, d.startY), yLast = std::min(d.endY, d.numY - 2);
  const int xFirst = std::max(1, d.startX), xLast = std::min(d.endX, d.numX - 2);
  const float* s = d.data.get();
  const auto st = static_cast<std::ptrdiff_t>(d.dimX);
  for (int y = yFirst; y <= yLast; ++y) {
    float* o = out.data.get() + IIndex(out, 0, y);
    for (int x = xFirst; x <= xLast; ++x) {
      const float* p = s + y * st + x;
      const double gx = (p[-st + 1] + 2.0 * p[1] + p[st + 1]) - (p[-st - 1] + 2.0 * p[-1] + p[st - 1]);
      const double gy = (p[st - 1] + 2.0 * p[st] + p[st + 1]) - (p[-st - 1] + 2.0 * p[-st] + p[-st + 1]);
      o[x] = static_cast<float>(std::min(std::sqrt(gx * gx + gy * gy), static_cast<double>(kMHuge)));
    }
  }
  return kTrue;
}

// ---- Rolling ball and balloon -----------------------------------------------------------------

std::vector<float> MBallProfile(float diameterX, float diameterY, int width, int height) {
  std::vector<float> profile(static_cast<std::size_t>(std::max(0, width)) *
                                 static_cast<std::size_t>(std::max(0, height)),
                             0.0f);
  const double rx = diameterX / 2.0, ry = diameterY / 2.0;
  for (int i = 0; i < height; ++i) {
    const double v = (i + 0.5 - height / 2.0) / ry;
    for (int j = 0; j < width; ++j) {
      const double u = (j + 0.5 - width / 2.0) / rx;
      const double r2 = u * u + v * v;
      const double weight = r2 < 1.0 ? std::sqrt(1.0 - r2) : 0.0;
      profile[static_cast<std::size_t>(i) * width + j] =
          weight > 0.15 ? static_cast<float>(weight) : 0.0f;
    }
  }
  return profile;
}

namespace {

// out[k] = min(out[k], r[k] / weight): one ball cell along a row. Vectorised, and built for
// AVX2 as well as the baseline, chosen at run time; the divisions are the same IEEE divisions
// either way, so the results equal those of a cell-by-cell scan.
__attribute__((target_clones("avx2", "default"), optimize("O3"))) void CellMinimum(
    const float* __restrict r, float* __restrict out, int n, float weight) {
  for (int k = 0; k < n; ++k) {
    const float v = r[k] / weight;
    out[k] = v < out[k] ? v : out[k];
  }
}

// C of every region position of row y: the smallest data / weight over the counted cells,
// counted[x] non-zero where any cell counted. The inner loops run along the row for one cell
// at a time, so they are plain vector minima.
void BallRow(const DataSet& d, const std::vector<float>& profile, int width, int height, int y,
             std::vector<float>& c, std::vector<int>& counted) {
  const int w1 = Low(width), h1 = Low(height);
  const int x0 = d.startX, x1 = d.endX, rw = x1 - x0 + 1;
  std::fill(c.begin(), c.end(), std::numeric_limits<float>::infinity());
  std::fill(counted.begin(), counted.end(), 0);
  const unsigned char* mask = d.maskInUse && d.maskAllocated && d.mask ? d.mask.get() : nullptr;
  float* cc = c.data();
  for (int i = 0; i < height; ++i) {
    const int yy = y - h1 + i;
    if (yy < d.startY || yy > d.endY) continue;
    const float* row = d.data.get() + IIndex(d, 0, yy);
    const unsigned char* mrow = mask ? mask + IIndex(d, 0, yy) : nullptr;
    for (int j = 0; j < width; ++j) {
      const float weight = profile[static_cast<std::size_t>(i) * width + j];
      if (weight <= 0.0f) continue;
      const int offset = j - w1;  // pixel column = x + offset
      const int xa = std::max(x0, x0 - offset), xb = std::min(x1, x1 - offset);
      if (xa > xb) continue;
      if (mrow) {
        for (int x = xa; x <= xb; ++x) {
          if (mrow[x + offset]) continue;
          const float v = row[x + offset] / weight;
          if (v < cc[x - x0]) cc[x - x0] = v;
          counted[static_cast<std::size_t>(x - x0)] = 1;
        }
      } else {
        CellMinimum(row + offset + xa, cc + (xa - x0), xb - xa + 1, weight);
        // Counted positions form runs; mark the run's ends, summed below.
        counted[static_cast<std::size_t>(xa - x0)] += 2;
        if (xb - x0 + 1 < rw) counted[static_cast<std::size_t>(xb - x0 + 1)] -= 2;
      }
    }
  }
  if (!mask) {
    int running = 0;
    for (int k = 0; k < rw; ++k) {
      running += counted[static_cast<std::size_t>(k)];
      counted[static_cast<std::size_t>(k)] = running > 0;
    }
  }
}

int BallChecks(const IRoutine& r, const DataSet& d, const DataSet* out, float dx, float dy,
               int width, int height, int& status) {
  if (!(dx >= 1.0f)) return IFail(r, kStatusRealRange1, status);
  if (!(dy >= 1.0f)) return IFail(r, kStatusRealRange2, status);
  if (!Usable(r, d, out, status) || !WindowFits(r, d, width, height, status)) return kFalse;
  return kTrue;
}

}  // namespace

int MFilterRollingBall(const DataSet& d, float diameterX, float diameterY, int width, int height,
                       DataSet& out, int& status) {
  static constexpr IRoutine kR{"MFilterRollingBall", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!BallChecks(kR, d, &out, diameterX, diameterY, width, height, status)) return kFalse;
  const std::vector<float> profile = MBallProfile(diameterX, diameterY, width, height);
  const int rw = d.endX - d.startX + 1;
  ForRows(d.startY, d.endY, static_cast<std::int64_t>(rw) * width * height, [&](int y) {
    std::vector<float> c(static_cast<std::size_t>(rw));
    std::vector<int> counted(static_cast<std::size_t>(rw));
    BallRow(d, profile, width, height, y, c, counted);
    const float* in = d.data.get() + IIndex(d, d.startX, y);
    float* o = out.data.get() + IIndex(out, d.startX, y);
    for (int k = 0; k < rw; ++k) o[k] = counted[static_cast<std::size_t>(k)] ? in[k] - c[k] : in[k];
  });
  return kTrue;
}

int MMaximumBalloon(const DataSet& d, float diameterX, float diameterY, float angle, int width,
                    int height, int& column, int& row, float& maximum, int& status) {
  static constexpr IRoutine kR{"MMaximumBalloon", "V0.3"};
  column = row = -1;
  maximum = -kMHuge;
  if (IBad(kR, status)) return kFalse;
  if (angle != 0.0f) {
    IWarning("MMaximumBalloon: Angle non-zero is not implemented yet", status);
    return kFalse;
  }
  if (!BallChecks(kR, d, nullptr, diameterX, diameterY, width, height, status)) return kFalse;
  const std::vector<float> profile = MBallProfile(diameterX, diameterY, width, height);
  const int rw = d.endX - d.startX + 1, rows = d.endY - d.startY + 1;
  std::vector<float> best(static_cast<std::size_t>(rows), -kMHuge);
  std::vector<int> where(static_cast<std::size_t>(rows), -1);
  // Only positions whose whole window lies in the region: a balloon clipped by the region's
  // edge is held by a few low cells only and would rise far above the data beside it.
  const int kFirst = Low(width), kLast = rw - 1 - High(width);
  ForRows(d.startY + Low(height), d.endY - High(height),
          static_cast<std::int64_t>(rw) * width * height, [&](int y) {
    std::vector<float> c(static_cast<std::size_t>(rw));
    std::vector<int> counted(static_cast<std::size_t>(rw));
    BallRow(d, profile, width, height, y, c, counted);
    const auto r = static_cast<std::size_t>(y - d.startY);
    for (int k = kFirst; k <= kLast; ++k) {
      if (counted[static_cast<std::size_t>(k)] && (where[r] < 0 || c[k] > best[r])) {
        best[r] = c[k];
        where[r] = d.startX + k;
      }
    }
  });
  for (int r = 0; r < rows; ++r) {
    if (where[r] >= 0 && (row < 0 || best[r] > maximum)) {
      maximum = best[r], column = where[r], row = d.startY + r;
    }
  }
  return kTrue;
}

// ---- Peaks of a scan --------------------------------------------------------------------------

int MRemovePeaks(float significance, DataSet& d, float& rms, int& status) {
  static constexpr IRoutine kR{"MRemovePeaks", "V0.3"};
  rms = 0.0f;
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, nullptr, status)) return kFalse;
  if (d.numY > 1) return IFail(kR, kStatusNot1D, status);
  float* v = d.data.get();
  const int first = d.startX, last = d.endX;
  if (last - first + 1 < 3) {
    IWarning("MRemovePeaks: Not enough values to calculate RMS deviations", status);
    return kFalse;
  }
  double sum = 0.0;
  for (int i = first + 1; i < last; ++i) {
    const double diff = v[i] - (static_cast<double>(v[i - 1]) + v[i + 1]) / 2.0;
    sum += diff * diff;
  }
  rms = static_cast<float>(std::sqrt(sum / (last - first - 1)));
  IInfo(IFormat("Approximate RMS difference = %f", static_cast<double>(rms)), status);
  const double level = static_cast<double>(significance) * rms;
  double base = v[first];
  int i = first;
  while (i <= last) {
    if (v[i] <= base) {
      base = v[i];
      ++i;
      continue;
    }
    if (v[i] <= base + level || i == first) {
      ++i;
      continue;
    }
    // A peak starts at i; s is the point before it.
    const int s = i - 1;
    int top = i;
    int end = -1;
    for (int k = i; k <= last; ++k) {
      if (v[k] >= v[top]) top = k;
      if (v[k] < v[top] - level) {
        end = k;
        break;
      }
    }
    if (end < 0) break;  // the peak never ends inside the region
    const int m = 2 * top - s;
    if (m > last) {
      i = end + 1;  // no room for the mirror point: look for the next peak
      continue;
    }
    const double vs = v[s], vm = v[m];
    for (int j = s; j <= m; ++j) {
      const double g = static_cast<double>(j - s) / (m - s);
      v[j] = static_cast<float>(vs * (1.0 - g) + vm * g);
    }
    base = v[m];
    i = m + 1;
  }
  return kTrue;
}
