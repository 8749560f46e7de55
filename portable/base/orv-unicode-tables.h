// Character tables of the library: the whitespace, letter and letter-or-digit classes of wide
// text (sorted range tables searched by bisection) and the simple upper-case mapping that the
// case-insensitive string keys fold with. Pure functions and constant data; any thread.
#pragma once

// Character classes of wide text, searched by bisection in sorted range tables: whitespace
// (0009-000D, 0020, 00A0, 2000-200B, 3000, FEFF), letters and letters-or-digits.
bool OrvIsSpaceW(char16_t ch);
bool OrvIsLetterW(char16_t ch);
bool OrvIsLetterOrDigitW(char16_t ch);
// Narrow whitespace: the bytes 9 to 13, 32 and 0xA0.
inline bool OrvIsSpaceA(char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    return (c >= 9 && c <= 13) || c == 32 || c == 0xA0;
}

// One inclusive range of a character-class table.
struct OrvCharRange {
    char16_t m_chFirst;
    char16_t m_chLast;
};
// The tables behind the predicates above, sorted and disjoint.
extern const OrvCharRange g_orv_space_ranges[];
extern const int g_orv_space_range_count;
extern const OrvCharRange g_orv_letter_ranges[];
extern const int g_orv_letter_range_count;
extern const OrvCharRange g_orv_letter_digit_ranges[];
extern const int g_orv_letter_digit_range_count;
// True when ch lies in one of the nCount sorted ranges.
bool OrvInCharRanges(const OrvCharRange* pRanges, int nCount, char16_t ch);

// Simple upper-case mapping of one code point: ASCII and Latin-1, Latin Extended-A, the paired
// letters of Latin Extended-B and Latin Extended Additional, Greek, Cyrillic, Armenian, Roman
// numerals, circled letters and full-width Latin letters. Other code points map to themselves.
inline char32_t OrvUpperCodePoint(char32_t c) {
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? c - 32 : c;
    if (c < 0x100) {
        if (c == 0xB5)
            return 0x39C;
        if (c == 0xFF)
            return 0x178;
        return (c >= 0xE0 && c <= 0xFE && c != 0xF7) ? c - 32 : c;
    }
    if (c < 0x180) {
        if (c == 0x131)
            return 'I';
        if (c == 0x17F)
            return 'S';
        if ((c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
            return (c & 1) ? c - 1 : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
            return (c & 1) ? c : c - 1;
        return c;
    }
    if (c < 0x250) {
        if (c >= 0x1CD && c <= 0x1DC)
            return (c & 1) ? c : c - 1;
        if ((c >= 0x1DE && c <= 0x1EF) || (c >= 0x1F8 && c <= 0x21F) || (c >= 0x222 && c <= 0x233))
            return (c & 1) ? c - 1 : c;
        return c;
    }
    if (c >= 0x370 && c < 0x400) {
        if (c == 0x3AC)
            return 0x386;
        if (c >= 0x3AD && c <= 0x3AF)
            return c - 37;
        if (c == 0x3C2)
            return 0x3A3;
        if (c >= 0x3B1 && c <= 0x3CB)
            return c - 32;
        if (c == 0x3CC)
            return 0x38C;
        if (c == 0x3CD || c == 0x3CE)
            return c - 63;
        if (c >= 0x3E2 && c <= 0x3EF)
            return (c & 1) ? c - 1 : c;
        return c;
    }
    if (c >= 0x400 && c < 0x530) {
        if (c >= 0x430 && c <= 0x44F)
            return c - 32;
        if (c >= 0x450 && c <= 0x45F)
            return c - 80;
        if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
            return (c & 1) ? c - 1 : c;
        if (c >= 0x4C1 && c <= 0x4CE)
            return (c & 1) ? c : c - 1;
        if (c == 0x4CF)
            return 0x4C0;
        return c;
    }
    if (c >= 0x561 && c <= 0x586)
        return c - 48;
    if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF))
        return (c & 1) ? c - 1 : c;
    if (c >= 0x2170 && c <= 0x217F)
        return c - 16;
    if (c >= 0x24D0 && c <= 0x24E9)
        return c - 26;
    if (c >= 0xFF41 && c <= 0xFF5A)
        return c - 32;
    return c;
}
