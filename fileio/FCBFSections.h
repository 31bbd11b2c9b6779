// How the CBF library's lexer would cut a file into text fields and binary sections, followed
// far enough to find the one construction it reads with values it never set (FCBFSections.cpp).
#pragma once

#include <span>

// Whether a text field of `file` could reach the library as a binary section without a MIME
// header: a control byte 4 or 26 before the field's closing ";" line or a MIME boundary.
bool FCBFHeaderlessBinary(std::span<const unsigned char> file);
