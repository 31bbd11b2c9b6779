#include "maths/MRingAuto.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/status.h"
#include "data/memory.h"
#include "maths/MRingFit.h"

namespace {

// The binned copy that votes for the centre has about this many cells along its longer side.
constexpr int kBinnedSide = 300;
// Azimuthal segments that decide whether a ring runs round the centre.
constexpr int kSegments = 36;
// A ring is seen in at least this share of the segments that hold pixels of it.
constexpr double kRoundShare = 0.6;
constexpr int kRingPoints = 200;
constexpr int kRingSegments = 180;
// The strongest peaks of the profile that are matched against the calibrant, at most.
constexpr int kMostPeaks = 40;

// atan2 to about 1e-5 radians, for sorting pixels into azimuthal segments: a quarter of the
// time of the exact one, which the profiles' millions of pixels would otherwise spend.
double QuickAngle(double y, double x) {
  const double ax = std::fabs(x), ay = std::fabs(y);
  const double most = std::max(ax, ay);
  if (!(most > 0.0)) return 0.0;
  const double a = std::min(ax, ay) / most, s = a * a;
  double r = ((-0.0464964749 * s + 0.15931422) * s - 0.327622764) * s * a + a;
  if (ay > ax) r = M_PI / 2.0 - r;
  if (x < 0.0) r = M_PI - r;
  return y < 0.0 ? -r : r;
}

bool Usable(const DataSet& d, const unsigned char* mask, int ix, int iy, float& value) {
  const std::size_t index = IIndex(d, ix, iy);
  if (mask && mask[index]) return false;
  value = d.data[index];
  return std::isfinite(value) && value >= 0.0f;
}

// The centre (pixel coordinates) most voted for by the gradients of a binned copy of the
// image. False when nothing in the image changes.
bool VoteForCentre(const DataSet& d, const unsigned char* mask, int x0, int y0, int x1, int y1,
                   double& centreX, double& centreY) {
  const int width = x1 - x0 + 1, height = y1 - y0 + 1;
  const int bin = std::max(1, (std::max(width, height) + kBinnedSide - 1) / kBinnedSide);
  const int nx = (width + bin - 1) / bin, ny = (height + bin - 1) / bin;
  if (nx < 8 || ny < 8) return false;
  std::vector<double> sum(static_cast<std::size_t>(nx) * ny, 0.0);
  std::vector<int> count(sum.size(), 0);
  for (int iy = y0; iy <= y1; ++iy) {
    const std::size_t row = static_cast<std::size_t>((iy - y0) / bin) * nx;
    for (int ix = x0; ix <= x1; ++ix) {
      float v = 0.0f;
      if (!Usable(d, mask, ix, iy, v)) continue;
      const std::size_t cell = row + static_cast<std::size_t>((ix - x0) / bin);
      sum[cell] += v;
      ++count[cell];
    }
  }
  std::vector<float> binned(sum.size(), 0.0f);
  std::vector<unsigned char> valid(sum.size(), 0);
  std::vector<float> values;
  values.reserve(sum.size());
  const int half = std::max(1, bin * bin / 2);
  for (std::size_t i = 0; i < sum.size(); ++i) {
    if (count[i] < half) continue;
    binned[i] = static_cast<float>(sum[i] / count[i]);
    valid[i] = 1;
    values.push_back(binned[i]);
  }
  if (values.size() < 64) return false;
  // Hot pixels and the direct beam would take every vote: the brightest half percent is cut.
  const std::size_t at = values.size() * 995 / 1000;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                   values.end());
  const float ceiling = values[at];
  for (std::size_t i = 0; i < binned.size(); ++i) binned[i] = std::min(binned[i], ceiling);

