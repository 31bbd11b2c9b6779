// Text, token, file-name, byte and time utilities shared by the whole system.
//
// Two rules run through them: texts are compared and measured without their trailing white
// space (blank, tab, carriage return, newline), and tokens are separated by a settable set of
// separator characters, by default blank, comma and tab.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

int ITrimmedLength(const std::string& text);
int IStringsEqual(const std::string& a, const std::string& b);
int IFindCharacter(const std::string& text, char c);
int IFindLastCharacter(const std::string& text, char c);
int IFirstNonBlank(const std::string& text, int from);
int IFindText(const std::string& text, int from, const std::string& pattern);

// Reads one line; keeps at most capacity - 1 characters of it (the rest of an over-long line
// is read and dropped, so it never masquerades as the next line) and removes carriage returns
// and newlines. False at the end of the file, true otherwise, an empty line included.
int IReadLine(std::FILE* file, int capacity, std::string& text);

int IStringCopy(const std::string& source, std::string& target, int& status);
int ISubString(const std::string& source, int start, int end, std::string& target, int& status);
int IConvertUpperCase(std::string& text, int& status);

int IDefSeparators(int& status);
int IDefault(int& status);
// Installs another separator set (used by parsers with their own rules).
int ISetSeparators(const std::string& separators, int& status);
const std::string& ISeparators();

int IFindToken(const std::string& text, int start, int& tokenStart, int& tokenLength,
               int& status);
int IString2Tokens(const std::string& text, int maxTokens, int& count,
                   std::vector<std::string>& tokens, int& status);
int IToken2Integer(const std::string& token, int& value, int& status);
int IToken2Real(const std::string& token, float& value, int& status);
int IReal2Token(int fixed, float value, std::string& text, int& status);
int IString2Wide(const std::string& text, int capacity, std::wstring& wide, int& status);

// Reverses the bytes in place when swap is set, then reads 1 to 4 bytes little-endian.
std::int32_t IBytes2Integer(int swap, int count, unsigned char* bytes);

// Natural order of names: runs of decimal digits compare by their value, everything else byte
// by byte, so frame_2 comes before frame_11 and a.chi before b.chi. Names that differ only in
// leading zeros (frame_01, frame_1) fall back to byte order, which keeps the order total.
bool INaturalLess(const std::string& a, const std::string& b);
// Sorts in natural order (INaturalLess).
int ISortStrings(std::vector<std::string>& texts, int& status);
int IChangeFileExtension(const std::string& extension, std::string& fileName, int& status);
int IGetFileDirectory(const std::string& path, std::string& directory, int& status);
int IGetFileName(const std::string& path, std::string& name, int& status);

int IDateTime(std::string& text, int& status);
// The date-time text of a given local time (IDateTime's format).
std::string IFormatDateTime(const std::tm& local);
int ISleep(float seconds, int& status);
double IElapsedSeconds();
