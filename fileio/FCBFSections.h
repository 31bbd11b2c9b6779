// How the CBF library's lexer would cut a file into text fields and binary sections, followed
// far enough to find the one construction it reads with values it never set (FCBFSections.cpp).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

// Whether a text field of `file` could reach the library as a binary section without a MIME
// header: a control byte 4 or 26 before the field's closing ";" line or a MIME boundary.
bool FCBFHeaderlessBinary(std::span<const unsigned char> file);

// A binary section followed exactly: where its data starts, how many bytes it holds, and the
// digest its header records ("Content-MD5", base64; empty when there is none).
struct FCBFSection {
  std::size_t start = 0;
  std::size_t size = 0;
  std::string md5;
};

// What one pass of both of the library's ways with NUL bytes finds in a file.
struct FCBFLayout {
  // A text field could reach the library as a binary section without a MIME header.
  bool headerlessBinary = false;
  // The byte ranges [first, second) the library passes over as binary data, from the data's
  // first byte to the blank after the section's closing ";" line, for the sections whose MIME
  // header is read exactly here and whose end both ways agree on. Nothing in them is ever read
  // as a data name.
  std::vector<std::pair<std::size_t, std::size_t>> binaryRanges;
  // The sections both ways follow to the same data.
  std::vector<FCBFSection> sections;
};
FCBFLayout FCBFScan(std::span<const unsigned char> file);