  // Sobel gradients where the whole 3 x 3 neighbourhood is valid (edges of gaps and of the
  // image would vote along their own lines).
  struct Gradient {
    int x, y;
    float gx, gy, magnitude;
  };
  std::vector<Gradient> gradients;
  gradients.reserve(sum.size());
  for (int y = 1; y + 1 < ny; ++y) {
    for (int x = 1; x + 1 < nx; ++x) {
      bool all = true;
      for (int dy = -1; dy <= 1 && all; ++dy)
        for (int dx = -1; dx <= 1 && all; ++dx)
          all = valid[static_cast<std::size_t>(y + dy) * nx + x + dx] != 0;
      if (!all) continue;
      auto b = [&](int dx, int dy) {
        return binned[static_cast<std::size_t>(y + dy) * nx + x + dx];
      };
      const float gx = (b(1, -1) + 2.0f * b(1, 0) + b(1, 1)) - (b(-1, -1) + 2.0f * b(-1, 0) + b(-1, 1));
      const float gy = (b(-1, 1) + 2.0f * b(0, 1) + b(1, 1)) - (b(-1, -1) + 2.0f * b(0, -1) + b(1, -1));
      const float m = std::hypot(gx, gy);
      if (m > 0.0f) gradients.push_back({x, y, gx / m, gy / m, m});
    }
  }
  if (gradients.size() < 32) return false;
  // The steepest sixth votes.
  std::vector<float> magnitudes(gradients.size());
  for (std::size_t i = 0; i < gradients.size(); ++i) magnitudes[i] = gradients[i].magnitude;
  const std::size_t cut = magnitudes.size() * 5 / 6;
  std::nth_element(magnitudes.begin(), magnitudes.begin() + static_cast<std::ptrdiff_t>(cut),
                   magnitudes.end());
  const float threshold = magnitudes[cut];

  // The accumulator reaches a quarter of the image beyond each side: a centre just off the
  // detector is still found.
  const int margin = std::max(nx, ny) / 4;
  const int ax = nx + 2 * margin, ay = ny + 2 * margin;
  std::vector<float> votes(static_cast<std::size_t>(ax) * ay, 0.0f);
  const int reach = static_cast<int>(std::hypot(ax, ay)) + 1;
  for (const Gradient& g : gradients) {
    if (g.magnitude < threshold) continue;
    const double px = g.x + margin + 0.5, py = g.y + margin + 0.5;
    // Along the line both ways, from where it enters the accumulator to where it leaves.
    double low = -reach, high = reach;
    auto clip = [&](double p, double dir, double size) {
      if (std::fabs(dir) < 1.0e-9) return;
      double t0 = (0.0 - p) / dir, t1 = (size - p) / dir;
      if (t0 > t1) std::swap(t0, t1);
      low = std::max(low, t0);
      high = std::min(high, t1);
    };
    clip(px, g.gx, ax);
    clip(py, g.gy, ay);
    for (int t = static_cast<int>(std::ceil(low)); t <= static_cast<int>(std::floor(high)); ++t) {
      if (t > -2 && t < 2) continue;  // a line passes through its own cell
      const int vx = static_cast<int>(px + t * g.gx), vy = static_cast<int>(py + t * g.gy);
      if (vx < 0 || vy < 0 || vx >= ax || vy >= ay) continue;
      votes[static_cast<std::size_t>(vy) * ax + vx] += 1.0f;
    }
  }
  // The most voted 3 x 3 block, and the centre of its votes.
  double best = 0.0;
  int bx = -1, by = -1;
  for (int y = 1; y + 1 < ay; ++y) {
    for (int x = 1; x + 1 < ax; ++x) {
      double s = 0.0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) s += votes[static_cast<std::size_t>(y + dy) * ax + x + dx];
      if (s > best) best = s, bx = x, by = y;
    }
  }
  if (bx < 0) return false;
  double sx = 0.0, sy = 0.0, sw = 0.0;
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      const double w = votes[static_cast<std::size_t>(by + dy) * ax + bx + dx];
      sx += w * (bx + dx + 0.5);
      sy += w * (by + dy + 0.5);
      sw += w;
    }
  }
  centreX = x0 + (sx / sw - margin) * bin;
  centreY = y0 + (sy / sw - margin) * bin;
  return true;
}

