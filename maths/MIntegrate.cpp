#include "maths/MIntegrate.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/cores.h"
#include "core/status.h"
#include "maths/MGeometry.h"

namespace {

constexpr double kFootprintFactor = 0.5641895835477563;  // radius of a disk of unit area
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Bin positions beyond this magnitude are taken as infinite: they cannot be stored as floats
// and a footprint that long gives no bin a measurable share.
constexpr double kPositionLimit = 1.0e30;

// ---- The pixel kernel: shared by the single pass and the map, so both see the same
// ---- positions and divisors for every pixel.

struct Kernel {
  MDetectorTransform t;
  int scanType = kScan2Theta;
  int bins = 0;
  double halfWidth = 0.0;
  double inner = 0.0, outer = 0.0;
  double start = 0.0, invStep = 0.0;
  double qFactor = 0.0;  // 4 pi / wavelength (nm)
  double dFactor = 0.0;  // wavelength (Angstrom) / 2
  bool polarisation = false;
  double polarisationFactor = 0.0;
  double distanceSquared = 0.0;
  bool sector = false;
  double azimuthStart = 0.0, azimuthEnd = 0.0;
};

// Whether azimuth a (radians, [-pi, pi]) lies in the sector from start to end, which wraps
// through +-pi when end is below start.
inline bool InSector(double a, double start, double end) {
  return start <= end ? (a >= start && a <= end) : (a >= start || a <= end);
}

void SetKernel(const DataSet& d, const IntegrationParameters& p, Kernel& k) {
  MSetDetectorTransform(d, k.t);
  k.scanType = p.scanType;
  k.bins = p.bins;
  k.halfWidth = MFootprintHalfWidth(d);
  k.inner = p.innerRadius;
  k.outer = p.outerRadius;
  k.start = p.start;
  k.invStep = 1.0 / static_cast<double>(p.step);
  k.qFactor = 4.0 * M_PI / (k.t.wavelength * 1.0e9);
  k.dFactor = k.t.wavelength * 1.0e10 / 2.0;
  k.polarisation = p.polarisationCorrection != 0;
  // A factor beyond +-1 has no physical meaning and would make the divisor vanish.
  k.polarisationFactor = std::clamp(static_cast<double>(d.polarisation), -1.0, 1.0);
  if (!std::isfinite(k.polarisationFactor)) k.polarisationFactor = 0.0;
  k.distanceSquared = k.t.distance * k.t.distance;
  k.sector = p.sector != 0;
  k.azimuthStart = p.azimuthStart;
  k.azimuthEnd = p.azimuthEnd;
}

// The scan value of a tilt-corrected radius (negative radii stand for the part of a
// footprint that reaches across the beam centre).
inline double ScanValue(const Kernel& k, double radius) {
  switch (k.scanType) {
    case kScanRadial: return radius;
    case kScan2Theta: return std::atan2(radius, k.t.distance);
    case kScanQ: return k.qFactor * std::sin(std::atan2(radius, k.t.distance) / 2.0);
    default:
      // d grows without bound towards the beam centre.
      if (!(radius > 0.0)) return kInfinity;
      return k.dFactor / std::sin(std::atan2(radius, k.t.distance) / 2.0);
  }
}

inline float Position(const Kernel& k, double value) {
  double position = (value - k.start) * k.invStep;
  if (position > kPositionLimit) position = kInfinity;
  if (position < -kPositionLimit) position = -kInfinity;
  return static_cast<float>(position);
}

// Bin positions (fractional, lower <= upper) of pixel (x, y) and its polarisation divisor.
// False when the pixel is left out (outside the radii, unseen, or not a number).
inline bool PixelBins(const Kernel& k, int x, int y, float& lower, float& upper,
                      float& divisor) {
  const double g = (x + 0.5 - k.t.beamX) * k.t.pixelX;
  const double e = (y + 0.5 - k.t.beamY) * k.t.pixelY;
  double r = 0.0;
  if (!MCorrectedRadius(k.t, g, e, r)) return false;
  if (!(r >= k.inner && r <= k.outer)) return false;
  if (k.sector && !InSector(std::atan2(e, g), k.azimuthStart, k.azimuthEnd)) return false;
  double a = ScanValue(k, r - k.halfWidth);
  double b = ScanValue(k, r + k.halfWidth);
  if (k.scanType == kScanDSpacing) std::swap(a, b);  // d falls as r grows
  lower = Position(k, a);
  upper = Position(k, b);
  if (!(lower <= upper)) return false;
  divisor = 1.0f;
  if (k.polarisation && (std::fabs(g) > 1.0e-6 || std::fabs(e) > 1.0e-6)) {
    // c = cos^2 2theta; cos 2phi of the untilted offsets without trigonometry.
    const double c = k.distanceSquared / (k.distanceSquared + r * r);
    const double cos2Phi = (g * g - e * e) / (g * g + e * e);
    divisor = static_cast<float>((1.0 + c - (1.0 - c) * cos2Phi * k.polarisationFactor) / 2.0);
  }
  return true;
}

// Spreads one footprint [lower, upper] over the bins it overlaps: add(bin, fraction).
template <class Add>
inline void Spread(float lower, float upper, int bins, Add&& add) {
  if (!(upper >= 0.0f) || !(lower < static_cast<float>(bins))) return;
  const float span = upper - lower;
  if (!(span > 0.0f)) {  // a footprint of no width lies in one bin
    add(static_cast<int>(lower), 1.0f);
    return;
  }
  if (!std::isfinite(span)) return;  // an infinite footprint: nothing in any bin
  const int first = lower <= 0.0f ? 0 : static_cast<int>(lower);
  const int last = upper >= static_cast<float>(bins) ? bins - 1 : static_cast<int>(upper);
  const float inverse = 1.0f / span;
  float edge = static_cast<float>(first);  // lower edge of bin i (exact: bins < 2^24)
  for (int i = first; i <= last; ++i, edge += 1.0f) {
    const float overlap = std::min(upper, edge + 1.0f) - std::max(lower, edge);
    const float fraction = std::min(1.0f, overlap * inverse);
    if (fraction > 0.0f) add(i, fraction);
  }
}

inline bool Masked(const DataSet& d, const unsigned char* mask, int x, int y) {
  return mask && mask[IIndex(d, x, y)] != 0;
}

// Calls use(i, x, y, lower, upper, divisor) for the pixels i in [begin, end) of a region
// `width` pixels wide that are unmasked and land in the scan, keeping the smallest
// polarisation divisor met.
template <class Use>
inline void ForEachPixelBins(const Kernel& k, const DataSet& d, const unsigned char* mask,
                             std::int64_t width, std::int64_t begin, std::int64_t end,
                             double& minimum, Use&& use) {
  for (std::int64_t i = begin; i < end; ++i) {
    const int x = d.startX + static_cast<int>(i % width);
    const int y = d.startY + static_cast<int>(i / width);
    float lower = 0.0f, upper = 0.0f, divisor = 1.0f;
    if (Masked(d, mask, x, y) || !PixelBins(k, x, y, lower, upper, divisor)) continue;
    if (k.polarisation) minimum = std::min(minimum, static_cast<double>(divisor));
    if (!use(i, x, y, lower, upper, divisor)) return;
  }
}

const unsigned char* MaskInUse(const DataSet& d) {
  return (d.maskInUse && d.maskAllocated && d.mask) ? d.mask.get() : nullptr;
}

// ---- Checks and the finishing steps shared by both paths.

int CheckParameters(const IRoutine& r, const DataSet& data, const IntegrationParameters& p,
                    DataSet& result, int& status) {
  if (!(p.innerRadius >= 0.0f)) return IFail(r, kStatusRealRange1, status);
  if (!(p.innerRadius < p.outerRadius)) return IFail(r, 17, status);
  if (!(p.start >= 0.0f) || !std::isfinite(p.start)) return IFail(r, kStatusRealRange1, status);
  // Bin positions are held as floats: whole bins up to 2^24 are told apart exactly.
  if (p.bins <= 0 || p.bins > (1 << 24)) return IFail(r, kStatusIntRange1, status);
  // A step of zero would put every pixel at an infinite position.
  if (!(p.step > 0.0f) || !std::isfinite(p.step)) return IFail(r, kStatusRealRange1, status);
  if (p.scanType < kScanRadial || p.scanType > kScanDSpacing) {
    return IFail(r, kStatusIntRange2, status);
  }
  constexpr float kPi = 3.14159274f;  // pi rounded up as a float
  if (p.sector && !(std::fabs(p.azimuthStart) <= kPi && std::fabs(p.azimuthEnd) <= kPi)) {
    return IFail(r, kStatusRealRange2, status);
  }
  if (!ICheckData(std::string(r.name) + ":", data, status)) return kFalse;
  if (!data.dataDefined || !data.data) return IFail(r, kStatusNotAllocated, status);
  if (&data == &result) return IFail(r, kStatusOther, status);
  if (!result.dataAllocated || !result.data || result.dimX < p.bins || result.dimY < 1) {
    return IFail(r, kStatusNotAllocated, status);
  }
  if (p.variances && !p.sumsOnly && !result.variancesAllocated) {
    if (!IAllocateVariances(result, status)) return kFalse;
  }
  return kTrue;
}

const char* ScanLabel(int scanType) {
  switch (scanType) {
    case kScanRadial: return "Radial Distance (metres)";
    case kScan2Theta: return "2-Theta (Degrees)";
    case kScanQ: return "Q-Space (nm-1)";
    default: return "D-Spacing (Angstroms)";
  }
}

const char* ScanTitle(int scanType) {
  switch (scanType) {
    case kScanRadial: return "%s: Radial Distance Integrated Scan";
    case kScan2Theta: return "%s: 2-Theta Integrated Scan";
    case kScanQ: return "%s: Q-Space Integrated Scan";
    default: return "%s: D-Spacing Integrated Scan";
  }
}

// The value and variance of radial bin i from its sum, weight and sum of squares: the
// normalisation and the obliquity correction.
inline void BinValue(const IntegrationParameters& p, int i, double sum, double w, double square,
                     bool variances, double& value, double& variance) {
  value = 0.0;
  variance = 0.0;
  if (p.sumsOnly) {
    value = sum;
  } else if (p.errorModel == kErrorsPoisson) {
    if (w > 0.01) {
      value = sum / w;
      if (variances) variance = square / (w * w);
    }
  } else if (w > 1.0) {
    value = sum / w;
    if (variances) variance = std::max(0.0, (square / w - value * value) / (w - 1.0));
  } else if (w > 0.01) {
    value = sum / w;
    variance = value;
  }
  if (p.obliquityCorrection && p.scanType == kScan2Theta) {
    // At the bin's centre: the angle its value stands for.
    const double c = std::cos(static_cast<double>(p.start) + (i + 0.5) * static_cast<double>(p.step));
    if (c > 0.0) {
      const double factor = 1.0 / (c * c * c);
      value *= factor;
      variance *= factor * factor;  // a scaled value's variance scales with the square
    }
  }
}

// The X axis of a scan (or cake): bin centres, in degrees for 2-theta.
void SetScanAxis(const IntegrationParameters& p, DataSet& result) {
  result.xAxisInPixels = kFalse;
  // Bin i collects [start + i step, start + (i + 1) step) and is reported at its centre, so the
  // axis is start + step / 2 + i step, in one unit: degrees for 2-theta scans.
  const double centre = static_cast<double>(p.start) + 0.5 * static_cast<double>(p.step);
  if (p.scanType == kScan2Theta) {
    result.xAxisStart = static_cast<float>(centre * kRadiansToDegrees);
    result.pixelSizeX = static_cast<float>(p.step * kRadiansToDegrees);
  } else {
    result.xAxisStart = static_cast<float>(centre);
    result.pixelSizeX = p.step;
  }
  result.xLabel = ScanLabel(p.scanType);
}

void ReportPolarisation(const IntegrationParameters& p, double minimumDivisor, int& status) {
  if (!p.polarisationCorrection) return;
  // With no pixel corrected nothing was decreased.
  const double shown = minimumDivisor > 1.0e30 ? 1.0 : minimumDivisor;
  IInfo(IFormat("Minimum fractional intensity decrease owing to polarisation: %7.4f", shown),
        status);
}

// Normalisation, obliquity and the result's description.
void Finish(const DataSet& data, const IntegrationParameters& p, const double* sums,
            const double* weights, const double* squares, double minimumDivisor,
            DataSet& result, int& status) {
  const bool variances = p.variances && !p.sumsOnly && squares && result.variances;
  for (int i = 0; i < p.bins; ++i) {
    double value = 0.0, variance = 0.0;
    BinValue(p, i, sums[i], weights[i], squares ? squares[i] : 0.0, variances, value, variance);
    result.data[i] = static_cast<float>(value);
    if (variances) result.variances[i] = static_cast<float>(variance);
  }

  result.dataDefined = kTrue;
  result.numX = p.bins;
  result.numY = 1;
  result.startX = 0;
  result.endX = p.bins - 1;
  result.startY = result.endY = 0;
  SetScanAxis(p, result);
  result.variancesDefined = variances ? kTrue : kFalse;
  result.zLabel = "Intensity";
  result.fileName = data.fileName;
  ISetText(result.title, IFormat(ScanTitle(p.scanType), data.title.c_str()));
  ReportPolarisation(p, minimumDivisor, status);
}

// ---- The cached map.

// A fixed partition of the region: results never depend on the number of cores.
constexpr int kChunks = 32;
constexpr std::size_t kPartials = kChunks;  // one partial sum per chunk

struct MapKey {
  int dimX = 0, dimY = 0, startX = 0, startY = 0, endX = 0, endY = 0;
  float beamX = 0, beamY = 0, distance = 0, pixelX = 0, pixelY = 0;
  float tilt = 0, tiltAxis = 0, wavelength = 0, polarisation = 0;
  int scanType = 0, bins = 0, polarisationCorrection = 0;
  float inner = 0, outer = 0, start = 0, step = 0;
  int maskUsed = 0;
  std::uint64_t maskHash = 0;
  int keepDivisors = 0;  // variances with the polarisation correction need each divisor
  int sector = 0;
  float azimuthStart = 0, azimuthEnd = 0;
  bool operator==(const MapKey&) const = default;
};

// A footprint too long for a run (more than 255 bins): applied through Spread.
struct LongFootprint {
  float lower, upper, divisor;
};

// Per pixel of the region, row by row, the run of bins its footprint covers and the shares
// (fraction / polarisation divisor) of its first and last bins: 12 bytes per pixel. A pixel's
// middle bins all receive the same fraction; runs of three or more bins keep that share in a
// list of their chunk, read in pixel order (4 bytes more for those pixels only).
constexpr std::uint32_t kBinMask = 0xFFFFFFu;  // first bin in the low 24 bits
constexpr int kCountShift = 24;                 // bins in the run in the high 8
constexpr std::uint32_t kMaximumRun = 255;

struct IntegrationMap {
  bool valid = false;
  MapKey key;
  std::int64_t width = 0, pixels = 0;
  // first | count << 24; 0: left out; count 0 with first n > 0: long footprint n - 1 of the
  // pixel's chunk.
  std::vector<std::uint32_t> runs;
  std::vector<float> firstShare, lastShare;
  std::vector<std::vector<float>> middleShares;  // per chunk, one per run of 3 or more bins
  std::vector<float> divisors;  // only when the key keeps them
  std::vector<std::vector<LongFootprint>> longFootprints;  // per chunk
  std::vector<double> weights;  // per bin
  double minimumDivisor = 1.7e38;
};

// A map kept for the next call, with how often one was built.
template <class Map>
struct Kept {
  std::mutex mutex;
  Map map;
  std::int64_t builds = 0;
};
using MapCache = Kept<IntegrationMap>;

MapCache& Cache() {
  static MapCache cache;
  return cache;
}

inline std::uint64_t Mix(std::uint64_t h, std::uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 31);
}

