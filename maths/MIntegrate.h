// Integration of an image into a 1-D scan against radial distance, 2-theta, Q or d-spacing,
// and projection of a parallelogram onto one of its sides.
//
// Both spread each pixel over the bins that its footprint covers: a disk of the pixel's area,
// of half width h = (px + py)/2 x 0.5641895835477563, centred on the pixel's position. A bin
// receives the fraction of the footprint that lies in it (fractions of one pixel add up to 1
// where the footprint lies inside the scan); parts outside the scan are dropped. A footprint
// that reaches an infinite scan value (the d-spacing of the beam centre) spreads over an
// infinite span and gives every bin nothing. Bin positions are clamped before they become
// indices, so no real-to-integer conversion can overflow.
//
// MROIIntegrateSinglePass is the reference: one pass that transforms every pixel and adds it
// to its bins. MROIIntegrate gives the same result, within float rounding, from a cached
// pixel-to-bin map: for every pixel of the region the run of bins its footprint covers and the
// shares (fraction divided by the polarisation divisor) of its first, middle and last bins. The
// map is kept for one geometry, region, mask content (a hash of the mask bytes) and set of scan
// parameters and rebuilt only when one of them changes; file series and repeated integrations
// then skip the trigonometry. It costs 12 bytes per pixel, 16 for pixels that cover three bins
// or more (4 more per pixel with variances and the polarisation correction together). It is
// applied with all cores over a fixed partition of the region whose partial sums are added in
// a fixed order, so the result does not depend on the number of cores.
#pragma once

#include <cstdint>
#include <vector>

#include "data/DataSet.h"

enum ScanType : int {
  kScanRadial = 732,     // metres
  kScan2Theta = 733,     // radians
  kScanQ = 734,          // nm-1
  kScanDSpacing = 735,   // Angstrom
};

struct IntegrationParameters {
  int scanType = kScan2Theta;
  float innerRadius = 0.0f;  // metres, tilt-corrected; smaller radii are left out
  float outerRadius = 0.0f;  // metres; larger radii are left out
  float start = 0.0f;        // scan value at the lower edge of bin 0
  float step = 0.0f;         // bin width, same unit
  int bins = 0;
  // Truth values (-1 / 0).
  int obliquityCorrection = 0;     // 2-theta bins times 1/cos^3 of the bin centre's angle
  int polarisationCorrection = 0;  // each pixel divided by its polarisation factor
  int sumsOnly = 0;                // bins left as weighted sums
  int variances = 0;               // variances of the bins into the result's variances
  // Beyond the classic scans: an azimuthal sector (only pixels whose centre lies at an azimuth
  // from azimuthStart to azimuthEnd, radians in [-pi, pi]; end below start wraps through
  // +-pi), the azimuth being that of the untilted offsets, atan2(y offset, x offset).
  int sector = 0;
  float azimuthStart = 0.0f, azimuthEnd = 0.0f;
  // The variance model: 0 the scatter of the values about the bin mean (the classic
  // estimate), 1 counting statistics: each pixel's variance is its count (never below 0),
  // carried through the splitting, var = sum(share^2 x count) / weight^2.
  int errorModel = 0;
};

inline constexpr int kErrorsScatter = 0;
inline constexpr int kErrorsPoisson = 1;

struct ProjectionParameters {
  int bins = 0;
  float binWidth = 0.0f;  // metres
};

// The footprint half width (metres) of a data set's pixels.
double MFootprintHalfWidth(const DataSet& dataSet);

// Integrates the region of `data` into `result`, which must be allocated with at least `bins`
// columns. The result's axis gives each bin's centre: xAxisStart = start + step / 2 (in
// degrees for 2-theta scans). Status 25 for a negative inner radius, start or a non-positive step, 17 when the
// inner radius is not below the outer, 21 for bins outside 1 to 2^24; the data are checked by
// ICheckData.
int MROIIntegrate(const DataSet& data, const IntegrationParameters& parameters, DataSet& result,
                  int& status);
int MROIIntegrateSinglePass(const DataSet& data, const IntegrationParameters& parameters,
                            DataSet& result, int& status);

// The cake: the region regrouped by scan value (the radial axis of `radial`, its corrections
// as in MROIIntegrate; no sector) and azimuth (`azimuthBins` bins from -180 to 180 degrees, the
// azimuth of the sector, atan2(y offset, x offset) of the untilted offsets). A pixel's footprint
// spreads over the radial bins as in MROIIntegrate and over the azimuth bins its arc covers
// (half width atan(h / rho), rho its distance from the beam centre; the whole circle at the
// centre), the two fractions multiplied, so a pixel's fractions add up to those of the 1-D scan
// and the weighted mean of a cake column over azimuth is the 1-D scan's bin. The result
// (allocated with at least bins x azimuthBins elements) holds azimuth bin a in row a; X is the
// scan axis as for MROIIntegrate, Y the azimuth bin centres in degrees (yAxisStart, and
// pixelSizeY the bin width in degrees). `weights`, when given, receives each bin's total
// fraction, row by row. The pixel-to-bin map is cached like MROIIntegrate's, kept as a list of
// (pixel, share) per output bin, so applying it runs over the bins in parallel with a fixed
// order of addition. Variances come only with counting statistics (errorModel Poisson): a cake
// bin holds too few pixels for their scatter. Status 21 for azimuthBins outside 1 to 36000.
struct CakeParameters {
  IntegrationParameters radial;
  int azimuthBins = 360;
};
int MROICake(const DataSet& data, const CakeParameters& parameters, DataSet& result, int& status,
             std::vector<double>* weights = nullptr);

// The cached map: its size, how often it was built, and a way to drop it.
struct IntegrationCacheInfo {
  std::int64_t builds = 0;  // maps built since the program started
  std::int64_t pixels = 0;  // pixels of the region the map covers
  std::int64_t bytes = 0;   // memory the map holds
  std::int64_t cakeBuilds = 0;  // cake maps built
  std::int64_t cakeBytes = 0;   // memory the cake's map holds
};
IntegrationCacheInfo MIntegrationCacheInfo();
void MIntegrationCacheClear();

// Projects the parallelogram with corners (x[i], y[i]) (pixel coordinates, corner 0 to
// corner 1 being the projection line) onto that line; masked pixels are projected too. The
// result's axis gives each bin's centre (xAxisStart = binWidth / 2).
int MProjection(const DataSet& data, const ProjectionParameters& parameters, const float x[4],
                const float y[4], DataSet& result, int& status);

// The corners of the projection region of a line (x1, y1)-(x2, y2) and two width points:
// each width point is dropped perpendicularly onto the line and its offset from the foot
// added to both line ends.
void MProjectionCorners(float lineX1, float lineY1, float lineX2, float lineY2, float widthX1,
                        float widthY1, float widthX2, float widthY2, float x[4], float y[4]);