// The centre within `reach` pixels of (cx, cy), on a grid of `step`, about which the radial
// profile of the pixels within `disc` pixels of (cx, cy) (every `stride`-th pixel each way)
// is sharpest: rings blur in the profile about any other centre. Sharpness is the share of
// the pixels' spread that the profile's bins explain (the sum over the bins of sum^2 / n).
// The bins are `step` wide: a ring narrower than the grid's step stays within a bin or two
// about the grid point nearest the true centre, and the coarse search cannot step over it.
void SharpestCentre(const DataSet& d, const unsigned char* mask, double disc, double reach,
                    double step, int stride, double& cx, double& cy) {
  struct Pixel {
    float x, y, value;
  };
  std::vector<Pixel> pixels;
  const int x0 = std::max(d.startX, static_cast<int>(cx - disc));
  const int x1 = std::min(d.endX, static_cast<int>(cx + disc));
  const int y0 = std::max(d.startY, static_cast<int>(cy - disc));
  const int y1 = std::min(d.endY, static_cast<int>(cy + disc));
  for (int iy = y0; iy <= y1; iy += stride) {
    for (int ix = x0; ix <= x1; ix += stride) {
      float v = 0.0f;
      const double x = ix + 0.5 - cx, y = iy + 0.5 - cy;
      if (x * x + y * y > disc * disc || !Usable(d, mask, ix, iy, v)) continue;
      pixels.push_back({static_cast<float>(ix + 0.5), static_cast<float>(iy + 0.5), v});
    }
  }
  if (pixels.size() < 256) return;
  // Hot pixels would decide alone: values are cut at the 99.5th percentile.
  std::vector<float> values(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) values[i] = pixels[i].value;
  const std::size_t at = values.size() * 995 / 1000;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  for (Pixel& p : pixels) p.value = std::min(p.value, values[at]);
  // A corner of the grid is reach * sqrt 2 away.
  const int bins = static_cast<int>((disc + 1.5 * reach) / step) + 2;
  std::vector<double> sum(static_cast<std::size_t>(bins)), count(sum.size());
  const int steps = static_cast<int>(reach / step);
  double bestScore = -1.0, bestX = cx, bestY = cy;
  for (int j = -steps; j <= steps; ++j) {
    for (int i = -steps; i <= steps; ++i) {
      const double ox = cx + i * step, oy = cy + j * step;
      std::fill(sum.begin(), sum.end(), 0.0);
      std::fill(count.begin(), count.end(), 0.0);
      for (const Pixel& p : pixels) {
        const double x = p.x - ox, y = p.y - oy;
        const std::size_t b =
            std::min(sum.size() - 1, static_cast<std::size_t>(std::sqrt(x * x + y * y) / step));
        sum[b] += p.value;
        count[b] += 1.0;
      }
      double score = 0.0;
      for (std::size_t b = 0; b < sum.size(); ++b)
        if (count[b] > 0.0) score += sum[b] * sum[b] / count[b];
      if (score > bestScore) bestScore = score, bestX = ox, bestY = oy;
    }
  }
  cx = bestX;
  cy = bestY;
}

// Intensities about a centre by radius (bins of one pixel) and azimuthal segment.
struct Profile {
  int bins = 0;
  std::vector<double> sum, count;          // [segment * bins + bin]
  std::vector<double> mean, pixels;        // whole rings: mean per bin, pixels per bin
};