// A hash of the mask bytes of the region, eight at a time.
std::uint64_t MaskHash(const DataSet& d, const unsigned char* mask) {
  std::uint64_t h = 0x243F6A8885A308D3ull;
  const std::size_t width = static_cast<std::size_t>(d.endX - d.startX + 1);
  for (int y = d.startY; y <= d.endY; ++y) {
    const unsigned char* row = mask + IIndex(d, d.startX, y);
    std::size_t i = 0;
    for (; i + 8 <= width; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, row + i, 8);
      h = Mix(h, word);
    }
    std::uint64_t tail = width - i;
    for (; i < width; ++i) tail = (tail << 8) | row[i];
    h = Mix(h, tail);
  }
  return h;
}

MapKey KeyOf(const DataSet& d, const IntegrationParameters& p) {
  MapKey key;
  key.dimX = d.dimX;
  key.dimY = d.dimY;
  key.startX = d.startX;
  key.startY = d.startY;
  key.endX = d.endX;
  key.endY = d.endY;
  key.beamX = d.beamCentreX;
  key.beamY = d.beamCentreY;
  key.distance = d.distance;
  key.pixelX = d.pixelSizeX;
  key.pixelY = d.pixelSizeY;
  key.tilt = d.tiltAngle;
  key.tiltAxis = d.tiltAxisAngle;
  key.wavelength = d.wavelength;
  key.polarisationCorrection = p.polarisationCorrection ? 1 : 0;
  key.polarisation = p.polarisationCorrection ? d.polarisation : 0.0f;
  key.scanType = p.scanType;
  key.bins = p.bins;
  key.inner = p.innerRadius;
  key.outer = p.outerRadius;
  key.start = p.start;
  key.step = p.step;
  const unsigned char* mask = MaskInUse(d);
  key.maskUsed = mask ? 1 : 0;
  key.maskHash = mask ? MaskHash(d, mask) : 0;
  key.keepDivisors = (p.variances && !p.sumsOnly && p.polarisationCorrection) ? 1 : 0;
  key.sector = p.sector ? 1 : 0;
  key.azimuthStart = p.sector ? p.azimuthStart : 0.0f;
  key.azimuthEnd = p.sector ? p.azimuthEnd : 0.0f;
  return key;
}

