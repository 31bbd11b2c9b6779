// How the CBF library's lexer would cut a file into text fields and binary sections, followed
// far enough to find the one construction it reads with values it never set (FCBFSections.cpp).
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

// Whether a text field of `file` could reach the library as a binary section without a MIME
// header: a control byte 4 or 26 before the field's closing ";" line or a MIME boundary.
bool FCBFHeaderlessBinary(std::span<const unsigned char> file);

// The byte ranges [first, second) the library passes over as binary data, from the data's
// first byte to the blank after the section's closing ";" line, for the sections whose MIME
// header is read exactly here and whose end both of the library's ways with NUL bytes agree on.
// Nothing in them is ever read as a data name.
std::vector<std::pair<std::size_t, std::size_t>> FCBFBinaryRanges(
    std::span<const unsigned char> file);