void MakeProfile(const DataSet& d, const unsigned char* mask, double cx, double cy,
                 Profile& p) {
  const double far = std::max(std::hypot(std::max(cx - d.startX, d.endX + 1 - cx),
                                         std::max(cy - d.startY, d.endY + 1 - cy)),
                              1.0);
  p.bins = static_cast<int>(far) + 2;
  const std::size_t cells = static_cast<std::size_t>(kSegments) * p.bins;
  p.sum.assign(cells, 0.0);
  p.count.assign(cells, 0.0);
  const double perRadian = kSegments / (2.0 * M_PI);
  for (int iy = d.startY; iy <= d.endY; ++iy) {
    const double y = iy + 0.5 - cy;
    for (int ix = d.startX; ix <= d.endX; ++ix) {
      float v = 0.0f;
      if (!Usable(d, mask, ix, iy, v)) continue;
      const double x = ix + 0.5 - cx;
      const int bin = static_cast<int>(std::sqrt(x * x + y * y));
      int segment = static_cast<int>((QuickAngle(y, x) + M_PI) * perRadian);
      segment = std::clamp(segment, 0, kSegments - 1);
      const std::size_t cell = static_cast<std::size_t>(segment) * p.bins + bin;
      p.sum[cell] += v;
      p.count[cell] += 1.0;
    }
  }
  p.mean.assign(static_cast<std::size_t>(p.bins), NAN);
  p.pixels.assign(static_cast<std::size_t>(p.bins), 0.0);
  for (int b = 0; b < p.bins; ++b) {
    double s = 0.0, n = 0.0;
    for (int k = 0; k < kSegments; ++k) {
      s += p.sum[static_cast<std::size_t>(k) * p.bins + b];
      n += p.count[static_cast<std::size_t>(k) * p.bins + b];
    }
    p.pixels[static_cast<std::size_t>(b)] = n;
    if (n >= 8.0) p.mean[static_cast<std::size_t>(b)] = s / n;
  }
}

struct FoundPeak {
  double radius = 0.0;  // pixels
  double height = 0.0;  // above the background
  double halfWidth = 1.0;
  int bin = 0;
};

// The significant peaks of the profile: local maxima standing out of the lowest level about
// them by more than five times the scatter of the profile there.
std::vector<FoundPeak> FindPeaks(const Profile& p) {
  const int n = p.bins;
  const auto& m = p.mean;
  auto ok = [&](int i) { return i >= 0 && i < n && std::isfinite(m[static_cast<std::size_t>(i)]); };
  // The scatter of one pixel: from the profile's second differences, each scaled by the
  // square root of its bin's pixels, the median absolute value.
  std::vector<double> scatter;
  for (int i = 1; i + 1 < n; ++i) {
    if (!ok(i - 1) || !ok(i) || !ok(i + 1)) continue;
    const double second = m[static_cast<std::size_t>(i)] -
                          0.5 * (m[static_cast<std::size_t>(i - 1)] + m[static_cast<std::size_t>(i + 1)]);
    scatter.push_back(std::fabs(second) * std::sqrt(p.pixels[static_cast<std::size_t>(i)] / 1.5));
  }
  std::vector<FoundPeak> peaks;
  if (scatter.size() < 16) return peaks;
  std::nth_element(scatter.begin(), scatter.begin() + static_cast<std::ptrdiff_t>(scatter.size() / 2),
                   scatter.end());
  const double sigma = 1.4826 * scatter[scatter.size() / 2];
  double lowest = INFINITY, highest = -INFINITY;
  for (int i = 0; i < n; ++i) {
    if (!ok(i)) continue;
    lowest = std::min(lowest, m[static_cast<std::size_t>(i)]);
    highest = std::max(highest, m[static_cast<std::size_t>(i)]);
  }
  const double range = highest - lowest;
  if (!(range > 0.0)) return peaks;
  constexpr int kLocal = 2, kBackground = 15;
  for (int i = 3; i < n; ++i) {
    if (!ok(i)) continue;
    const double v = m[static_cast<std::size_t>(i)];
    bool top = true;
    for (int j = i - kLocal; j <= i + kLocal && top; ++j) {
      if (j == i || !ok(j)) continue;
      top = j < i ? v > m[static_cast<std::size_t>(j)] : v >= m[static_cast<std::size_t>(j)];
    }
    if (!top) continue;
    double left = INFINITY, right = INFINITY;
    for (int j = i - kBackground; j < i; ++j)
      if (ok(j)) left = std::min(left, m[static_cast<std::size_t>(j)]);
    for (int j = i + 1; j <= i + kBackground; ++j)
      if (ok(j)) right = std::min(right, m[static_cast<std::size_t>(j)]);
    if (!std::isfinite(left) || !std::isfinite(right)) continue;
    const double background = std::max(left, right);
    const double height = v - background;
    const double noise = sigma / std::sqrt(std::max(p.pixels[static_cast<std::size_t>(i)], 1.0));
    if (!(height > 5.0 * noise) || !(height > 1.0e-3 * range)) continue;
    // Half width at half height, and the centre of the part above the background.
    int lo = i, hi = i;
    while (lo - 1 >= 0 && ok(lo - 1) && m[static_cast<std::size_t>(lo - 1)] - background > 0.5 * height && i - lo < kBackground) --lo;
    while (hi + 1 < n && ok(hi + 1) && m[static_cast<std::size_t>(hi + 1)] - background > 0.5 * height && hi - i < kBackground) ++hi;
    double s = 0.0, w = 0.0;
    for (int j = lo; j <= hi; ++j) {
      const double e = m[static_cast<std::size_t>(j)] - background;
      s += e * (j + 0.5);
      w += e;
    }
    FoundPeak f;
    f.radius = w > 0.0 ? s / w : i + 0.5;
    f.height = height;
    f.halfWidth = std::max(1.0, 0.5 * (hi - lo + 1));
    f.bin = i;
    peaks.push_back(f);
  }
  if (static_cast<int>(peaks.size()) > kMostPeaks) {
    std::nth_element(peaks.begin(), peaks.begin() + kMostPeaks, peaks.end(),
                     [](const FoundPeak& a, const FoundPeak& b) { return a.height > b.height; });
    peaks.resize(kMostPeaks);
    std::sort(peaks.begin(), peaks.end(),
              [](const FoundPeak& a, const FoundPeak& b) { return a.radius < b.radius; });
  }
  return peaks;
}

