#include "orv-qrcode.h"

#include <string.h>

#include "orv-string-util.h"
#include "orv-trace.h"

namespace {

constexpr char kTooBig[] = "Data is too big to be encoded in QR-Code";

// Error-correction codewords per block and number of blocks, indexed [level][version]; entry 0
// of each row is never read.
constexpr int8_t kEccPerBlock[4][41] = {
    {-1, 7,  10, 15, 20, 26, 18, 20, 24, 30, 18, 20, 24, 26, 30, 22, 24, 28, 30, 28, 28,
     28, 28, 30, 30, 26, 28, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
    {-1, 10, 16, 26, 18, 24, 16, 18, 22, 22, 26, 30, 22, 22, 24, 24, 28, 28, 26, 26, 26,
     26, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28},
    {-1, 13, 22, 18, 26, 18, 24, 18, 22, 20, 24, 28, 26, 24, 20, 30, 24, 28, 28, 26, 30,
     28, 30, 30, 30, 30, 28, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
    {-1, 17, 28, 22, 16, 22, 28, 26, 26, 24, 28, 24, 28, 22, 24, 24, 30, 28, 28, 26, 28,
     30, 24, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
};
constexpr int8_t kBlocks[4][41] = {
    {-1, 1, 1, 1,  1,  1,  2,  2,  2,  2,  4,  4,  4,  4,  4,  6,  6,  6,  6,  7, 8,
     8,  9, 9, 10, 12, 12, 12, 13, 14, 15, 16, 17, 18, 19, 19, 20, 21, 22, 24, 25},
    {-1, 1,  1,  1,  2,  2,  4,  4,  4,  5,  5,  5,  8,  9,  9,  10, 10, 11, 13, 14, 16,
     17, 17, 18, 20, 21, 23, 25, 26, 28, 29, 31, 33, 35, 37, 38, 40, 43, 45, 47, 49},
    {-1, 1,  1,  2,  2,  4,  4,  6,  6,  8,  8,  8,  10, 12, 16, 12, 17, 16, 18, 21, 20,
     23, 23, 25, 27, 29, 34, 34, 35, 38, 40, 43, 45, 48, 51, 53, 56, 59, 62, 65, 68},
    {-1, 1,  1,  2,  4,  4,  4,  5,  6,  8,  8,  11, 11, 16, 16, 18, 16, 19, 21, 25, 25,
     25, 34, 30, 32, 35, 37, 40, 42, 45, 48, 51, 54, 57, 60, 63, 66, 70, 74, 77, 81},
};
// The 2-bit format value of each level.
constexpr int kFormatBits[4] = {1, 0, 3, 2};
// Codewords of the largest symbol (version 40).
constexpr int kMaxCodewords = 3706;

// Modules left for data and error correction once the function patterns are drawn.
int RawDataModules(int v) {
    int n = (16 * v + 128) * v + 64;
    if (v >= 2) {
        const int nAlign = v / 7 + 2;
        n -= (25 * nAlign - 10) * nAlign - 55;
        if (v >= 7)
            n -= 36;
    }
    return n;
}

int DataCodewords(int v, OrvQrLevel level) {
    const int l = static_cast<int>(level);
    return RawDataModules(v) / 8 - kEccPerBlock[l][v] * kBlocks[l][v];
}

// Bits of the byte-mode character count for a version.
int CountBits(int v) {
    return v <= 9 ? 8 : 16;
}

// Whether nLen bytes fit version v at the level: the count field must hold the length, and the
// header (4-bit mode, count) and the data must fit the data codewords.
bool Fits(int nLen, int v, OrvQrLevel level) {
    const int nCountBits = CountBits(v);
    if (nLen >= (1 << nCountBits))
        return false;
    return 4 + nCountBits + 8 * nLen <= 8 * DataCodewords(v, level);
}

// GF(256) with the reduction polynomial 0x11D: exponent and logarithm tables of the generator 2.
struct Gf256 {
    uint8_t exp[512];
    uint8_t log[256];
    constexpr Gf256() : exp(), log() {
        int x = 1;
        for (int i = 0; i < 255; ++i) {
            exp[i] = static_cast<uint8_t>(x);
            exp[i + 255] = static_cast<uint8_t>(x);
            log[x] = static_cast<uint8_t>(i);
            x <<= 1;
            if (x & 0x100)
                x ^= 0x11D;
        }
        exp[510] = exp[0];
        exp[511] = exp[1];
    }
    uint8_t Mul(uint8_t a, uint8_t b) const { return a == 0 || b == 0 ? 0 : exp[log[a] + log[b]]; }
};
constexpr Gf256 kGf;

// Coefficients of the Reed-Solomon generator (x - 2^0)(x - 2^1)...(x - 2^(degree-1)), highest
// power first with the leading 1 dropped.
void RsDivisor(int nDegree, uint8_t* pOut) {
    ASSERT(nDegree >= 1);
    ASSERT(nDegree <= 30);
    for (int j = 0; j < nDegree; ++j)
        pOut[j] = 0;
    pOut[nDegree - 1] = 1;
    uint8_t root = 1;
    for (int i = 0; i < nDegree; ++i) {
        for (int j = 0; j < nDegree; ++j) {
            pOut[j] = kGf.Mul(pOut[j], root);
            if (j + 1 < nDegree)
                pOut[j] ^= pOut[j + 1];
        }
        root = kGf.Mul(root, 2);
    }
}

// The remainder of data(x) * x^degree divided by the generator: the error-correction codewords.
void RsRemainder(const uint8_t* pData, int nLen, const uint8_t* pDivisor, int nDegree,
                 uint8_t* pOut) {
    for (int j = 0; j < nDegree; ++j)
        pOut[j] = 0;
    for (int i = 0; i < nLen; ++i) {
        const uint8_t factor = pData[i] ^ pOut[0];
        for (int j = 0; j + 1 < nDegree; ++j)
            pOut[j] = pOut[j + 1];
        pOut[nDegree - 1] = 0;
        if (factor != 0) {
            const int lf = kGf.log[factor];
            for (int j = 0; j < nDegree; ++j)
                if (pDivisor[j] != 0)
                    pOut[j] ^= kGf.exp[kGf.log[pDivisor[j]] + lf];
        }
    }
}

// Appends bits, most significant first, to a byte array filled from its start.
class CBitWriter {
public:
    explicit CBitWriter(uint8_t* p) : m_p(p) {}
    void Append(uint32_t val, int len) {
        ASSERT(len >= 0);
        ASSERT(len <= 31);
        ASSERT(val >> len == 0);
        for (int i = len - 1; i >= 0; --i, ++m_nBits)
            if ((val >> i) & 1)
                m_p[m_nBits >> 3] |= static_cast<uint8_t>(0x80 >> (m_nBits & 7));
    }
    int Bits() const { return m_nBits; }

private:
    uint8_t* m_p;
    int m_nBits = 0;
};

// Whether mask nMask inverts the module at column x, row y.
constexpr bool MaskBit(int nMask, int x, int y) {
    switch (nMask) {
        case 0:
            return (x + y) % 2 == 0;
        case 1:
            return y % 2 == 0;
        case 2:
            return x % 3 == 0;
        case 3:
            return (x + y) % 3 == 0;
        case 4:
            return (x / 3 + y / 2) % 2 == 0;
        case 5:
            return x * y % 2 + x * y % 3 == 0;
        case 6:
            return (x * y % 2 + x * y % 3) % 2 == 0;
        default:
            return ((x + y) % 2 + x * y % 3) % 2 == 0;
    }
}

// Every mask repeats itself every 12 rows and every 12 columns: kMaskTable[mask][y % 12][x % 12].
struct CMaskTable {
    uint8_t bits[8][12][12];
    constexpr CMaskTable() : bits() {
        for (int m = 0; m < 8; ++m)
            for (int y = 0; y < 12; ++y)
                for (int x = 0; x < 12; ++x)
                    bits[m][y][x] = MaskBit(m, x, y) ? 1 : 0;
    }
};
constexpr CMaskTable kMaskTable;

// Penalty of one row or column of 0/1 values: runs of five or more modules of one colour (3,
// plus 1 for each further module) and windows of 11 modules that show the finder-like patterns
// 00001011101 or 10111010000 (40 each).
long LinePenalty(const uint8_t* p, int n) {
    // Written without data-dependent branches: module colours are close to random.
    long nScore = 0;
    long nRun = 0;
    unsigned prev = 2;
    unsigned bits = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned c = p[i];
        bits = ((bits << 1) | c) & 0x7FF;
        const long nSame = c == prev;
        // A run that ends here scores its length minus 2 when it is five or longer.
        nScore += (nRun - 2) & -static_cast<long>(!nSame & (nRun >= 5));
        nRun = nRun * nSame + 1;
        prev = c;
        nScore += 40 & -static_cast<long>((bits == 0x05D) | (bits == 0x5D0));
    }
    nScore += (nRun - 2) & -static_cast<long>(nRun >= 5);
    return nScore;
}

}  // namespace

int COrvQrCode::CapacityBytes(int nVersion, OrvQrLevel level) {
    const int l = static_cast<int>(level);
    if (nVersion < 1 || nVersion > 40 || l < 0 || l > 3)
        return 0;
    const int nBits = 8 * DataCodewords(nVersion, level) - 4 - CountBits(nVersion);
    const int nMax = (1 << CountBits(nVersion)) - 1;
    return nBits / 8 < nMax ? nBits / 8 : nMax;
}

void COrvQrCode::Reset() {
    m_nVersion = 0;
    m_nSize = 0;
    m_level = OrvQrLevel::Medium;
    m_nMask = -1;
    m_grid.Free();
}

bool COrvQrCode::Encode(const void* pData, int nLen, COrvError& err) {
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    int v = 1;
    if (nLen < 0)
        nLen = 0;
    while (v <= 40 && !Fits(nLen, v, OrvQrLevel::Medium))
        ++v;
    if (v > 40) {
        Reset();
        return err.Set(enNetBadRequest, kTooBig);
    }
    OrvQrLevel level = OrvQrLevel::Medium;
    if (Fits(nLen, v, OrvQrLevel::Quartile))
        level = OrvQrLevel::Quartile;
    if (Fits(nLen, v, OrvQrLevel::High))
        level = OrvQrLevel::High;
    return Build(p, nLen, v, level, -1, err);
}

bool COrvQrCode::EncodeFixed(const void* pData, int nLen, int nVersion, OrvQrLevel level, int nMask,
                             COrvError& err) {
    const int l = static_cast<int>(level);
    if (nVersion < 1 || nVersion > 40 || nMask < -1 || nMask > 7 || l < 0 || l > 3) {
        Reset();
        return err.SetFormat(enNetBadRequest, "Bad QR-Code version %d, level %d or mask %d",
                             nVersion, l, nMask);
    }
    if (nLen < 0)
        nLen = 0;
    if (!Fits(nLen, nVersion, level)) {
        Reset();
        return err.Set(enNetBadRequest, kTooBig);
    }
    return Build(static_cast<const uint8_t*>(pData), nLen, nVersion, level, nMask, err);
}

int COrvQrCode::MakeCodewords(const uint8_t* pData, int nLen, uint8_t* pOut) const {
    const int l = static_cast<int>(m_level);
    const int nDataCw = DataCodewords(m_nVersion, m_level);
    const int nRawCw = RawDataModules(m_nVersion) / 8;
    uint8_t pd[kMaxCodewords] = {};

    // Mode indicator, count and bytes, then a terminator of up to four zero bits, zero bits to
    // the byte boundary (already zero) and the alternating pad bytes.
    CBitWriter bits(pd);
    bits.Append(4, 4);
    bits.Append(static_cast<uint32_t>(nLen), CountBits(m_nVersion));
    const int nStart = bits.Bits() / 8;
    const int nShift = bits.Bits() % 8;  // always 4: the header is 12 or 20 bits
    for (int i = 0; i < nLen; ++i) {
        pd[nStart + i] |= static_cast<uint8_t>(pData[i] >> nShift);
        pd[nStart + i + 1] = static_cast<uint8_t>(pData[i] << (8 - nShift));
    }
    const int nBits = bits.Bits() + 8 * nLen;
    const int nCapBits = 8 * nDataCw;
    const int nTerm = nCapBits - nBits < 4 ? nCapBits - nBits : 4;
    int nByte = (nBits + nTerm + 7) / 8;
    for (uint8_t pad = 0xEC; nByte < nDataCw; pad ^= 0xEC ^ 0x11)
        pd[nByte++] = pad;

    // Blocks: the short ones first, the long ones one data codeword longer; each gets its
    // error-correction codewords. Interleaved column by column, data first.
    const int nBlocks = kBlocks[l][m_nVersion];
    const int nEcc = kEccPerBlock[l][m_nVersion];
    const int nShortBlocks = nBlocks - nRawCw % nBlocks;
    const int nShortLen = nRawCw / nBlocks;  // data + ecc of a short block
    uint8_t divisor[30];
    RsDivisor(nEcc, divisor);
    uint8_t ecc[30];
    int iData = 0;
    for (int b = 0; b < nBlocks; ++b) {
        const int nBlockData = nShortLen - nEcc + (b < nShortBlocks ? 0 : 1);
        RsRemainder(pd + iData, nBlockData, divisor, nEcc, ecc);
        // Data codeword j of block b sits at j * nBlocks + b, except that the last codeword of
        // the long blocks follows all the others; ecc codeword j after all data codewords.
        for (int j = 0; j < nBlockData; ++j) {
            const int nPos = j < nShortLen - nEcc
                                 ? j * nBlocks + b
                                 : (nShortLen - nEcc) * nBlocks + (b - nShortBlocks);
            pOut[nPos] = pd[iData + j];
        }
        for (int j = 0; j < nEcc; ++j)
            pOut[nDataCw + j * nBlocks + b] = ecc[j];
        iData += nBlockData;
    }
    ASSERT(iData == nDataCw);
    return nRawCw;
}

bool COrvQrCode::Build(const uint8_t* pData, int nLen, int nVersion, OrvQrLevel level, int nMask,
                       COrvError& err) {
    m_nVersion = nVersion;
    m_nSize = 4 * nVersion + 17;
    m_level = level;
    const size_t nCells = static_cast<unsigned>(m_nSize) * static_cast<unsigned>(m_nSize);
    uint8_t codewords[kMaxCodewords];
    const int nCodewords = MakeCodewords(pData, nLen, codewords);
    m_grid.Free();
    if (!m_grid.Allocate(3 * nCells)) {
        Reset();
        return err.Set(enNetNoMemory, "Not enough memory for the QR-Code");
    }
    memset(m_grid.Get(), 0, nCells);
    DrawFunctionPatterns();
    PlaceCodewords(codewords, nCodewords);

    if (nMask < 0) {
        long nBest = 0;
        for (int m = 0; m < 8; ++m) {
            DrawFormatBits(m);
            const long nPenalty = Penalty(m);
            if (nMask < 0 || nPenalty < nBest) {
                nMask = m;
                nBest = nPenalty;
            }
        }
    }
    m_nMask = nMask;
    DrawFormatBits(nMask);
    ApplyMask(nMask);
    return true;
}

void COrvQrCode::DrawFunctionPatterns() {
    for (int i = 0; i < m_nSize; ++i) {
        Set(6, i, i % 2 == 0);
        Set(i, 6, i % 2 == 0);
    }
    DrawFinder(3, 3);
    DrawFinder(m_nSize - 4, 3);
    DrawFinder(3, m_nSize - 4);

    if (m_nVersion >= 2) {
        const int n = m_nVersion / 7 + 2;
        const int nStep = m_nVersion == 32 ? 26 : (m_nVersion * 4 + n * 2 + 1) / (n * 2 - 2) * 2;
        int pos[7];
        pos[0] = 6;
        for (int i = n - 1, p = m_nSize - 7; i >= 1; --i, p -= nStep)
            pos[i] = p;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if (!((i == 0 && j == 0) || (i == 0 && j == n - 1) || (i == n - 1 && j == 0)))
                    DrawAlignment(pos[i], pos[j]);
    }
    // Reserve the format areas (drawn for real once the mask is known) and draw the version.
    DrawFormatBits(0);
    DrawVersionBits();
}

void COrvQrCode::DrawFinder(int cx, int cy) {
    for (int dy = -4; dy <= 4; ++dy) {
        for (int dx = -4; dx <= 4; ++dx) {
            const int x = cx + dx, y = cy + dy;
            if (x < 0 || y < 0 || x >= m_nSize || y >= m_nSize)
                continue;
            const int ax = dx < 0 ? -dx : dx, ay = dy < 0 ? -dy : dy;
            const int d = ax > ay ? ax : ay;
            Set(x, y, d != 2 && d != 4);
        }
    }
}

void COrvQrCode::DrawAlignment(int cx, int cy) {
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            Set(cx + dx, cy + dy, (dx * dx > dy * dy ? dx * dx : dy * dy) != 1);
}

void COrvQrCode::DrawFormatBits(int nMask) {
    const int data = kFormatBits[static_cast<int>(m_level)] << 3 | nMask;
    int rem = data;
    for (int i = 0; i < 10; ++i)
        rem = (rem << 1) ^ ((rem >> 9) * 0x537);
    const int bits = (data << 10 | rem) ^ 0x5412;
    ASSERT(bits >> 15 == 0);
    auto bit = [bits](int i) { return ((bits >> i) & 1) != 0; };
    for (int i = 0; i <= 5; ++i)
        Set(8, i, bit(i));
    Set(8, 7, bit(6));
    Set(8, 8, bit(7));
    Set(7, 8, bit(8));
    for (int i = 9; i < 15; ++i)
        Set(14 - i, 8, bit(i));
    for (int i = 0; i < 8; ++i)
        Set(m_nSize - 1 - i, 8, bit(i));
    for (int i = 8; i < 15; ++i)
        Set(8, m_nSize - 15 + i, bit(i));
    Set(8, m_nSize - 8, true);  // the dark module
}

void COrvQrCode::DrawVersionBits() {
    if (m_nVersion < 7)
        return;
    int rem = m_nVersion;
    for (int i = 0; i < 12; ++i)
        rem = (rem << 1) ^ ((rem >> 11) * 0x1F25);
    const long bits = static_cast<long>(m_nVersion) << 12 | rem;
    ASSERT(bits >> 18 == 0);
    for (int i = 0; i < 18; ++i) {
        const bool b = ((bits >> i) & 1) != 0;
        const int a = m_nSize - 11 + i % 3, c = i / 3;
        Set(a, c, b);
        Set(c, a, b);
    }
}

void COrvQrCode::PlaceCodewords(const uint8_t* p, int nCodewords) {
    const int nBits = nCodewords * 8;
    int i = 0;
    for (int right = m_nSize - 1; right >= 1; right -= 2) {
        if (right == 6)
            right = 5;
        const bool bUp = ((right + 1) & 2) == 0;
        for (int vert = 0; vert < m_nSize; ++vert) {
            const int y = bUp ? m_nSize - 1 - vert : vert;
            for (int j = 0; j < 2; ++j) {
                uint8_t& cell = m_grid[static_cast<size_t>(y) * m_nSize + right - j];
                if ((cell & kFunction) == 0 && i < nBits) {
                    cell = (p[i >> 3] >> (7 - (i & 7))) & 1;
                    ++i;
                }
            }
        }
    }
    ASSERT(i == nBits);
}

void COrvQrCode::ApplyMask(int nMask) {
    ASSERT(nMask >= 0);
    ASSERT(nMask <= 7);
    for (int y = 0; y < m_nSize; ++y) {
        const uint8_t* pMask = kMaskTable.bits[nMask][y % 12];
        uint8_t* row = m_grid.Get() + static_cast<size_t>(y) * m_nSize;
        for (int x = 0; x < m_nSize; ++x)
            if ((row[x] & kFunction) == 0)
                row[x] ^= pMask[x % 12];
    }
}

long COrvQrCode::Penalty(int nMask) {
    // The masked grid as 0/1 values, once by rows and once by columns, so that both directions
    // are scanned as contiguous lines.
    const int n = m_nSize;
    const uint8_t* g = m_grid.Get();
    uint8_t* rows = m_grid.Get() + n * n;
    uint8_t* cols = rows + n * n;
    long nDark = 0;
    for (int y = 0; y < n; ++y) {
        const uint8_t* pMask = kMaskTable.bits[nMask][y % 12];
        const uint8_t* pIn = g + y * n;
        uint8_t* pRow = rows + y * n;
        for (int x = 0, xm = 0; x < n; ++x) {
            const uint8_t c = pIn[x];
            // Function modules (bit 1 set) are never masked.
            const uint8_t d = (c ^ (pMask[xm] & ~(c >> 1))) & kDark;
            pRow[x] = d;
            cols[x * n + y] = d;
            nDark += d;
            if (++xm == 12)
                xm = 0;
        }
    }
    long nScore = 0;
    for (int i = 0; i < n; ++i)
        nScore += LinePenalty(rows + i * n, n) + LinePenalty(cols + i * n, n);
    for (int y = 0; y + 1 < n; ++y) {
        const uint8_t* r0 = rows + y * n;
        const uint8_t* r1 = r0 + n;
        for (int x = 0; x + 1 < n; ++x) {
            // Four 0/1 values are equal when their sum is 0 or 4.
            const unsigned nSum = r0[x] + r0[x + 1] + r1[x] + r1[x + 1];
            nScore += 3 & -static_cast<long>((nSum & 3) == 0);
        }
    }
    const long nTotal = static_cast<long>(n) * n;
    for (long k = 0; nDark * 20 < (9 - k) * nTotal || nDark * 20 > (11 + k) * nTotal; ++k)
        nScore += 10;
    return nScore;
}

COrvStringA COrvQrCode::ToSvg(int nBorder) const {
    COrvStringA s;
    ASSERT(nBorder >= 0);
    if (m_nSize == 0 || nBorder < 0)
        return s;
    const int nDim = m_nSize + 2 * nBorder;
    s.Format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 %d %d\" "
        "stroke=\"none\">"
        "<rect width=\"100%%\" height=\"100%%\" fill=\"#FFFFFF\"/><path d=\"",
        nDim, nDim);
    bool bFirst = true;
    for (int y = 0; y < m_nSize; ++y) {
        for (int x = 0; x < m_nSize; ++x) {
            if (!Module(x, y))
                continue;
            s.AppendFormat(bFirst ? "M%d,%dh1v1h-1z" : " M%d,%dh1v1h-1z", x + nBorder, y + nBorder);
            bFirst = false;
        }
    }
    s += "\" fill=\"#000000\"/></svg>";
    return s;
}

bool OrvQrEncodeToSvgDataUri(const COrvStringA& strText, COrvStringA& strUri, COrvError& err) {
    strUri.Empty();
    COrvQrCode qr;
    if (!qr.Encode(strText.GetString(), strText.GetLength(), err))
        return false;
    const COrvStringA svg = qr.ToSvg(4);
    COrvStringA uri("data:image/svg+xml;base64,");
    if (!uri.Append(OrvBase64Encode(svg.GetString(), svg.GetLength())))
        return err.Set(enNetNoMemory, "Not enough memory for the QR-Code");
    strUri = uri;
    return true;
}

bool OrvQrEncodeToSvgDataUri(const COrvStringA& strText, COrvStringA& strUri, int& nCode,
                             COrvStringA& strError) {
    COrvError err;
    const bool bOk = OrvQrEncodeToSvgDataUri(strText, strUri, err);
    if (!bOk)
        err.CopyTo(&nCode, &strError);
    return bOk;
}
