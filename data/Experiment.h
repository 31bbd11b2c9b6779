// The experiment geometry of the program's run: beam centre, 2-theta angle, distance, pixel
// sizes, polarisation, tilt, tilt axis, Z rotation and wavelength.
//
// It belongs to the experiment, not to a store: every store still carries its own copy (saved
// files and the maths read it there), but an image read into any store takes the geometry of
// the last calibrated, loaded or typed image, never the fields of whatever the store held
// before (a scan's bin width as pixel width, beam centre 0, 0). Commands that set or fit the
// geometry report what they changed here; a file header seeds it only while nothing was set
// by the user since the program started.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "data/DataSet.h"

// One geometry field of the data-set record, with its bit in a field set and the words that
// name it in messages.
struct IGeometryField {
  float DataSet::*member;
  unsigned bit;
  const char* words;
};

inline constexpr unsigned kGeometryBeamCentreX = 1u << 0;
inline constexpr unsigned kGeometryBeamCentreY = 1u << 1;
inline constexpr unsigned kGeometryTwoTheta = 1u << 2;
inline constexpr unsigned kGeometryDistance = 1u << 3;
inline constexpr unsigned kGeometryPixelSizeX = 1u << 4;
inline constexpr unsigned kGeometryPixelSizeY = 1u << 5;
inline constexpr unsigned kGeometryPolarisation = 1u << 6;
inline constexpr unsigned kGeometryTiltAngle = 1u << 7;
inline constexpr unsigned kGeometryTiltAxis = 1u << 8;
inline constexpr unsigned kGeometryRotationZ = 1u << 9;
inline constexpr unsigned kGeometryWavelength = 1u << 10;
// Not a field: the data-set is a scan or a stack of scans whose X pixel size is its step; it
// keeps its own axes and says nothing about the experiment.
inline constexpr unsigned kGeometryOwnAxes = 1u << 31;

inline constexpr std::size_t kGeometryFieldCount = 11;
const std::array<IGeometryField, kGeometryFieldCount>& IGeometryFields();

// Where the experiment geometry came from.
enum class IGeometryOrigin {
  kStart,   // the start values (the data-base's, or the built-in ones)
  kHeader,  // a file header gave some of it; nothing set by the user yet
  kUser,    // a command set, fitted or loaded it
};

struct Experiment {
  std::array<float, kGeometryFieldCount> values{};
  IGeometryOrigin origin = IGeometryOrigin::kStart;
};

// The program-wide record.
Experiment& IExperiment();

// At start: the geometry of a freshly initialised store, origin kStart.
void IStartExperiment(const DataSet& initialised);

// A command set, fitted or loaded the geometry of `after` (whose values were `before` when
// the command began): the fields it changed become the experiment's and the origin kUser.
// Only changed fields are taken, so setting the wavelength while a scan is shown does not
// make its step the pixel width.
void IExperimentTakeChanges(const std::array<float, kGeometryFieldCount>& before,
                            const DataSet& after);

// The geometry values of a data-set, in the order of IGeometryFields.
std::array<float, kGeometryFieldCount> IGeometryValues(const DataSet& d);

// After an image was read into `d` (whose headerGeometry says which fields its header gave):
// fields the header gave seed the experiment while the user has set nothing; every other field
// (and every header field once the user has set the geometry) takes the experiment's value.
// `said` receives the information lines to show (empty when there is nothing to say). A scan
// (kGeometryOwnAxes) is left as read.
void IExperimentApply(DataSet& d, std::vector<std::string>& said);

// True when the geometry of `d` is the built-in start geometry (beam centre 0, 0, distance
// 0.3 m, wavelength 1 Angstrom, no tilt): nothing was ever set, typed, loaded or read.
bool IGeometryNeverSet(const DataSet& d);