// Whether the ring at radius r (pixels) runs round the centre: in most segments that hold
// its pixels it stands above the lower of its two flanks by a third of its height.
bool RunsRound(const Profile& p, const FoundPeak& f) {
  const int core = static_cast<int>(std::ceil(f.halfWidth));
  const int from = f.bin - core, to = f.bin + core;
  const int gap = core + 1, flank = std::max(2, core);
  if (from - gap - flank < 0 || to + gap + flank >= p.bins) return false;
  int seen = 0, held = 0;
  for (int k = 0; k < kSegments; ++k) {
    auto mean = [&](int a, int b, double& value) {
      double s = 0.0, n = 0.0;
      for (int i = a; i <= b; ++i) {
        s += p.sum[static_cast<std::size_t>(k) * p.bins + i];
        n += p.count[static_cast<std::size_t>(k) * p.bins + i];
      }
      if (n < 3.0) return false;
      value = s / n;
      return true;
    };
    double ring = 0.0, inner = 0.0, outer = 0.0;
    const bool haveInner = mean(from - gap - flank + 1, from - gap, inner);
    const bool haveOuter = mean(to + gap, to + gap + flank - 1, outer);
    if (!mean(from, to, ring) || (!haveInner && !haveOuter)) continue;
    ++held;
    const double base = haveInner && haveOuter ? std::min(inner, outer) : (haveInner ? inner : outer);
    if (ring - base > f.height / 3.0) ++seen;
  }
  return held >= 6 && seen >= kRoundShare * held;
}

struct Match {
  double distance = 0.0;   // in pixels of radius per unit tan 2-theta
  double score = -INFINITY;
  std::vector<int> peakOf; // for each distinct ring, the peak matched to it (or -1)
};