// Runs work(chunk) for every chunk on all cores; which core runs a chunk does not matter.
template <class Work>
void RunChunks(std::int64_t pixels, Work&& work) {
  unsigned threads = ICoresAvailable();
  threads = std::min<unsigned>(threads, kChunks);
  if (pixels < 65536) threads = 1;  // not worth starting threads
  std::atomic<int> next{0};
  auto worker = [&] {
    for (int c = next++; c < kChunks; c = next++) work(c);
  };
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  } catch (const std::exception&) {
    // Fewer threads than asked: the calling thread takes the rest.
  }
  worker();
  for (auto& thread : pool) thread.join();
}

inline std::int64_t ChunkBegin(std::int64_t pixels, int chunk) {
  return pixels * chunk / kChunks;
}

bool BuildMap(const DataSet& d, const IntegrationParameters& p, const MapKey& key,
              IntegrationMap& map) {
  Kernel k;
  SetKernel(d, p, k);
  const unsigned char* mask = MaskInUse(d);
  const std::int64_t width = d.endX - d.startX + 1;
  const std::int64_t pixels = width * (d.endY - d.startY + 1);
  const auto n = static_cast<std::size_t>(pixels);
  std::vector<double> partialWeights;
  std::vector<double> partialMinimum(kChunks, 1.7e38);
  try {
    map = IntegrationMap();
    map.runs.assign(n, 0u);
    map.firstShare.assign(n, 0.0f);
    map.lastShare.assign(n, 0.0f);
    map.middleShares.resize(kChunks);
    if (key.keepDivisors) map.divisors.assign(n, 1.0f);
    map.longFootprints.resize(kChunks);
    map.weights.assign(static_cast<std::size_t>(p.bins), 0.0);
    partialWeights.assign(kPartials * p.bins, 0.0);
  } catch (const std::bad_alloc&) {
    map = IntegrationMap();
    return false;
  }

  std::atomic<bool> failed{false};
  RunChunks(pixels, [&](int c) {
    double* weights = partialWeights.data() + static_cast<std::size_t>(c) * p.bins;
    std::vector<LongFootprint>& longs = map.longFootprints[static_cast<std::size_t>(c)];
    std::vector<float>& middles = map.middleShares[static_cast<std::size_t>(c)];
    double minimum = 1.7e38;
    const std::int64_t begin = ChunkBegin(pixels, c), end = ChunkBegin(pixels, c + 1);
    ForEachPixelBins(k, d, mask, width, begin, end, minimum,
                     [&](std::int64_t i, int, int, float lower, float upper, float divisor) {
      if (key.keepDivisors) map.divisors[static_cast<std::size_t>(i)] = divisor;
      int first = -1, last = -1;
      bool gap = false;
      float fractions[3] = {0.0f, 0.0f, 0.0f};  // first, middle, last
      Spread(lower, upper, p.bins, [&](int bin, float f) {
        weights[bin] += f;
        if (first < 0) {
          first = bin;
          fractions[0] = f;
        } else {
          gap = gap || bin != last + 1;
          if (last > first) fractions[1] = fractions[2];  // the previous last is a middle bin
          fractions[2] = f;
        }
        last = bin;
      });
      if (first < 0) return true;  // nothing in any bin
      const auto count = static_cast<std::uint32_t>(last - first + 1);
      // Bins inside a footprint always get their share, so a run has no gaps; anything else
      // goes the long way.
      if (count > kMaximumRun || gap) {
        try {
          longs.push_back({lower, upper, divisor});
        } catch (const std::bad_alloc&) {
          failed = true;
          return false;
        }
        if (longs.size() >= kBinMask) {
          failed = true;
          return false;
        }
        map.runs[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(longs.size());
        return true;
      }
      map.runs[static_cast<std::size_t>(i)] =
          static_cast<std::uint32_t>(first) | (count << kCountShift);
      map.firstShare[static_cast<std::size_t>(i)] = fractions[0] / divisor;
      map.lastShare[static_cast<std::size_t>(i)] = fractions[2] / divisor;
      if (count >= 3) {
        try {
          middles.push_back(fractions[1] / divisor);
        } catch (const std::bad_alloc&) {
          failed = true;
          return false;
        }
      }
      return true;
    });
    partialMinimum[static_cast<std::size_t>(c)] = minimum;
  });
  if (failed) {
    map = IntegrationMap();
    return false;
  }
  try {  // the lists grew by doubling: give back what they do not hold
    for (auto& middles : map.middleShares) middles.shrink_to_fit();
    for (auto& longs : map.longFootprints) longs.shrink_to_fit();
  } catch (const std::bad_alloc&) {
  }

  map.minimumDivisor = 1.7e38;
  for (std::size_t l = 0; l < kPartials; ++l) {
    const double* weights = partialWeights.data() + l * p.bins;
    for (int b = 0; b < p.bins; ++b) map.weights[static_cast<std::size_t>(b)] += weights[b];
  }
  for (int c = 0; c < kChunks; ++c) {
    map.minimumDivisor = std::min(map.minimumDivisor, partialMinimum[static_cast<std::size_t>(c)]);
  }
  map.key = key;
  map.width = width;
  map.pixels = pixels;
  map.valid = true;
  return true;
}

// Applies the map to the data: sums (and sums of squares) per bin.
bool ApplyMap(const DataSet& d, const IntegrationMap& map, int bins, bool squares, bool poisson,
              std::vector<double>& sums, std::vector<double>& sumSquares) {
  std::vector<double> partial;
  std::vector<double> partialSquares;
  try {
    sums.assign(static_cast<std::size_t>(bins), 0.0);
    partial.assign(kPartials * bins, 0.0);
    if (squares) {
      sumSquares.assign(static_cast<std::size_t>(bins), 0.0);
      partialSquares.assign(kPartials * bins, 0.0);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  // Plain pointers: the compiler need not reload them after every store into the sums.
  const float* const data = d.data.get();
  const std::uint32_t* const runs = map.runs.data();
  const float* const firstShares = map.firstShare.data();
  const float* const lastShares = map.lastShare.data();
  const float* const divisors = map.divisors.empty() ? nullptr : map.divisors.data();
  const std::int64_t width = map.width;
  const int dimX = d.dimX;
  RunChunks(map.pixels, [&, data, runs, firstShares, lastShares, divisors, width, dimX](int c) {
    double* const s = partial.data() + static_cast<std::size_t>(c) * bins;
    double* const q =
        squares ? partialSquares.data() + static_cast<std::size_t>(c) * bins : nullptr;
    const std::vector<LongFootprint>& longs = map.longFootprints[static_cast<std::size_t>(c)];
    const float* middleShares = map.middleShares[static_cast<std::size_t>(c)].data();
    const std::int64_t begin = ChunkBegin(map.pixels, c), end = ChunkBegin(map.pixels, c + 1);
    if (begin >= end) return;
    std::int64_t column = begin % width;
    const float* row = data + IIndex(d, d.startX, d.startY + static_cast<int>(begin / width));
    for (std::int64_t i = begin; i < end; ++i) {
      const std::uint32_t run = runs[i];
      if (run != 0) {
        const double value = row[column];
        const std::uint32_t count = run >> kCountShift;
        if (count == 0) {
          // A long footprint, the single pass's way.
          const LongFootprint& f = longs[(run & kBinMask) - 1];
          const double v = static_cast<float>(row[column] / f.divisor);
          const double counts = std::max(0.0, value);
          const double poissonVariance =
              counts / (static_cast<double>(f.divisor) * static_cast<double>(f.divisor));
          Spread(f.lower, f.upper, bins, [&](int bin, double share) {
            s[bin] += share * v;
            if (q) q[bin] += poisson ? share * share * poissonVariance : share * v * v;
          });
        } else {
          double* const t = s + (run & kBinMask);
          const double first = firstShares[i] * value;
          const double middleShare = count >= 3 ? *middleShares++ : 0.0;
          t[0] += first;
          if (count > 1) {
            const double middle = middleShare * value;
            for (std::uint32_t b = 1; b + 1 < count; ++b) t[b] += middle;
            t[count - 1] += lastShares[i] * value;
          }
          if (q && poisson) {
            // share^2 x count = fraction^2 x count / divisor^2: the corrected value's variance.
            const double counts = std::max(0.0, value);
            const double firstShare = firstShares[i];
            double* const u = q + (run & kBinMask);
            u[0] += firstShare * firstShare * counts;
            if (count > 1) {
              const double middle = middleShare * middleShare * counts;
              for (std::uint32_t b = 1; b + 1 < count; ++b) u[b] += middle;
              u[count - 1] += static_cast<double>(lastShares[i]) * lastShares[i] * counts;
            }
          } else if (q) {
            // share x value x (value / divisor) = fraction x (value / divisor)^2
            const double corrected =
                divisors ? static_cast<double>(static_cast<float>(row[column] / divisors[i]))
                         : value;
            double* const u = q + (run & kBinMask);
            u[0] += first * corrected;
            if (count > 1) {
              const double middle = middleShare * value * corrected;
              for (std::uint32_t b = 1; b + 1 < count; ++b) u[b] += middle;
              u[count - 1] += lastShares[i] * value * corrected;
            }
          }
        }
      }
      if (++column == width) {
        column = 0;
        row += dimX;
      }
    }
  });
  for (std::size_t l = 0; l < kPartials; ++l) {
    const double* s = partial.data() + l * bins;
    for (int b = 0; b < bins; ++b) sums[static_cast<std::size_t>(b)] += s[b];
    if (squares) {
      const double* q = partialSquares.data() + l * bins;
      for (int b = 0; b < bins; ++b) sumSquares[static_cast<std::size_t>(b)] += q[b];
    }
  }
  return true;
}


// ---- The cake's map: for every output bin the pixels that reach it and their shares.

struct CakeMap {
  bool valid = false;
  MapKey key;
  int azimuthBins = 0;
  std::vector<std::uint32_t> offsets;  // bins + 1: entries of bin b are [offsets[b], offsets[b + 1])
  std::vector<std::uint32_t> pixels;   // element index in the data array
  std::vector<float> shares;           // fraction / polarisation divisor
  std::vector<double> weights;         // per bin: the sum of the fractions
  double minimumDivisor = 1.7e38;
  std::int64_t entries = 0;
};

using CakeCache = Kept<CakeMap>;

CakeCache& TheCakeCache() {
  static CakeCache cache;
  return cache;
}

struct CakeEntry {
  std::uint32_t bin;
  std::uint32_t pixel;
  float share;
  float fraction;
};

// Spreads [lower, upper] (azimuth bin positions, possibly beyond 0 or n) over n bins that
// close into a circle: add(bin, fraction).
template <class Add>
inline void SpreadAround(double lower, double upper, int n, Add&& add) {
  const double span = upper - lower;
  if (!(span > 0.0)) {
    const auto k = static_cast<long long>(std::floor(lower));
    add(static_cast<int>(((k % n) + n) % n), 1.0);
    return;
  }
  const auto first = static_cast<long long>(std::floor(lower));
  const auto last = static_cast<long long>(std::floor(upper));
  for (long long k = first; k <= last; ++k) {
    const double overlap = std::min(upper, static_cast<double>(k + 1)) - std::max(lower, static_cast<double>(k));
    if (overlap > 0.0) add(static_cast<int>(((k % n) + n) % n), std::min(1.0, overlap / span));
  }
}

bool BuildCakeMap(const DataSet& d, const CakeParameters& cp, const MapKey& key, CakeMap& map) {
  const IntegrationParameters& p = cp.radial;
  Kernel k;
  SetKernel(d, p, k);
  k.sector = false;
  const unsigned char* mask = MaskInUse(d);
  const std::int64_t width = d.endX - d.startX + 1;
  const std::int64_t pixels = width * (d.endY - d.startY + 1);
  const int nAz = cp.azimuthBins;
  const std::int64_t bins2D = static_cast<std::int64_t>(p.bins) * nAz;
  const double azimuthStep = 2.0 * M_PI / nAz;
  std::vector<std::vector<CakeEntry>> chunks(kChunks);
  std::vector<double> partialMinimum(kChunks, 1.7e38);
  std::atomic<bool> failed{false};
  RunChunks(pixels, [&](int c) {
    std::vector<CakeEntry>& out = chunks[static_cast<std::size_t>(c)];
    std::vector<std::pair<int, float>> radial, around;
    double minimum = 1.7e38;
    const std::int64_t begin = ChunkBegin(pixels, c), end = ChunkBegin(pixels, c + 1);
    try {
      out.reserve(static_cast<std::size_t>((end - begin) * 4));
      ForEachPixelBins(k, d, mask, width, begin, end, minimum,
                       [&](std::int64_t, int x, int y, float lower, float upper, float divisor) {
        radial.clear();
        Spread(lower, upper, p.bins, [&](int bin, float f) { radial.emplace_back(bin, f); });
        if (radial.empty()) return true;
        const double g = (x + 0.5 - k.t.beamX) * k.t.pixelX;
        const double e = (y + 0.5 - k.t.beamY) * k.t.pixelY;
        const double rho = std::hypot(g, e);
        around.clear();
        if (rho <= k.halfWidth) {
          // The footprint holds the beam centre: every azimuth alike.
          for (int a = 0; a < nAz; ++a) around.emplace_back(a, static_cast<float>(1.0 / nAz));
        } else {
          const double centre = (std::atan2(e, g) + M_PI) / azimuthStep;
          const double half = std::atan(k.halfWidth / rho) / azimuthStep;
          SpreadAround(centre - half, centre + half, nAz,
                       [&](int a, double f) { around.emplace_back(a, static_cast<float>(f)); });
        }
        const auto element = static_cast<std::uint32_t>(IIndex(d, x, y));
        for (const auto& [a, fa] : around) {
          for (const auto& [r, fr] : radial) {
            const float fraction = fa * fr;
            out.push_back({static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(p.bins) +
                               static_cast<std::uint32_t>(r),
                           element, fraction / divisor, fraction});
          }
        }
        return true;
      });
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    partialMinimum[static_cast<std::size_t>(c)] = minimum;
  });
  if (failed) return false;
  std::int64_t total = 0;
  for (const auto& chunk : chunks) total += static_cast<std::int64_t>(chunk.size());
  if (total >= (std::int64_t{1} << 32)) return false;
  try {
    map = CakeMap();
    map.offsets.assign(static_cast<std::size_t>(bins2D) + 1, 0u);
    map.pixels.resize(static_cast<std::size_t>(total));
    map.shares.resize(static_cast<std::size_t>(total));
    map.weights.assign(static_cast<std::size_t>(bins2D), 0.0);
  } catch (const std::bad_alloc&) {
    map = CakeMap();
    return false;
  }
  // A counting sort by bin; within a bin the entries keep chunk and pixel order, so sums are
  // always added in the same order.
  for (const auto& chunk : chunks)
    for (const CakeEntry& entry : chunk) ++map.offsets[entry.bin + 1];
  for (std::int64_t b = 0; b < bins2D; ++b)
    map.offsets[static_cast<std::size_t>(b) + 1] += map.offsets[static_cast<std::size_t>(b)];
  std::vector<std::uint32_t> next(map.offsets.begin(), map.offsets.end() - 1);
  for (auto& chunk : chunks) {
    for (const CakeEntry& entry : chunk) {
      const std::uint32_t at = next[entry.bin]++;
      map.pixels[at] = entry.pixel;
      map.shares[at] = entry.share;
      map.weights[entry.bin] += entry.fraction;
    }
    std::vector<CakeEntry>().swap(chunk);  // give the memory back as we go
  }
  for (int c = 0; c < kChunks; ++c)
    map.minimumDivisor = std::min(map.minimumDivisor, partialMinimum[static_cast<std::size_t>(c)]);
  map.key = key;
  map.azimuthBins = nAz;
  map.entries = total;
  map.valid = true;
  return true;
}

}  // namespace

double MFootprintHalfWidth(const DataSet& d) {
  return (static_cast<double>(d.pixelSizeX) + d.pixelSizeY) / 2.0 * kFootprintFactor;
}

int MROIIntegrateSinglePass(const DataSet& data, const IntegrationParameters& p, DataSet& result,
                            int& status) {
  static constexpr IRoutine kR{"MROIIntegrate", "V0.9"};
  if (IBad(kR, status)) return kFalse;
  if (!CheckParameters(kR, data, p, result, status)) return kFalse;

  const bool squares = p.variances && !p.sumsOnly;
  IArray<double> sums, weights, sumSquares;
  if (!IAllocateMemory("MROIIntegrate: SUMS", p.bins, sums, status)) return kFalse;
  if (!IAllocateMemory("MROIIntegrate: WEIGHTS", p.bins, weights, status)) return kFalse;
  if (squares &&
      !IAllocateMemory("MROIIntegrate: SUMS_OF_SQUARES", p.bins, sumSquares, status)) {
    return kFalse;
  }
  std::fill_n(sums.get(), p.bins, 0.0);
  std::fill_n(weights.get(), p.bins, 0.0);
  if (squares) std::fill_n(sumSquares.get(), p.bins, 0.0);

  Kernel k;
  SetKernel(data, p, k);
  const unsigned char* mask = MaskInUse(data);
  const bool poisson = p.errorModel == kErrorsPoisson;
  double minimum = 1.7e38;
  for (int y = data.startY; y <= data.endY; ++y) {
    for (int x = data.startX; x <= data.endX; ++x) {
      if (Masked(data, mask, x, y)) continue;
      float lower = 0.0f, upper = 0.0f, divisor = 1.0f;
      if (!PixelBins(k, x, y, lower, upper, divisor)) continue;
      float value = data.data[IIndex(data, x, y)];
      if (k.polarisation) {
        value = value / divisor;
        minimum = std::min(minimum, static_cast<double>(divisor));
      }
      const double v = value;
      // Counting statistics: the corrected value's variance is count / divisor^2.
      const double counts = std::max(0.0, static_cast<double>(data.data[IIndex(data, x, y)]));
      const double poissonVariance = k.polarisation ? counts / (static_cast<double>(divisor) * divisor) : counts;
      Spread(lower, upper, p.bins, [&](int bin, double f) {
        sums[bin] += f * v;
        weights[bin] += f;
        if (squares) sumSquares[bin] += poisson ? f * f * poissonVariance : f * v * v;
      });
    }
  }
  Finish(data, p, sums.get(), weights.get(), squares ? sumSquares.get() : nullptr, minimum, result,
         status);
  return kTrue;
}

int MROIIntegrate(const DataSet& data, const IntegrationParameters& p, DataSet& result,
                  int& status) {
  static constexpr IRoutine kR{"MROIIntegrate", "V0.9"};
  if (IBad(kR, status)) return kFalse;
  if (!CheckParameters(kR, data, p, result, status)) return kFalse;

  const bool squares = p.variances && !p.sumsOnly;
  std::vector<double> sums, sumSquares, weights;
  double minimumDivisor = 0.0;
  bool done = false;
  {
    MapCache& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    const MapKey key = KeyOf(data, p);
    bool ready = cache.map.valid && cache.map.key == key;
    if (!ready) {
      ++cache.builds;
      ready = BuildMap(data, p, key, cache.map);
    }
    if (ready && ApplyMap(data, cache.map, p.bins, squares, p.errorModel == kErrorsPoisson, sums,
                          sumSquares)) {
      try {
        weights = cache.map.weights;
        minimumDivisor = cache.map.minimumDivisor;
        done = true;
      } catch (const std::bad_alloc&) {
      }
    }
  }
  // Without memory for the map the single pass does the same work.
  if (!done) return MROIIntegrateSinglePass(data, p, result, status);
  Finish(data, p, sums.data(), weights.data(), squares ? sumSquares.data() : nullptr,
         minimumDivisor, result, status);
  return kTrue;
}

int MROICake(const DataSet& data, const CakeParameters& cp, DataSet& result, int& status,
             std::vector<double>* weightsOut) {
  static constexpr IRoutine kR{"MROICake", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  const IntegrationParameters& p = cp.radial;
  if (cp.azimuthBins < 1 || cp.azimuthBins > 36000) return IFail(kR, kStatusIntRange1, status);
  const std::int64_t bins2D = static_cast<std::int64_t>(p.bins) * cp.azimuthBins;
  if (p.bins <= 0 || bins2D > (std::int64_t{1} << 28)) return IFail(kR, kStatusIntRange1, status);
  if (IElementCount(data) >= (std::size_t{1} << 32)) return IFail(kR, kStatusIntRange1, status);
  IntegrationParameters whole = p;
  whole.sector = kFalse;
  // The result is checked as a scan of bins x 1 by the shared checks, then as the cake.
  if (!CheckParameters(kR, data, whole, result, status)) return kFalse;
  if (result.dimY < cp.azimuthBins) return IFail(kR, kStatusNotAllocated, status);
  // Cake bins hold a pixel or two: only counting statistics give them a variance.
  const bool squares = p.variances && !p.sumsOnly && p.errorModel == kErrorsPoisson;
  if (squares && !result.variancesAllocated && !IAllocateVariances(result, status)) return kFalse;

  CakeCache& cache = TheCakeCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  MapKey key = KeyOf(data, whole);
  key.keepDivisors = cp.azimuthBins;  // the azimuth binning is part of the map
  if (!(cache.map.valid && cache.map.key == key)) {
    ++cache.builds;
    if (!BuildCakeMap(data, cp, key, cache.map)) {
      cache.map = CakeMap();
      return IFail(kR, kStatusMemory, status);
    }
  }
  const CakeMap& map = cache.map;
  const float* values = data.data.get();
  const int nAz = cp.azimuthBins;
  // Bins in a fixed partition; each bin is one sum in entry order: no partial sums at all.
  RunChunks(bins2D * 16, [&](int c) {
    const std::int64_t begin = ChunkBegin(bins2D, c), end = ChunkBegin(bins2D, c + 1);
    for (std::int64_t b = begin; b < end; ++b) {
      double sum = 0.0, square = 0.0;
      const std::uint32_t from = map.offsets[static_cast<std::size_t>(b)];
      const std::uint32_t to = map.offsets[static_cast<std::size_t>(b) + 1];
      for (std::uint32_t e = from; e < to; ++e) {
        const double v = values[map.pixels[e]];
        const double share = map.shares[e];
        sum += share * v;
        if (squares) square += share * share * std::max(0.0, v);
      }
      const int r = static_cast<int>(b % p.bins);
      double value = 0.0, variance = 0.0;
      BinValue(p, r, sum, map.weights[static_cast<std::size_t>(b)], square, squares, value,
               variance);
      result.data[IIndex(result, r, static_cast<int>(b / p.bins))] = static_cast<float>(value);
      if (squares) {
        result.variances[IIndex(result, r, static_cast<int>(b / p.bins))] =
            static_cast<float>(variance);
      }
    }
  });
  if (weightsOut) *weightsOut = map.weights;
  result.dataDefined = kTrue;
  result.numX = p.bins;
  result.numY = nAz;
  result.startX = result.startY = 0;
  result.endX = p.bins - 1;
  result.endY = nAz - 1;
  SetScanAxis(p, result);
  result.yAxisStart = static_cast<float>(-180.0 + 180.0 / nAz);
  result.pixelSizeY = static_cast<float>(360.0 / nAz);
  result.yLabel = "Azimuth (Degrees)";
  result.zLabel = "Intensity";
  result.variancesDefined = squares ? kTrue : kFalse;
  result.fileName = data.fileName;
  const char* kinds[] = {"Radial Distance", "2-Theta", "Q-Space", "D-Spacing"};
  ISetText(result.title, IFormat("%s: %s / Azimuth Cake", data.title.c_str(),
                                 kinds[std::clamp(p.scanType - kScanRadial, 0, 3)]));
  ReportPolarisation(p, map.minimumDivisor, status);
  return kTrue;
}

IntegrationCacheInfo MIntegrationCacheInfo() {
  MapCache& cache = Cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  IntegrationCacheInfo info;
  info.builds = cache.builds;
  if (cache.map.valid) {
    info.pixels = cache.map.pixels;
    const IntegrationMap& m = cache.map;
    std::size_t bytes = m.runs.capacity() * sizeof(std::uint32_t) +
                        (m.firstShare.capacity() + m.lastShare.capacity() + m.divisors.capacity()) *
                            sizeof(float) +
                        m.weights.capacity() * sizeof(double);
    for (const auto& longs : m.longFootprints) bytes += longs.capacity() * sizeof(LongFootprint);
    for (const auto& middles : m.middleShares) bytes += middles.capacity() * sizeof(float);
    info.bytes = static_cast<std::int64_t>(bytes);
  }
  CakeCache& cake = TheCakeCache();
  std::lock_guard<std::mutex> cakeLock(cake.mutex);
  info.cakeBuilds = cake.builds;
  if (cake.map.valid) {
    info.cakeBytes = static_cast<std::int64_t>(
        cake.map.offsets.capacity() * sizeof(std::uint32_t) +
        cake.map.pixels.capacity() * sizeof(std::uint32_t) +
        cake.map.shares.capacity() * sizeof(float) + cake.map.weights.capacity() * sizeof(double));
  }
  return info;
}

void MIntegrationCacheClear() {
  {
    MapCache& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.map = IntegrationMap();
  }
  CakeCache& cake = TheCakeCache();
  std::lock_guard<std::mutex> lock(cake.mutex);
  cake.map = CakeMap();
}

// ---- Projection.

void MProjectionCorners(float lineX1, float lineY1, float lineX2, float lineY2, float widthX1,
                        float widthY1, float widthX2, float widthY2, float x[4], float y[4]) {
  const double dx = static_cast<double>(lineX2) - lineX1;
  const double dy = static_cast<double>(lineY2) - lineY1;
  const double length2 = dx * dx + dy * dy;
  auto offset = [&](double px, double py, double& ox, double& oy) {
    // The perpendicular from the point to the line; a line of no length has no direction,
    // and the point's own offset from its start is used.
    double t = 0.0;
    if (length2 > 0.0) t = ((px - lineX1) * dx + (py - lineY1) * dy) / length2;
    ox = px - (lineX1 + t * dx);
    oy = py - (lineY1 + t * dy);
  };
  double ox1 = 0, oy1 = 0, ox2 = 0, oy2 = 0;
  offset(widthX1, widthY1, ox1, oy1);
  offset(widthX2, widthY2, ox2, oy2);
  x[0] = static_cast<float>(lineX1 + ox1);
  y[0] = static_cast<float>(lineY1 + oy1);
  x[1] = static_cast<float>(lineX2 + ox1);
  y[1] = static_cast<float>(lineY2 + oy1);
  x[2] = static_cast<float>(lineX2 + ox2);
  y[2] = static_cast<float>(lineY2 + oy2);
  x[3] = static_cast<float>(lineX1 + ox2);
  y[3] = static_cast<float>(lineY1 + oy2);
}

int MProjection(const DataSet& data, const ProjectionParameters& p, const float x[4],
                const float y[4], DataSet& result, int& status) {
  static constexpr IRoutine kR{"MProjection", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  if (p.bins <= 0) return IFail(kR, kStatusIntRange1, status);
  if (!(p.binWidth > 0.0f) || !std::isfinite(p.binWidth)) {
    return IFail(kR, kStatusRealRange1, status);
  }
  for (int i = 0; i < 4; ++i) {
    if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return IFail(kR, kStatusRealRange1, status);
  }
  if (!ICheckData("MProjection:", data, status)) return kFalse;
  if (!data.dataDefined || !data.data) return IFail(kR, kStatusNotAllocated, status);
  if (&data == &result) return IFail(kR, kStatusOther, status);
  if (!result.dataAllocated || !result.data || result.dimX < p.bins) {
    return IFail(kR, kStatusNotAllocated, status);
  }

  IArray<double> sums, weights;
  if (!IAllocateMemory("MProjection: SUMS", p.bins, sums, status)) return kFalse;
  if (!IAllocateMemory("MProjection: WEIGHTS", p.bins, weights, status)) return kFalse;
  std::fill_n(sums.get(), p.bins, 0.0);
  std::fill_n(weights.get(), p.bins, 0.0);

  // The projection line in pixel coordinates and its unit direction.
  const double lx = static_cast<double>(x[1]) - x[0];
  const double ly = static_cast<double>(y[1]) - y[0];
  const double lineLength = std::sqrt(lx * lx + ly * ly);
  const double ux = lineLength > 0.0 ? lx / lineLength : 1.0;
  const double uy = lineLength > 0.0 ? ly / lineLength : 0.0;
  const double px = data.pixelSizeX, py = data.pixelSizeY;
  const double half = MFootprintHalfWidth(data);
  const double invWidth = 1.0 / static_cast<double>(p.binWidth);

  const double lowY = std::min({static_cast<double>(y[0]), static_cast<double>(y[1]),
                                static_cast<double>(y[2]), static_cast<double>(y[3])});
  const double highY = std::max({static_cast<double>(y[0]), static_cast<double>(y[1]),
                                 static_cast<double>(y[2]), static_cast<double>(y[3])});
  // Rows clipped to the data before any conversion to an index.
  const int firstRow = static_cast<int>(std::clamp(std::floor(lowY), 0.0, data.numY - 1.0));
  const int lastRow = static_cast<int>(std::clamp(std::floor(highY), 0.0, data.numY - 1.0));
  for (int row = firstRow; row <= lastRow; ++row) {
    const double yc = row + 0.5;
    double xmin = kInfinity, xmax = -kInfinity;
    for (int e = 0; e < 4; ++e) {
      const double x1 = x[e], y1 = y[e], x2 = x[(e + 1) % 4], y2 = y[(e + 1) % 4];
      if (std::fabs(y2 - y1) <= 0.0001) {
        // A horizontal edge bounds the row only when the row's centre line runs along it.
        if (std::fabs(yc - y1) <= 0.0001) {
          xmin = std::min({xmin, x1, x2});
          xmax = std::max({xmax, x1, x2});
        }
        continue;
      }
      if (yc < std::min(y1, y2) || yc > std::max(y1, y2)) continue;
      const double xi = x1 + (yc - y1) * (x2 - x1) / (y2 - y1);
      xmin = std::min(xmin, xi);
      xmax = std::max(xmax, xi);
    }
    if (!(xmin <= xmax)) continue;
    // Pixels whose centre lies inside the region.
    const double from = std::ceil(xmin - 0.5), to = std::floor(xmax - 0.5);
    if (to < 0.0 || from > data.numX - 1.0 || from > to) continue;
    const int firstColumn = static_cast<int>(std::max(0.0, from));
    const int lastColumn = static_cast<int>(std::min(data.numX - 1.0, to));
    for (int column = firstColumn; column <= lastColumn; ++column) {
      // The foot of the pixel centre on the line, its signed distance from corner 0 in metres.
      const double t = (column + 0.5 - x[0]) * ux + (yc - y[0]) * uy;
      const double dx = t * ux * px, dy = t * uy * py;
      const double s = std::copysign(std::sqrt(dx * dx + dy * dy), t);
      const double v = data.data[IIndex(data, column, row)];
      const auto lower = static_cast<float>((s - half) * invWidth);
      const auto upper = static_cast<float>((s + half) * invWidth);
      Spread(lower, upper, p.bins, [&](int bin, double f) {
        sums[bin] += f * v;
        weights[bin] += f;
      });
    }
  }

  for (int i = 0; i < p.bins; ++i) {
    result.data[i] = weights[i] > 0.0 ? static_cast<float>(sums[i] / weights[i]) : 0.0f;
  }
  result.dataDefined = kTrue;
  result.numX = p.bins;
  result.numY = 1;
  result.startX = 0;
  result.endX = p.bins - 1;
  result.startY = result.endY = 0;
  result.xAxisInPixels = kFalse;
  result.xAxisStart = 0.5f * p.binWidth;  // bin centres along the line
  result.pixelSizeX = p.binWidth;
  result.xLabel = "Projection Distance (metres)";
  result.zLabel = "Intensity";
  result.fileName = data.fileName;
  ISetText(result.title, IFormat("%s: Region Projected onto 1-D Line", data.title.c_str()));
  return kTrue;
}
