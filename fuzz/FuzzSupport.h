// What every fuzz target shares: a private folder on a memory file system where each input is
// written as a file (the readers read files by name, so the real entry points are fuzzed), the
// split of a two-file input, and the run of the image input path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The separator of a two-file input (BSL header and binary, volume information and raw file):
// the header comes first, the binary after it. An input without it has an empty binary.
inline constexpr std::string_view kFuzzBinarySeparator = "\n@@LV-BINARY@@\n";

// A fresh private folder (under /dev/shm when it can be written, else TMPDIR or /tmp), made
// at the first call and removed when the process ends.
const std::string& FuzzFolder();

// Writes the bytes as FuzzFolder()/name and returns the path.
std::string FuzzWriteFile(const std::string& name, std::string_view bytes);

// Splits a two-file input at kFuzzBinarySeparator.
void FuzzSplit(std::string_view input, std::string_view& header, std::string_view& binary);

// Puts the core state back to program start: a good status, no error trace, an empty
// data-base. Every target calls it before and after each input.
void FuzzReset();

// The program's path from a file name to a store, without prompts: FInputDataWith (as
// Open_File on a named file), then detection, the data-set information of every data-set and
// the image again for the last data-set and image when there are more. Then, for each format in
// `forced` (kFormatNone ends the list) that detection did not choose, the information routine
// and the reader are run on the file all the same: a reader must refuse what is not its format
// by its own checks, whatever detection said.
void FuzzReadImage(const std::string& path, const int* forced);