// The distance (as radius per tan 2-theta, pixels) that puts most rings of the calibrant on
// the peaks.
Match MatchRings(const std::vector<FoundPeak>& peaks, const std::vector<double>& tangents,
                 double inside, double hint, double relative, double absolute) {
  Match best;
  if (peaks.empty()) return best;
  const double last = peaks.back().radius;
  // On a tilted detector the profile about one centre blurs and shifts the wider rings
  // (by a few percent of their radius at 2-theta 30 degrees and a tilt of 5): what the
  // inner rings say weighs most. Full weight up to the fourth peak, then falling as 1 / r^2.
  const double innermost = peaks[std::min<std::size_t>(3, peaks.size() - 1)].radius;
  auto weight = [&](double r) { return r <= innermost ? 1.0 : (innermost * innermost) / (r * r); };
  auto evaluate = [&](double scale, Match& m) {
    m.distance = scale;
    m.peakOf.assign(tangents.size(), -1);
    int matched = 0;
    double score = 0.0;
    std::vector<char> used(peaks.size(), 0);
    for (std::size_t k = 0; k < tangents.size(); ++k) {
      const double r = scale * tangents[k];
      const double tolerance = absolute + relative * r;
      int nearest = -1;
      double gap = tolerance;
      for (std::size_t i = 0; i < peaks.size(); ++i) {
        const double e = std::fabs(peaks[i].radius - r);
        if (e <= gap) gap = e, nearest = static_cast<int>(i);
      }
      if (nearest >= 0) {
        m.peakOf[k] = nearest;
        if (!used[static_cast<std::size_t>(nearest)]) {
          ++matched;
          score += weight(peaks[static_cast<std::size_t>(nearest)].radius);
        }
        used[static_cast<std::size_t>(nearest)] = 1;
      } else if (r > inside && r < last) {
        // A ring the profile shows nothing of counts against the reading, unless another
        // ring lies so close that the two make one peak.
        const double before = k > 0 ? r - scale * tangents[k - 1] : INFINITY;
        const double after = k + 1 < tangents.size() ? scale * tangents[k + 1] - r : INFINITY;
        if (std::min(before, after) > 2.0 * tolerance) score -= 0.5 * weight(r);
      }
    }
    for (std::size_t i = 0; i < peaks.size(); ++i) {
      if (!used[i]) score -= 0.3 * weight(peaks[i].radius);
    }
    m.score = score;
    return matched;
  };
  for (const FoundPeak& peak : peaks) {
    for (double t : tangents) {
      Match m;
      if (evaluate(peak.radius / t, m) < 2) continue;
      // The scale that fits the matched peaks best, matched again.
      double st = 0.0, tt = 0.0;
      for (std::size_t k = 0; k < tangents.size(); ++k) {
        if (m.peakOf[k] < 0) continue;
        const double r = peaks[static_cast<std::size_t>(m.peakOf[k])].radius;
        st += weight(r) * r * tangents[k];
        tt += weight(r) * tangents[k] * tangents[k];
      }
      evaluate(st / tt, m);
      const bool better =
          m.score > best.score + 1.0e-9 ||
          (std::fabs(m.score - best.score) <= 1.0e-9 && hint > 0.0 &&
           std::fabs(std::log(m.distance / hint)) < std::fabs(std::log(best.distance / hint)));
      if (better) best = m;
    }
  }
  return best;
}

}  // namespace

