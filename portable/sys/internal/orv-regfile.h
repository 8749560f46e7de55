// The text file that holds one settings key's values, and the name rules of the settings store.
//
// The file is UTF-8 text: the line "orv-settings 1", then one line per value,
//     "Name" type data
// where type is sz, expand_sz, multi_sz, dword, qword, binary or hex(N) (any other type number N).
// Texts are written in double quotes with the escapes \" \\ \n \r \t and \uXXXX (other control
// characters and UTF-16 units that are not part of a pair); dword and qword are 0x and 8 or 16
// hex digits; binary and hex(N) data are two-digit hex bytes separated by one space. A value whose
// bytes the typed form would not give back exactly (a text without its final NUL, a dword of 3
// bytes) is written as hex(N), so every value round-trips byte for byte. Empty lines and lines
// starting with '#' are ignored when reading.
//
// Internal to the settings store and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class COrvError;

// Value types as the registry numbers them.
enum : uint32_t {
    kOrvRegNone = 0,
    kOrvRegSz = 1,
    kOrvRegExpandSz = 2,
    kOrvRegBinary = 3,
    kOrvRegDword = 4,
    kOrvRegMultiSz = 7,
    kOrvRegQword = 11,
};

// One value: its name as stored (case kept), its type and its bytes as the registry holds them
// (texts are UTF-16LE with the terminating NUL).
struct OrvRegFileValue {
    std::u16string sName;
    uint32_t nType = kOrvRegNone;
    std::string data;
};

// Largest values file the store reads; a larger one counts as damaged.
constexpr size_t kOrvRegFileMax = 64u << 20;
// Longest key or value name, in UTF-16 units.
constexpr size_t kOrvRegNameMax = 16383;

// Parses nLen bytes of a values file into values (cleared first). Returns false with
// enNetBadRequest and a text naming the line when the text is not a well-formed values file
// (values then holds what was read before the damage). Never reads outside the buffer.
[[nodiscard]] bool OrvRegFileParse(const char* pText, size_t nLen,
                                   std::vector<OrvRegFileValue>& values, COrvError& err);
// The text of a values file that holds values in their order.
std::string OrvRegFileFormat(const std::vector<OrvRegFileValue>& values);

// Folds one UTF-16 unit for comparing names without regard to case: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters compare equal to their capitals.
char16_t OrvRegFoldChar(char16_t ch);
// True when two names are equal without regard to case.
bool OrvRegNameEquals(const char16_t* pA, size_t nA, const char16_t* pB, size_t nB);
// Index of the value named pszName (case ignored) in values, or -1.
int OrvRegFileFind(const std::vector<OrvRegFileValue>& values, const char16_t* pName, size_t nLen);
