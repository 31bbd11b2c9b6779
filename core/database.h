// The internal data-base: a flat table of named text items that remembers settings and the
// user's last answers between runs ("Lumivane.idb").
//
// At most 499 items; keys and values hold 255 characters. Keys compare as IStringsEqual does
// (trailing white space ignored). Keys that begin with "#" live for the current run only and
// are never written to the file.
#pragma once

#include <string>

inline constexpr int kDataBaseMaxItems = 499;

int ISetDBItem(const std::string& key, const std::string& text, int& status);
int ISetDBIntItem(const std::string& key, int value, int& status);
int ISetDBRealItem(const std::string& key, float value, int& status);
int ISetDBBooleanItem(const std::string& key, int value, int& status);

// Getters leave the output untouched when the key is absent (result false).
int IGetDBItem(const std::string& key, std::string& text, int& status);
int IGetDBIntItem(const std::string& key, int& value, int& status);
int IGetDBRealItem(const std::string& key, float& value, int& status);
int IGetDBBooleanItem(const std::string& key, int& value, int& status);

int ISaveDataBase(const std::string& path, int& status);
int ILoadDataBase(const std::string& path, int& status);

// Number of items held, and a fresh empty table (for the start of a run and for tests).
int IDataBaseItemCount();
void IClearDataBase();