int MFindPowderStart(const DataSet& d, double wavelength, int rings, const float dSpacings[],
                     double distanceHint, PowderStart& start, int& status) {
  static constexpr IRoutine kR{"MFindPowderStart", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  start = PowderStart{};
  if (rings < 1 || !dSpacings) return IFail(kR, kStatusIntRange1, status);
  if (!d.dataDefined || !d.data) return IFail(kR, kStatusNotAllocated, status);
  if (d.startX < 0 || d.startY < 0 || d.endX >= d.numX || d.endY >= d.numY ||
      d.endX < d.startX || d.endY < d.startY) {
    return IFail(kR, kStatusROI1, status);
  }
  const double px = d.pixelSizeX, py = d.pixelSizeY;
  if (!(px > 0.0) || !(py > 0.0) || !(wavelength > 0.0)) {
    start.reason = "the wavelength and the pixel sizes must be known";
    return kFalse;
  }
  const double pixel = 0.5 * (px + py);
  const unsigned char* mask = (d.maskInUse && d.maskAllocated && d.mask) ? d.mask.get() : nullptr;

  // The distinct rings the wavelength reaches (below 2-theta 90 degrees), innermost first.
  std::vector<double> tangents;
  std::vector<int> ringOf;  // the first table ring of each distinct one
  {
    std::vector<std::pair<double, int>> all;
    for (int k = 0; k < rings; ++k) {
      const double sine = wavelength / (2.0 * static_cast<double>(dSpacings[k]));
      if (!(dSpacings[k] > 0.0f) || !(sine > 0.0) || !(sine < std::sin(M_PI / 4.0))) continue;
      all.push_back({std::tan(2.0 * std::asin(sine)), k});
    }
    std::stable_sort(all.begin(), all.end());
    for (const auto& [t, k] : all) {
      if (!tangents.empty() && t - tangents.back() < 1.0e-7 * t) continue;
      tangents.push_back(t);
      ringOf.push_back(k);
    }
  }
  if (tangents.empty()) {
    start.reason = "the wavelength reaches no ring of the calibrant";
    return kFalse;
  }
  const int needed = std::min(3, static_cast<int>(tangents.size()));

  double cx = 0.0, cy = 0.0;
  if (!VoteForCentre(d, mask, d.startX, d.startY, d.endX, d.endY, cx, cy)) {
    start.reason = "the image shows no rings";
    return kFalse;
  }
  // On a tilted detector the normals of a ring miss the beam by more the wider the ring
  // (by tens of pixels at 2-theta 30 degrees and a tilt of 3): the vote is taken again
  // over the inner rings only, a quarter of the image either side of the first centre.
  for (int again = 0; again < 2; ++again) {
    const int reach = std::max(d.endX - d.startX, d.endY - d.startY) / 4 + 1;
    const int ix = static_cast<int>(cx), iy = static_cast<int>(cy);
    const int x0 = std::max(d.startX, ix - reach), x1 = std::min(d.endX, ix + reach);
    const int y0 = std::max(d.startY, iy - reach), y1 = std::min(d.endY, iy + reach);
    double nx = 0.0, ny = 0.0;
    if (x1 - x0 < 32 || y1 - y0 < 32 || !VoteForCentre(d, mask, x0, y0, x1, y1, nx, ny)) break;
    cx = nx;
    cy = ny;
  }
  // Rings of a few pixels' width leave the vote a few pixels out (and more where a mask
  // leaves part of each ring): the centre about which the inner rings' profile is sharpest,
  // searched 20 pixels round, then 4 pixels round to the pixel.
  {
    const double disc = std::max(d.endX - d.startX, d.endY - d.startY) / 3.0 + 1.0;
    // About 60 000 and 120 000 pixels of the disc take part, whatever the image's size.
    const double area = M_PI * disc * disc;
    SharpestCentre(d, mask, disc, 20.0, 4.0,
                   std::max(2, static_cast<int>(std::ceil(std::sqrt(area / 6.0e4)))), cx, cy);
    SharpestCentre(d, mask, disc, 4.0, 1.0,
                   std::max(1, static_cast<int>(std::ceil(std::sqrt(area / 1.2e5)))), cx, cy);
  }
  const double hint = distanceHint > 0.0 ? distanceHint / pixel : 0.0;

  Profile profile;
  Match match;
  std::vector<FoundPeak> peaks;
  // Twice: about the voted centre, then about the centre of the rings found.
  for (int pass = 0; pass < 2; ++pass) {
    MakeProfile(d, mask, cx, cy, profile);
    peaks = FindPeaks(profile);
    // Rings are looked for from the first radius the profile holds data at.
    double inside = 0.0;
    for (int b = 4; b < profile.bins; ++b) {
      if (std::isfinite(profile.mean[static_cast<std::size_t>(b)])) {
        inside = b + 1.0;
        break;
      }
    }
    match = pass == 0 ? MatchRings(peaks, tangents, inside, hint, 0.01, 3.0)
                      : MatchRings(peaks, tangents, inside, hint, 0.004, 1.5);
    int matched = 0;
    for (int q : match.peakOf) matched += q >= 0 ? 1 : 0;
    if (matched < needed) {
      start.reason = peaks.empty() ? "the image shows no rings"
                                   : "no rings match the calibrant's d-spacings";
      return kFalse;
    }
    if (pass == 1) break;
    // The centre of the best ring found about the voted centre: the matched ring with the
    // most points round it.
    int bestPoints = 0;
    float bestX = 0.0f, bestY = 0.0f;
    std::vector<float> x(kRingPoints), y(kRingPoints);
    for (std::size_t k = 0; k < tangents.size(); ++k) {
      if (match.peakOf[k] < 0) continue;
      const FoundPeak& f = peaks[static_cast<std::size_t>(match.peakOf[k])];
      const double limit = std::max(4.0, 2.5 * f.halfWidth + 2.0);
      if (f.radius < 2.0 * limit) continue;
      int n = 0;
      if (!LVFindCircleCoordinates(d, static_cast<float>(cx * px), static_cast<float>(cy * py),
                                   static_cast<float>(f.radius * pixel),
                                   static_cast<float>(limit * pixel), kRingSegments, kRingPoints,
                                   n, x.data(), y.data(), status)) {
        return kFalse;
      }
      if (n < 12 || n <= bestPoints) continue;
      float fx = static_cast<float>(cx * px), fy = static_cast<float>(cy * py);
      float fr = static_cast<float>(f.radius * pixel), rms = 0.0f;
      if (!MFitCircle(kRingPoints, n, x.data(), y.data(), fx, fy, fr, rms, status)) {
        if (status != kStatusGood) return kFalse;
        continue;
      }
      if (!std::isfinite(fx) || !std::isfinite(fy) ||
          std::hypot(fx / px - cx, fy / py - cy) > limit + 8.0) {
        continue;
      }
      bestPoints = n;
      bestX = fx;
      bestY = fy;
    }
    if (bestPoints > 0) {
      cx = bestX / px;
      cy = bestY / py;
    }
  }

  // Rings that run round the centre: two at least. (On a tilted detector the outer rings'
  // centres move off the inner ones' by tens of pixels, so that only the inner rings stay
  // sharp in a profile about one centre.)
  int round = 0;
  for (std::size_t k = 0; k < tangents.size(); ++k) {
    if (match.peakOf[k] >= 0 && RunsRound(profile, peaks[static_cast<std::size_t>(match.peakOf[k])])) {
      ++round;
    }
  }
  if (round < std::min(2, needed)) {
    start.reason = "no rings run round a centre (spots are no powder rings)";
    return kFalse;
  }

  // Points on the innermost ring found (the caller may put them onto another ring of the
  // calibrant by the ratio of tan 2-theta).
  std::size_t on = tangents.size();
  for (std::size_t k = 0; k < tangents.size() && on == tangents.size(); ++k) {
    if (match.peakOf[k] >= 0) on = k;
  }
  const FoundPeak& f = peaks[static_cast<std::size_t>(match.peakOf[on])];
  const double limit = std::max(4.0, 2.5 * f.halfWidth + 2.0);
  std::vector<float> x(kRingPoints), y(kRingPoints);
  int n = 0;
  if (!LVFindCircleCoordinates(d, static_cast<float>(cx * px), static_cast<float>(cy * py),
                               static_cast<float>(f.radius * pixel),
                               static_cast<float>(limit * pixel), kRingSegments, kRingPoints, n,
                               x.data(), y.data(), status)) {
    return kFalse;
  }
  if (n < 5) {
    start.reason = "too few points on the innermost ring found";
    return kFalse;
  }
  start.ring = ringOf[on];
  start.centreX = cx * px;
  start.centreY = cy * py;
  start.distance = match.distance * pixel;
  start.ringsFound = round;
  start.x.assign(x.begin(), x.begin() + n);
  start.y.assign(y.begin(), y.begin() + n);
  return kTrue;
}
