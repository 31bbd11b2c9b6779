// Dark and flat-field correction: "Subtract_Dark" subtracts the "Background Image" store from
// the main data, "Divide_Flat" divides it by the "Flat-Field Image" store; "Load_Dark" and
// "Load_Flat" read a file into those stores ("?" asks with the file dialog). Sizes must agree
// with the main data's; the main data keeps its mask; a zero in the flat field masks its pixel
// (the mask is switched on for it).
//
// Each correction, once applied with its command, stays chosen for the file series of this run
// ("Dark_Flat_Off" clears the choice): the series calls LVApplyDarkFlat on every frame before
// its work (integration and the others).
#pragma once

#include <string>

#include "data/DataSet.h"
#include "data/DataStores.h"

// Data-base keys (this run only) that say the corrections are chosen for file series.
inline constexpr const char* kSeriesSubtractDarkKey = "#Series_Subtract_Dark";
inline constexpr const char* kSeriesDivideFlatKey = "#Series_Divide_Flat";

// The store of each correction: the one carrying the name, else its place at start (2, 3).
DataSet& LVDarkStore(DataStores& stores);
DataSet& LVFlatStore(DataStores& stores);

// The corrections themselves on `d`, with their information lines.
int LVSubtractDark(const DataSet& dark, DataSet& d, int& status);
int LVDivideFlat(const DataSet& flat, DataSet& d, int& status);

// Whether each correction is chosen for file series.
bool LVDarkChosen();
bool LVFlatChosen();
void LVChooseDarkFlat(bool dark, bool flat);

// Applies the chosen corrections (dark first) to one frame of a series, quietly: true when
// none is chosen or all applied; false, with a warning, when a chosen store holds no data or
// data of another size (the frame is then left as it was read).
int LVApplyDarkFlat(DataSet& image, int& status);

void LVRegisterDarkFlatCommands();
