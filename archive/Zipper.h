#pragma once
// Zip archiving as the rest of the program calls it (ZipFile, ZipFiles, ZipErrorText), and
// module mZipper, which turns a K5Zipper into the calls of the zip library.
#include "archive/Zip32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace k5 {

class Env;
class FilesLib;
class K5Zipper;
class UserInteraction;

// The archive `zipFileName` with the one file `fileName`, stored under its bare name. The
// file test is the file library's (filesLib must be given; none raises an error). A missing
// file leaves the list empty and the library answers 12. Returns the library's code;
// unexpected failures are raised (location "ProphylaxisFrm.ZipFile").
int32_t ZipFile(UserInteraction& ui, Env& env, FilesLib* filesLib, const std::string& fileName,
                const std::string& zipFileName);
// The archive `zipFileName` with every file of `fileNames` that exists, stored with its
// path. Returns the library's code; unexpected failures are raised ("ProphylaxisFrm.ZipFiles").
int32_t ZipFiles(UserInteraction& ui, Env& env, const std::string& zipFileName,
                 const std::vector<std::string>& fileNames);
// The first file of `fileNames` that the archive made by ZipFiles does not hold under its
// entry name with its present size; empty when it holds them all.
std::string FileMissingFromZip(const std::string& zipFileName, const std::vector<std::string>& fileNames);
// The message for a library code; empty for 0.
std::string ZipErrorText(int32_t code);

// ---- module mZipper ----

inline constexpr int32_t kMaxZipNames = 1024;

// The name list handed to ZpArchive: count names, each the address of a zero-terminated
// text in buffer (the file's own name); the slots past count are null.
struct ZipNameList {
    int32_t count = 0;
    char* names[kMaxZipNames] = {};
    std::vector<char> buffer;
};

// Fills the module's records from the zipper and calls the library. Only one archiving can
// be under way at a time.
int32_t ZipWithOptions(K5Zipper& zipper);
// At most the first 1024 non-empty names, in order, unchanged. A null list gives an empty
// one.
void CreateFileNamesArgvList(const std::vector<std::string>* fileNames, ZipNameList& list);

// The module's records as the last archiving left them (the texts of the option record
// point into the module and stay valid until the next archiving).
const ZPOPT& ZipOptionRecord();
const ZIPUSERFUNCTIONS& ZipCallbackRecord();
const ZipNameList& ZipNames();

// "DateFilter" as the option record wants it: "MM/DD/YY" for a date written DD.MM.YYYY or
// YYYY-MM-DD; empty stays empty; any other text is passed on unchanged.
std::string FormatZipDate(const std::string& dateFilter);

} // namespace k5
