// QR Code symbols (ISO/IEC 18004, model 2) for short texts: one byte-mode segment, the smallest
// version from 1 to 40 that holds it at error correction level M, the level then raised to Q or H
// while the data still fits, and the mask with the lowest penalty. The symbol is given out as a
// module grid or as an SVG image wrapped in a "data:image/svg+xml;base64," URI.
//
// Nothing here keeps global state or blocks: any thread may encode; one COrvQrCode object is not
// shared between threads without a lock.
#pragma once

#include <stdint.h>

#include "orv-buffers.h"
#include "orv-error.h"
#include "orv-string.h"

// Error correction levels by ordinal (their 2-bit format values are 1, 0, 3, 2).
enum class OrvQrLevel : int { Low = 0, Medium = 1, Quartile = 2, High = 3 };

// The longest text that a symbol holds (version 40 at level M).
constexpr int kOrvQrMaxBytes = 2331;

class COrvQrCode {
public:
    COrvQrCode() = default;
    COrvQrCode(const COrvQrCode&) = delete;
    COrvQrCode& operator=(const COrvQrCode&) = delete;

    // Encodes the bytes as described above. Fails with enNetBadRequest and "Data is too big to be
    // encoded in QR-Code" past kOrvQrMaxBytes, enNetNoMemory when the grid cannot be allocated;
    // the object is then empty (Size() 0).
    [[nodiscard]] bool Encode(const void* pData, int nLen, COrvError& err);
    // The same with the version, level and mask fixed (mask -1: the lowest penalty); the level is
    // not raised. Fails as Encode when the data does not fit that version and level, and with
    // enNetBadRequest for a version outside 1..40 or a mask outside -1..7.
    [[nodiscard]] bool EncodeFixed(const void* pData, int nLen, int nVersion, OrvQrLevel level,
                                   int nMask, COrvError& err);

    int Version() const { return m_nVersion; }
    // Modules per side (4 * version + 17), 0 before a successful encoding.
    int Size() const { return m_nSize; }
    OrvQrLevel Level() const { return m_level; }
    int Mask() const { return m_nMask; }
    // Whether the module in column x, row y is dark; false outside the grid.
    bool Module(int x, int y) const {
        return x >= 0 && y >= 0 && x < m_nSize && y < m_nSize &&
               (m_grid[static_cast<size_t>(y) * m_nSize + x] & kDark) != 0;
    }

    // The SVG text: XML declaration, an svg element with the view box 0 0 N N (N = size + 2 *
    // border) over a white rect, and one black path with a unit square "Mx,yh1v1h-1z" per dark
    // module (rows top to bottom, left to right). Empty when nothing is encoded or border < 0.
    COrvStringA ToSvg(int nBorder) const;

    // Bytes that fit version nVersion at the level (0 for arguments out of range).
    static int CapacityBytes(int nVersion, OrvQrLevel level);

private:
    static constexpr uint8_t kDark = 1;
    static constexpr uint8_t kFunction = 2;

    void Reset();
    bool Build(const uint8_t* pData, int nLen, int nVersion, OrvQrLevel level, int nMask,
               COrvError& err);
    // Writes the interleaved data and error-correction codewords; returns their count.
    int MakeCodewords(const uint8_t* pData, int nLen, uint8_t* pOut) const;
    void Set(int x, int y, bool bDark) {
        m_grid[static_cast<size_t>(y) * m_nSize + x] = (bDark ? kDark : 0) | kFunction;
    }
    void DrawFunctionPatterns();
    void DrawFinder(int cx, int cy);
    void DrawAlignment(int cx, int cy);
    void DrawFormatBits(int nMask);
    void DrawVersionBits();
    void PlaceCodewords(const uint8_t* p, int nCodewords);
    void ApplyMask(int nMask);
    long Penalty(int nMask);

    int m_nVersion = 0;
    int m_nSize = 0;
    OrvQrLevel m_level = OrvQrLevel::Medium;
    int m_nMask = -1;
    // One byte per module, row by row: kDark and kFunction bits; then twice as much scratch space
    // for the mask choice (the masked grid row by row, and column by column).
    COrvHeapPtr<uint8_t> m_grid;
};

// Encodes the UTF-8 text and returns the symbol's SVG (border 4) in Base64 behind
// "data:image/svg+xml;base64,". The only failure is a text too long for version 40: enNetBadRequest
// and "Data is too big to be encoded in QR-Code"; strUri is then empty.
[[nodiscard]] bool OrvQrEncodeToSvgDataUri(const COrvStringA& strText, COrvStringA& strUri,
                                           COrvError& err);
[[nodiscard]] bool OrvQrEncodeToSvgDataUri(const COrvStringA& strText, COrvStringA& strUri,
                                           int& nCode, COrvStringA& strError);
