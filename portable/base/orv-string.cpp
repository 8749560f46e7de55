// Blocks of COrvStringT (allocation, the process-wide empty block, release), the template's
// operations, the character-class tables and the printf engine OrvVFormat.
#include "orv-string.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv-trace.h"
#include "orv-utf.h"

// Reports a failed condition with its fixed text and yields the condition.
#define ORV_STR_CHECK(cond, text) \
    ((cond) ? true : (OrvAssertFailed(__FILE__, __LINE__, 0, text, 1), false))

unsigned char g_orv_string_wipe = 0;

OrvStringAllocator g_orv_string_alloc = {std::malloc, std::realloc, std::free};

namespace {

struct NilBlock {
    COrvStringData m_hdr;
    unsigned char m_aZero[8];
};

NilBlock MakeNil() {
    NilBlock b;
    b.m_hdr.m_nDataLength = 0;
    b.m_hdr.m_nAllocLength = -1;
    b.m_hdr.m_nRefs = -1;
    std::memset(b.m_aZero, 0, sizeof(b.m_aZero));
    return b;
}

// Capacity of a block of nBytes.
inline int CapacityOf(int64_t nBytes, int nCharSize) {
    return static_cast<int>((nBytes - static_cast<int64_t>(sizeof(COrvStringData))) / nCharSize -
                            1);
}

// Block bytes for nChars characters, or -1 when that would not fit the 32-bit fields.
inline int64_t BlockBytes(int64_t nChars, int nCharSize) {
    if (nChars < 0)
        nChars = 0;
    const int64_t n = ((nChars + 1) * nCharSize + 19) & ~int64_t{7};
    return n > 0x7FFFFFF0 ? -1 : n;
}

}  // namespace

COrvStringData* OrvStringNilData() {
    static NilBlock s_nil = MakeNil();
    return &s_nil.m_hdr;
}

void COrvStringData::SetDataLength(int nLength) {
    if (!ORV_STR_CHECK(m_nAllocLength >= 0 && nLength <= m_nAllocLength,
                       "m_nAllocLength >= 0 && nLength <= m_nAllocLength"))
        return;
    m_nDataLength = nLength;
}

int OrvStringBlockSize(int nChars, int nCharSize) {
    return static_cast<int>(BlockBytes(nChars, nCharSize));
}

COrvStringData* OrvStringAllocate(int nChars, int nCharSize) {
    if (!ORV_STR_CHECK(nChars >= 0, "nChars >= 0"))
        return nullptr;
    const int64_t nBytes = BlockBytes(nChars, nCharSize);
    if (nBytes < 0)
        return nullptr;
    auto* p =
        static_cast<COrvStringData*>(g_orv_string_alloc.pfnAlloc(static_cast<size_t>(nBytes)));
    if (p == nullptr)
        return nullptr;
    p->m_nRefs = 1;
    p->m_nDataLength = 0;
    p->m_nAllocLength = CapacityOf(nBytes, nCharSize);
    char* pChars = static_cast<char*>(p->data());
    std::memset(pChars + static_cast<size_t>(nChars) * nCharSize, 0, nCharSize);
    pChars[0] = 0;
    if (nCharSize == 2)
        pChars[1] = 0;
    return p;
}

COrvStringData* OrvStringReallocate(COrvStringData* pData, int nChars, int nCharSize) {
    if (!ORV_STR_CHECK(nChars > 0, "nChars > 0") ||
        !ORV_STR_CHECK(!pData->IsShared(), "!pData->IsShared()"))
        return nullptr;
    const int64_t nBytes = BlockBytes(nChars, nCharSize);
    if (nBytes < 0)
        return nullptr;
    auto* p = static_cast<COrvStringData*>(
        g_orv_string_alloc.pfnRealloc(pData, static_cast<size_t>(nBytes)));
    if (p == nullptr)
        return nullptr;
    p->m_nAllocLength = CapacityOf(nBytes, nCharSize);
    return p;
}

void OrvStringRelease(COrvStringData* pData, int nCharSize) {
    if (pData->IsStatic())
        return;
    if (g_orv_string_wipe && !pData->IsShared())
        std::memset(pData->data(), 0, static_cast<size_t>(pData->m_nAllocLength) * nCharSize);
    if (__atomic_sub_fetch(&pData->m_nRefs, 1, __ATOMIC_ACQ_REL) <= 0)
        g_orv_string_alloc.pfnFree(pData);
}

// ---- character classes ----

bool OrvInCharRanges(const OrvCharRange* pRanges, int nCount, char16_t ch) {
    int lo = 0;
    int hi = nCount - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        if (ch < pRanges[mid].m_chFirst)
            hi = mid - 1;
        else if (ch > pRanges[mid].m_chLast)
            lo = mid + 1;
        else
            return true;
    }
    return false;
}

const OrvCharRange g_orv_space_ranges[] = {{0x0009, 0x000D}, {0x0020, 0x0020}, {0x00A0, 0x00A0},
                                           {0x2000, 0x200B}, {0x3000, 0x3000}, {0xFEFF, 0xFEFF}};
const int g_orv_space_range_count = 6;

// The letter and letter-or-digit tables were generated once over the Basic Multilingual Plane
// (surrogates excluded) from the C library's iswalpha and iswalnum in the C.UTF-8 locale of
// Debian 12 (glibc 2.36), merging consecutive code points into ranges.
const OrvCharRange g_orv_letter_ranges[] = {
    {0x0041, 0x005A}, {0x0061, 0x007A}, {0x00AA, 0x00AA}, {0x00B5, 0x00B5}, {0x00BA, 0x00BA},
    {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x02C1}, {0x02C6, 0x02D1}, {0x02E0, 0x02E4},
    {0x02EC, 0x02EC}, {0x02EE, 0x02EE}, {0x0345, 0x0345}, {0x0370, 0x0374}, {0x0376, 0x0377},
    {0x037A, 0x037D}, {0x037F, 0x037F}, {0x0386, 0x0386}, {0x0388, 0x038A}, {0x038C, 0x038C},
    {0x038E, 0x03A1}, {0x03A3, 0x03F5}, {0x03F7, 0x0481}, {0x048A, 0x052F}, {0x0531, 0x0556},
    {0x0559, 0x0559}, {0x0560, 0x0588}, {0x05B0, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x05D0, 0x05EA}, {0x05EF, 0x05F2}, {0x0610, 0x061A},
    {0x0620, 0x0657}, {0x0659, 0x0669}, {0x066E, 0x06D3}, {0x06D5, 0x06DC}, {0x06E1, 0x06E8},
    {0x06ED, 0x06FC}, {0x06FF, 0x06FF}, {0x0710, 0x073F}, {0x074D, 0x07B1}, {0x07C0, 0x07EA},
    {0x07F4, 0x07F5}, {0x07FA, 0x07FA}, {0x0800, 0x0817}, {0x081A, 0x082C}, {0x0840, 0x0858},
    {0x0860, 0x086A}, {0x0870, 0x0887}, {0x0889, 0x088E}, {0x08A0, 0x08C9}, {0x08D4, 0x08DF},
    {0x08E3, 0x08E9}, {0x08F0, 0x093B}, {0x093D, 0x094C}, {0x094E, 0x0950}, {0x0955, 0x0963},
    {0x0966, 0x096F}, {0x0971, 0x0983}, {0x0985, 0x098C}, {0x098F, 0x0990}, {0x0993, 0x09A8},
    {0x09AA, 0x09B0}, {0x09B2, 0x09B2}, {0x09B6, 0x09B9}, {0x09BD, 0x09C4}, {0x09C7, 0x09C8},
    {0x09CB, 0x09CC}, {0x09CE, 0x09CE}, {0x09D7, 0x09D7}, {0x09DC, 0x09DD}, {0x09DF, 0x09E3},
    {0x09E6, 0x09F1}, {0x09FC, 0x09FC}, {0x0A01, 0x0A03}, {0x0A05, 0x0A0A}, {0x0A0F, 0x0A10},
    {0x0A13, 0x0A28}, {0x0A2A, 0x0A30}, {0x0A32, 0x0A33}, {0x0A35, 0x0A36}, {0x0A38, 0x0A39},
    {0x0A3E, 0x0A42}, {0x0A47, 0x0A48}, {0x0A4B, 0x0A4C}, {0x0A51, 0x0A51}, {0x0A59, 0x0A5C},
    {0x0A5E, 0x0A5E}, {0x0A66, 0x0A75}, {0x0A81, 0x0A83}, {0x0A85, 0x0A8D}, {0x0A8F, 0x0A91},
    {0x0A93, 0x0AA8}, {0x0AAA, 0x0AB0}, {0x0AB2, 0x0AB3}, {0x0AB5, 0x0AB9}, {0x0ABD, 0x0AC5},
    {0x0AC7, 0x0AC9}, {0x0ACB, 0x0ACC}, {0x0AD0, 0x0AD0}, {0x0AE0, 0x0AE3}, {0x0AE6, 0x0AEF},
    {0x0AF9, 0x0AFC}, {0x0B01, 0x0B03}, {0x0B05, 0x0B0C}, {0x0B0F, 0x0B10}, {0x0B13, 0x0B28},
    {0x0B2A, 0x0B30}, {0x0B32, 0x0B33}, {0x0B35, 0x0B39}, {0x0B3D, 0x0B44}, {0x0B47, 0x0B48},
    {0x0B4B, 0x0B4C}, {0x0B56, 0x0B57}, {0x0B5C, 0x0B5D}, {0x0B5F, 0x0B63}, {0x0B66, 0x0B6F},
    {0x0B71, 0x0B71}, {0x0B82, 0x0B83}, {0x0B85, 0x0B8A}, {0x0B8E, 0x0B90}, {0x0B92, 0x0B95},
    {0x0B99, 0x0B9A}, {0x0B9C, 0x0B9C}, {0x0B9E, 0x0B9F}, {0x0BA3, 0x0BA4}, {0x0BA8, 0x0BAA},
    {0x0BAE, 0x0BB9}, {0x0BBE, 0x0BC2}, {0x0BC6, 0x0BC8}, {0x0BCA, 0x0BCC}, {0x0BD0, 0x0BD0},
    {0x0BD7, 0x0BD7}, {0x0BE6, 0x0BEF}, {0x0C00, 0x0C03}, {0x0C05, 0x0C0C}, {0x0C0E, 0x0C10},
    {0x0C12, 0x0C28}, {0x0C2A, 0x0C39}, {0x0C3D, 0x0C44}, {0x0C46, 0x0C48}, {0x0C4A, 0x0C4C},
    {0x0C55, 0x0C56}, {0x0C58, 0x0C5A}, {0x0C5D, 0x0C5D}, {0x0C60, 0x0C63}, {0x0C66, 0x0C6F},
    {0x0C80, 0x0C83}, {0x0C85, 0x0C8C}, {0x0C8E, 0x0C90}, {0x0C92, 0x0CA8}, {0x0CAA, 0x0CB3},
    {0x0CB5, 0x0CB9}, {0x0CBD, 0x0CC4}, {0x0CC6, 0x0CC8}, {0x0CCA, 0x0CCC}, {0x0CD5, 0x0CD6},
    {0x0CDD, 0x0CDE}, {0x0CE0, 0x0CE3}, {0x0CE6, 0x0CEF}, {0x0CF1, 0x0CF2}, {0x0D00, 0x0D0C},
    {0x0D0E, 0x0D10}, {0x0D12, 0x0D3A}, {0x0D3D, 0x0D44}, {0x0D46, 0x0D48}, {0x0D4A, 0x0D4C},
    {0x0D4E, 0x0D4E}, {0x0D54, 0x0D57}, {0x0D5F, 0x0D63}, {0x0D66, 0x0D6F}, {0x0D7A, 0x0D7F},
    {0x0D81, 0x0D83}, {0x0D85, 0x0D96}, {0x0D9A, 0x0DB1}, {0x0DB3, 0x0DBB}, {0x0DBD, 0x0DBD},
    {0x0DC0, 0x0DC6}, {0x0DCF, 0x0DD4}, {0x0DD6, 0x0DD6}, {0x0DD8, 0x0DDF}, {0x0DE6, 0x0DEF},
    {0x0DF2, 0x0DF3}, {0x0E01, 0x0E3A}, {0x0E40, 0x0E46}, {0x0E4D, 0x0E4D}, {0x0E50, 0x0E59},
    {0x0E81, 0x0E82}, {0x0E84, 0x0E84}, {0x0E86, 0x0E8A}, {0x0E8C, 0x0EA3}, {0x0EA5, 0x0EA5},
    {0x0EA7, 0x0EB9}, {0x0EBB, 0x0EBD}, {0x0EC0, 0x0EC4}, {0x0EC6, 0x0EC6}, {0x0ECD, 0x0ECD},
    {0x0ED0, 0x0ED9}, {0x0EDC, 0x0EDF}, {0x0F00, 0x0F00}, {0x0F20, 0x0F29}, {0x0F40, 0x0F47},
    {0x0F49, 0x0F6C}, {0x0F71, 0x0F81}, {0x0F88, 0x0F97}, {0x0F99, 0x0FBC}, {0x1000, 0x1036},
    {0x1038, 0x1038}, {0x103B, 0x1049}, {0x1050, 0x109D}, {0x10A0, 0x10C5}, {0x10C7, 0x10C7},
    {0x10CD, 0x10CD}, {0x10D0, 0x10FA}, {0x10FC, 0x1248}, {0x124A, 0x124D}, {0x1250, 0x1256},
    {0x1258, 0x1258}, {0x125A, 0x125D}, {0x1260, 0x1288}, {0x128A, 0x128D}, {0x1290, 0x12B0},
    {0x12B2, 0x12B5}, {0x12B8, 0x12BE}, {0x12C0, 0x12C0}, {0x12C2, 0x12C5}, {0x12C8, 0x12D6},
    {0x12D8, 0x1310}, {0x1312, 0x1315}, {0x1318, 0x135A}, {0x1380, 0x138F}, {0x13A0, 0x13F5},
    {0x13F8, 0x13FD}, {0x1401, 0x166C}, {0x166F, 0x167F}, {0x1681, 0x169A}, {0x16A0, 0x16EA},
    {0x16EE, 0x16F8}, {0x1700, 0x1713}, {0x171F, 0x1733}, {0x1740, 0x1753}, {0x1760, 0x176C},
    {0x176E, 0x1770}, {0x1772, 0x1773}, {0x1780, 0x17B3}, {0x17B6, 0x17C8}, {0x17D7, 0x17D7},
    {0x17DC, 0x17DC}, {0x17E0, 0x17E9}, {0x1810, 0x1819}, {0x1820, 0x1878}, {0x1880, 0x18AA},
    {0x18B0, 0x18F5}, {0x1900, 0x191E}, {0x1920, 0x192B}, {0x1930, 0x1938}, {0x1946, 0x196D},
    {0x1970, 0x1974}, {0x1980, 0x19AB}, {0x19B0, 0x19C9}, {0x19D0, 0x19D9}, {0x1A00, 0x1A1B},
    {0x1A20, 0x1A5E}, {0x1A61, 0x1A74}, {0x1A80, 0x1A89}, {0x1A90, 0x1A99}, {0x1AA7, 0x1AA7},
    {0x1ABF, 0x1AC0}, {0x1ACC, 0x1ACE}, {0x1B00, 0x1B33}, {0x1B35, 0x1B43}, {0x1B45, 0x1B4C},
    {0x1B50, 0x1B59}, {0x1B80, 0x1BA9}, {0x1BAC, 0x1BE5}, {0x1BE7, 0x1BF1}, {0x1C00, 0x1C36},
    {0x1C40, 0x1C49}, {0x1C4D, 0x1C7D}, {0x1C80, 0x1C88}, {0x1C90, 0x1CBA}, {0x1CBD, 0x1CBF},
    {0x1CE9, 0x1CEC}, {0x1CEE, 0x1CF3}, {0x1CF5, 0x1CF6}, {0x1CFA, 0x1CFA}, {0x1D00, 0x1DBF},
    {0x1DE7, 0x1DF4}, {0x1E00, 0x1F15}, {0x1F18, 0x1F1D}, {0x1F20, 0x1F45}, {0x1F48, 0x1F4D},
    {0x1F50, 0x1F57}, {0x1F59, 0x1F59}, {0x1F5B, 0x1F5B}, {0x1F5D, 0x1F5D}, {0x1F5F, 0x1F7D},
    {0x1F80, 0x1FB4}, {0x1FB6, 0x1FBC}, {0x1FBE, 0x1FBE}, {0x1FC2, 0x1FC4}, {0x1FC6, 0x1FCC},
    {0x1FD0, 0x1FD3}, {0x1FD6, 0x1FDB}, {0x1FE0, 0x1FEC}, {0x1FF2, 0x1FF4}, {0x1FF6, 0x1FFC},
    {0x2071, 0x2071}, {0x207F, 0x207F}, {0x2090, 0x209C}, {0x2102, 0x2102}, {0x2107, 0x2107},
    {0x210A, 0x2113}, {0x2115, 0x2115}, {0x2119, 0x211D}, {0x2124, 0x2124}, {0x2126, 0x2126},
    {0x2128, 0x2128}, {0x212A, 0x212D}, {0x212F, 0x2139}, {0x213C, 0x213F}, {0x2145, 0x2149},
    {0x214E, 0x214E}, {0x2160, 0x2188}, {0x24B6, 0x24E9}, {0x2C00, 0x2CE4}, {0x2CEB, 0x2CEE},
    {0x2CF2, 0x2CF3}, {0x2D00, 0x2D25}, {0x2D27, 0x2D27}, {0x2D2D, 0x2D2D}, {0x2D30, 0x2D67},
    {0x2D6F, 0x2D6F}, {0x2D80, 0x2D96}, {0x2DA0, 0x2DA6}, {0x2DA8, 0x2DAE}, {0x2DB0, 0x2DB6},
    {0x2DB8, 0x2DBE}, {0x2DC0, 0x2DC6}, {0x2DC8, 0x2DCE}, {0x2DD0, 0x2DD6}, {0x2DD8, 0x2DDE},
    {0x2DE0, 0x2DFF}, {0x2E2F, 0x2E2F}, {0x3005, 0x3007}, {0x3021, 0x3029}, {0x3031, 0x3035},
    {0x3038, 0x303C}, {0x3041, 0x3096}, {0x309D, 0x309F}, {0x30A1, 0x30FA}, {0x30FC, 0x30FF},
    {0x3105, 0x312F}, {0x3131, 0x318E}, {0x31A0, 0x31BF}, {0x31F0, 0x31FF}, {0x3400, 0x4DBF},
    {0x4E00, 0xA48C}, {0xA4D0, 0xA4FD}, {0xA500, 0xA60C}, {0xA610, 0xA62B}, {0xA640, 0xA66E},
    {0xA674, 0xA67B}, {0xA67F, 0xA6EF}, {0xA717, 0xA71F}, {0xA722, 0xA788}, {0xA78B, 0xA7CA},
    {0xA7D0, 0xA7D1}, {0xA7D3, 0xA7D3}, {0xA7D5, 0xA7D9}, {0xA7F2, 0xA805}, {0xA807, 0xA827},
    {0xA840, 0xA873}, {0xA880, 0xA8C3}, {0xA8C5, 0xA8C5}, {0xA8D0, 0xA8D9}, {0xA8F2, 0xA8F7},
    {0xA8FB, 0xA8FB}, {0xA8FD, 0xA92A}, {0xA930, 0xA952}, {0xA960, 0xA97C}, {0xA980, 0xA9B2},
    {0xA9B4, 0xA9BF}, {0xA9CF, 0xA9D9}, {0xA9E0, 0xA9FE}, {0xAA00, 0xAA36}, {0xAA40, 0xAA4D},
    {0xAA50, 0xAA59}, {0xAA60, 0xAA76}, {0xAA7A, 0xAABE}, {0xAAC0, 0xAAC0}, {0xAAC2, 0xAAC2},
    {0xAADB, 0xAADD}, {0xAAE0, 0xAAEF}, {0xAAF2, 0xAAF5}, {0xAB01, 0xAB06}, {0xAB09, 0xAB0E},
    {0xAB11, 0xAB16}, {0xAB20, 0xAB26}, {0xAB28, 0xAB2E}, {0xAB30, 0xAB5A}, {0xAB5C, 0xAB69},
    {0xAB70, 0xABEA}, {0xABF0, 0xABF9}, {0xAC00, 0xD7A3}, {0xD7B0, 0xD7C6}, {0xD7CB, 0xD7FB},
    {0xF900, 0xFA6D}, {0xFA70, 0xFAD9}, {0xFB00, 0xFB06}, {0xFB13, 0xFB17}, {0xFB1D, 0xFB28},
    {0xFB2A, 0xFB36}, {0xFB38, 0xFB3C}, {0xFB3E, 0xFB3E}, {0xFB40, 0xFB41}, {0xFB43, 0xFB44},
    {0xFB46, 0xFBB1}, {0xFBD3, 0xFD3D}, {0xFD50, 0xFD8F}, {0xFD92, 0xFDC7}, {0xFDF0, 0xFDFB},
    {0xFE70, 0xFE74}, {0xFE76, 0xFEFC}, {0xFF10, 0xFF19}, {0xFF21, 0xFF3A}, {0xFF41, 0xFF5A},
    {0xFF66, 0xFFBE}, {0xFFC2, 0xFFC7}, {0xFFCA, 0xFFCF}, {0xFFD2, 0xFFD7}, {0xFFDA, 0xFFDC},
};
const int g_orv_letter_range_count = 435;

const OrvCharRange g_orv_letter_digit_ranges[] = {
    {0x0030, 0x0039}, {0x0041, 0x005A}, {0x0061, 0x007A}, {0x00AA, 0x00AA}, {0x00B5, 0x00B5},
    {0x00BA, 0x00BA}, {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x02C1}, {0x02C6, 0x02D1},
    {0x02E0, 0x02E4}, {0x02EC, 0x02EC}, {0x02EE, 0x02EE}, {0x0345, 0x0345}, {0x0370, 0x0374},
    {0x0376, 0x0377}, {0x037A, 0x037D}, {0x037F, 0x037F}, {0x0386, 0x0386}, {0x0388, 0x038A},
    {0x038C, 0x038C}, {0x038E, 0x03A1}, {0x03A3, 0x03F5}, {0x03F7, 0x0481}, {0x048A, 0x052F},
    {0x0531, 0x0556}, {0x0559, 0x0559}, {0x0560, 0x0588}, {0x05B0, 0x05BD}, {0x05BF, 0x05BF},
    {0x05C1, 0x05C2}, {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x05D0, 0x05EA}, {0x05EF, 0x05F2},
    {0x0610, 0x061A}, {0x0620, 0x0657}, {0x0659, 0x0669}, {0x066E, 0x06D3}, {0x06D5, 0x06DC},
    {0x06E1, 0x06E8}, {0x06ED, 0x06FC}, {0x06FF, 0x06FF}, {0x0710, 0x073F}, {0x074D, 0x07B1},
    {0x07C0, 0x07EA}, {0x07F4, 0x07F5}, {0x07FA, 0x07FA}, {0x0800, 0x0817}, {0x081A, 0x082C},
    {0x0840, 0x0858}, {0x0860, 0x086A}, {0x0870, 0x0887}, {0x0889, 0x088E}, {0x08A0, 0x08C9},
    {0x08D4, 0x08DF}, {0x08E3, 0x08E9}, {0x08F0, 0x093B}, {0x093D, 0x094C}, {0x094E, 0x0950},
    {0x0955, 0x0963}, {0x0966, 0x096F}, {0x0971, 0x0983}, {0x0985, 0x098C}, {0x098F, 0x0990},
    {0x0993, 0x09A8}, {0x09AA, 0x09B0}, {0x09B2, 0x09B2}, {0x09B6, 0x09B9}, {0x09BD, 0x09C4},
    {0x09C7, 0x09C8}, {0x09CB, 0x09CC}, {0x09CE, 0x09CE}, {0x09D7, 0x09D7}, {0x09DC, 0x09DD},
    {0x09DF, 0x09E3}, {0x09E6, 0x09F1}, {0x09FC, 0x09FC}, {0x0A01, 0x0A03}, {0x0A05, 0x0A0A},
    {0x0A0F, 0x0A10}, {0x0A13, 0x0A28}, {0x0A2A, 0x0A30}, {0x0A32, 0x0A33}, {0x0A35, 0x0A36},
    {0x0A38, 0x0A39}, {0x0A3E, 0x0A42}, {0x0A47, 0x0A48}, {0x0A4B, 0x0A4C}, {0x0A51, 0x0A51},
    {0x0A59, 0x0A5C}, {0x0A5E, 0x0A5E}, {0x0A66, 0x0A75}, {0x0A81, 0x0A83}, {0x0A85, 0x0A8D},
    {0x0A8F, 0x0A91}, {0x0A93, 0x0AA8}, {0x0AAA, 0x0AB0}, {0x0AB2, 0x0AB3}, {0x0AB5, 0x0AB9},
    {0x0ABD, 0x0AC5}, {0x0AC7, 0x0AC9}, {0x0ACB, 0x0ACC}, {0x0AD0, 0x0AD0}, {0x0AE0, 0x0AE3},
    {0x0AE6, 0x0AEF}, {0x0AF9, 0x0AFC}, {0x0B01, 0x0B03}, {0x0B05, 0x0B0C}, {0x0B0F, 0x0B10},
    {0x0B13, 0x0B28}, {0x0B2A, 0x0B30}, {0x0B32, 0x0B33}, {0x0B35, 0x0B39}, {0x0B3D, 0x0B44},
    {0x0B47, 0x0B48}, {0x0B4B, 0x0B4C}, {0x0B56, 0x0B57}, {0x0B5C, 0x0B5D}, {0x0B5F, 0x0B63},
    {0x0B66, 0x0B6F}, {0x0B71, 0x0B71}, {0x0B82, 0x0B83}, {0x0B85, 0x0B8A}, {0x0B8E, 0x0B90},
    {0x0B92, 0x0B95}, {0x0B99, 0x0B9A}, {0x0B9C, 0x0B9C}, {0x0B9E, 0x0B9F}, {0x0BA3, 0x0BA4},
    {0x0BA8, 0x0BAA}, {0x0BAE, 0x0BB9}, {0x0BBE, 0x0BC2}, {0x0BC6, 0x0BC8}, {0x0BCA, 0x0BCC},
    {0x0BD0, 0x0BD0}, {0x0BD7, 0x0BD7}, {0x0BE6, 0x0BEF}, {0x0C00, 0x0C03}, {0x0C05, 0x0C0C},
    {0x0C0E, 0x0C10}, {0x0C12, 0x0C28}, {0x0C2A, 0x0C39}, {0x0C3D, 0x0C44}, {0x0C46, 0x0C48},
    {0x0C4A, 0x0C4C}, {0x0C55, 0x0C56}, {0x0C58, 0x0C5A}, {0x0C5D, 0x0C5D}, {0x0C60, 0x0C63},
    {0x0C66, 0x0C6F}, {0x0C80, 0x0C83}, {0x0C85, 0x0C8C}, {0x0C8E, 0x0C90}, {0x0C92, 0x0CA8},
    {0x0CAA, 0x0CB3}, {0x0CB5, 0x0CB9}, {0x0CBD, 0x0CC4}, {0x0CC6, 0x0CC8}, {0x0CCA, 0x0CCC},
    {0x0CD5, 0x0CD6}, {0x0CDD, 0x0CDE}, {0x0CE0, 0x0CE3}, {0x0CE6, 0x0CEF}, {0x0CF1, 0x0CF2},
    {0x0D00, 0x0D0C}, {0x0D0E, 0x0D10}, {0x0D12, 0x0D3A}, {0x0D3D, 0x0D44}, {0x0D46, 0x0D48},
    {0x0D4A, 0x0D4C}, {0x0D4E, 0x0D4E}, {0x0D54, 0x0D57}, {0x0D5F, 0x0D63}, {0x0D66, 0x0D6F},
    {0x0D7A, 0x0D7F}, {0x0D81, 0x0D83}, {0x0D85, 0x0D96}, {0x0D9A, 0x0DB1}, {0x0DB3, 0x0DBB},
    {0x0DBD, 0x0DBD}, {0x0DC0, 0x0DC6}, {0x0DCF, 0x0DD4}, {0x0DD6, 0x0DD6}, {0x0DD8, 0x0DDF},
    {0x0DE6, 0x0DEF}, {0x0DF2, 0x0DF3}, {0x0E01, 0x0E3A}, {0x0E40, 0x0E46}, {0x0E4D, 0x0E4D},
    {0x0E50, 0x0E59}, {0x0E81, 0x0E82}, {0x0E84, 0x0E84}, {0x0E86, 0x0E8A}, {0x0E8C, 0x0EA3},
    {0x0EA5, 0x0EA5}, {0x0EA7, 0x0EB9}, {0x0EBB, 0x0EBD}, {0x0EC0, 0x0EC4}, {0x0EC6, 0x0EC6},
    {0x0ECD, 0x0ECD}, {0x0ED0, 0x0ED9}, {0x0EDC, 0x0EDF}, {0x0F00, 0x0F00}, {0x0F20, 0x0F29},
    {0x0F40, 0x0F47}, {0x0F49, 0x0F6C}, {0x0F71, 0x0F81}, {0x0F88, 0x0F97}, {0x0F99, 0x0FBC},
    {0x1000, 0x1036}, {0x1038, 0x1038}, {0x103B, 0x1049}, {0x1050, 0x109D}, {0x10A0, 0x10C5},
    {0x10C7, 0x10C7}, {0x10CD, 0x10CD}, {0x10D0, 0x10FA}, {0x10FC, 0x1248}, {0x124A, 0x124D},
    {0x1250, 0x1256}, {0x1258, 0x1258}, {0x125A, 0x125D}, {0x1260, 0x1288}, {0x128A, 0x128D},
    {0x1290, 0x12B0}, {0x12B2, 0x12B5}, {0x12B8, 0x12BE}, {0x12C0, 0x12C0}, {0x12C2, 0x12C5},
    {0x12C8, 0x12D6}, {0x12D8, 0x1310}, {0x1312, 0x1315}, {0x1318, 0x135A}, {0x1380, 0x138F},
    {0x13A0, 0x13F5}, {0x13F8, 0x13FD}, {0x1401, 0x166C}, {0x166F, 0x167F}, {0x1681, 0x169A},
    {0x16A0, 0x16EA}, {0x16EE, 0x16F8}, {0x1700, 0x1713}, {0x171F, 0x1733}, {0x1740, 0x1753},
    {0x1760, 0x176C}, {0x176E, 0x1770}, {0x1772, 0x1773}, {0x1780, 0x17B3}, {0x17B6, 0x17C8},
    {0x17D7, 0x17D7}, {0x17DC, 0x17DC}, {0x17E0, 0x17E9}, {0x1810, 0x1819}, {0x1820, 0x1878},
    {0x1880, 0x18AA}, {0x18B0, 0x18F5}, {0x1900, 0x191E}, {0x1920, 0x192B}, {0x1930, 0x1938},
    {0x1946, 0x196D}, {0x1970, 0x1974}, {0x1980, 0x19AB}, {0x19B0, 0x19C9}, {0x19D0, 0x19D9},
    {0x1A00, 0x1A1B}, {0x1A20, 0x1A5E}, {0x1A61, 0x1A74}, {0x1A80, 0x1A89}, {0x1A90, 0x1A99},
    {0x1AA7, 0x1AA7}, {0x1ABF, 0x1AC0}, {0x1ACC, 0x1ACE}, {0x1B00, 0x1B33}, {0x1B35, 0x1B43},
    {0x1B45, 0x1B4C}, {0x1B50, 0x1B59}, {0x1B80, 0x1BA9}, {0x1BAC, 0x1BE5}, {0x1BE7, 0x1BF1},
    {0x1C00, 0x1C36}, {0x1C40, 0x1C49}, {0x1C4D, 0x1C7D}, {0x1C80, 0x1C88}, {0x1C90, 0x1CBA},
    {0x1CBD, 0x1CBF}, {0x1CE9, 0x1CEC}, {0x1CEE, 0x1CF3}, {0x1CF5, 0x1CF6}, {0x1CFA, 0x1CFA},
    {0x1D00, 0x1DBF}, {0x1DE7, 0x1DF4}, {0x1E00, 0x1F15}, {0x1F18, 0x1F1D}, {0x1F20, 0x1F45},
    {0x1F48, 0x1F4D}, {0x1F50, 0x1F57}, {0x1F59, 0x1F59}, {0x1F5B, 0x1F5B}, {0x1F5D, 0x1F5D},
    {0x1F5F, 0x1F7D}, {0x1F80, 0x1FB4}, {0x1FB6, 0x1FBC}, {0x1FBE, 0x1FBE}, {0x1FC2, 0x1FC4},
    {0x1FC6, 0x1FCC}, {0x1FD0, 0x1FD3}, {0x1FD6, 0x1FDB}, {0x1FE0, 0x1FEC}, {0x1FF2, 0x1FF4},
    {0x1FF6, 0x1FFC}, {0x2071, 0x2071}, {0x207F, 0x207F}, {0x2090, 0x209C}, {0x2102, 0x2102},
    {0x2107, 0x2107}, {0x210A, 0x2113}, {0x2115, 0x2115}, {0x2119, 0x211D}, {0x2124, 0x2124},
    {0x2126, 0x2126}, {0x2128, 0x2128}, {0x212A, 0x212D}, {0x212F, 0x2139}, {0x213C, 0x213F},
    {0x2145, 0x2149}, {0x214E, 0x214E}, {0x2160, 0x2188}, {0x24B6, 0x24E9}, {0x2C00, 0x2CE4},
    {0x2CEB, 0x2CEE}, {0x2CF2, 0x2CF3}, {0x2D00, 0x2D25}, {0x2D27, 0x2D27}, {0x2D2D, 0x2D2D},
    {0x2D30, 0x2D67}, {0x2D6F, 0x2D6F}, {0x2D80, 0x2D96}, {0x2DA0, 0x2DA6}, {0x2DA8, 0x2DAE},
    {0x2DB0, 0x2DB6}, {0x2DB8, 0x2DBE}, {0x2DC0, 0x2DC6}, {0x2DC8, 0x2DCE}, {0x2DD0, 0x2DD6},
    {0x2DD8, 0x2DDE}, {0x2DE0, 0x2DFF}, {0x2E2F, 0x2E2F}, {0x3005, 0x3007}, {0x3021, 0x3029},
    {0x3031, 0x3035}, {0x3038, 0x303C}, {0x3041, 0x3096}, {0x309D, 0x309F}, {0x30A1, 0x30FA},
    {0x30FC, 0x30FF}, {0x3105, 0x312F}, {0x3131, 0x318E}, {0x31A0, 0x31BF}, {0x31F0, 0x31FF},
    {0x3400, 0x4DBF}, {0x4E00, 0xA48C}, {0xA4D0, 0xA4FD}, {0xA500, 0xA60C}, {0xA610, 0xA62B},
    {0xA640, 0xA66E}, {0xA674, 0xA67B}, {0xA67F, 0xA6EF}, {0xA717, 0xA71F}, {0xA722, 0xA788},
    {0xA78B, 0xA7CA}, {0xA7D0, 0xA7D1}, {0xA7D3, 0xA7D3}, {0xA7D5, 0xA7D9}, {0xA7F2, 0xA805},
    {0xA807, 0xA827}, {0xA840, 0xA873}, {0xA880, 0xA8C3}, {0xA8C5, 0xA8C5}, {0xA8D0, 0xA8D9},
    {0xA8F2, 0xA8F7}, {0xA8FB, 0xA8FB}, {0xA8FD, 0xA92A}, {0xA930, 0xA952}, {0xA960, 0xA97C},
    {0xA980, 0xA9B2}, {0xA9B4, 0xA9BF}, {0xA9CF, 0xA9D9}, {0xA9E0, 0xA9FE}, {0xAA00, 0xAA36},
    {0xAA40, 0xAA4D}, {0xAA50, 0xAA59}, {0xAA60, 0xAA76}, {0xAA7A, 0xAABE}, {0xAAC0, 0xAAC0},
    {0xAAC2, 0xAAC2}, {0xAADB, 0xAADD}, {0xAAE0, 0xAAEF}, {0xAAF2, 0xAAF5}, {0xAB01, 0xAB06},
    {0xAB09, 0xAB0E}, {0xAB11, 0xAB16}, {0xAB20, 0xAB26}, {0xAB28, 0xAB2E}, {0xAB30, 0xAB5A},
    {0xAB5C, 0xAB69}, {0xAB70, 0xABEA}, {0xABF0, 0xABF9}, {0xAC00, 0xD7A3}, {0xD7B0, 0xD7C6},
    {0xD7CB, 0xD7FB}, {0xF900, 0xFA6D}, {0xFA70, 0xFAD9}, {0xFB00, 0xFB06}, {0xFB13, 0xFB17},
    {0xFB1D, 0xFB28}, {0xFB2A, 0xFB36}, {0xFB38, 0xFB3C}, {0xFB3E, 0xFB3E}, {0xFB40, 0xFB41},
    {0xFB43, 0xFB44}, {0xFB46, 0xFBB1}, {0xFBD3, 0xFD3D}, {0xFD50, 0xFD8F}, {0xFD92, 0xFDC7},
    {0xFDF0, 0xFDFB}, {0xFE70, 0xFE74}, {0xFE76, 0xFEFC}, {0xFF10, 0xFF19}, {0xFF21, 0xFF3A},
    {0xFF41, 0xFF5A}, {0xFF66, 0xFFBE}, {0xFFC2, 0xFFC7}, {0xFFCA, 0xFFCF}, {0xFFD2, 0xFFD7},
    {0xFFDA, 0xFFDC},
};
const int g_orv_letter_digit_range_count = 436;

bool OrvIsSpaceW(OrvWChar ch) {
    if (ch > 0x20 && ch < 0xA0)
        return false;
    return OrvInCharRanges(g_orv_space_ranges, g_orv_space_range_count, ch);
}

bool OrvIsLetterW(OrvWChar ch) {
    return OrvInCharRanges(g_orv_letter_ranges, g_orv_letter_range_count, ch);
}

bool OrvIsLetterOrDigitW(OrvWChar ch) {
    return OrvInCharRanges(g_orv_letter_digit_ranges, g_orv_letter_digit_range_count, ch);
}

// ---- the string ----

namespace {

template <typename T>
inline bool IsSpaceT(T ch) {
    if constexpr (sizeof(T) == 1)
        return OrvIsSpaceA(ch);
    else
        return OrvIsSpaceW(ch);
}

template <typename T>
inline void CopyChars(T* pDst, const T* pSrc, int n) {
    if (n > 0)
        std::memmove(pDst, pSrc, static_cast<size_t>(n) * sizeof(T));
}

template <typename T>
inline bool PointsInto(const T* p, const T* pBegin, int nLen) {
    return p >= pBegin && p <= pBegin + nLen;
}

// First occurrence of the nSub characters of pSub within [p, p + n), or null.
template <typename T>
const T* FindSub(const T* p, int n, const T* pSub, int nSub) {
    if constexpr (sizeof(T) == 1) {
        return static_cast<const T*>(memmem(p, n, pSub, nSub));
    } else {
        const T* pEnd = p + n - nSub;
        for (; p <= pEnd; ++p) {
            if (*p == *pSub && std::memcmp(p, pSub, nSub * sizeof(T)) == 0)
                return p;
        }
        return nullptr;
    }
}

}  // namespace

template <typename T>
COrvStringT<T>::COrvStringT(const COrvStringT& src) : m_pszData(NilChars()) {
    operator=(src);
}

template <typename T>
COrvStringT<T>::COrvStringT(const T* psz) : m_pszData(NilChars()) {
    SetString(psz, StringLength(psz));
}

template <typename T>
COrvStringT<T>::COrvStringT(const T* pch, int nLength) : m_pszData(NilChars()) {
    if (nLength != 0 && !ORV_STR_CHECK(pch != nullptr, "pch!=NULL"))
        return;
    SetString(pch, nLength);
}

template <typename T>
COrvStringT<T>::COrvStringT(T ch, int nRepeat) : m_pszData(NilChars()) {
    if (!ORV_STR_CHECK(nRepeat >= 0, "nLength >= 0") || nRepeat == 0)
        return;
    T* p = GetBuffer(nRepeat);
    if (p == nullptr)
        return;
    for (int i = 0; i < nRepeat; ++i)
        p[i] = ch;
    SetLength(nRepeat);
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(const COrvStringT& src) {
    COrvStringData* pSrc = src.GetData();
    if (pSrc == GetData())
        return *this;
    if (pSrc->IsStatic()) {
        OrvStringRelease(GetData(), sizeof(T));
        Attach(pSrc);
    } else if (__atomic_load_n(&pSrc->m_nRefs, __ATOMIC_RELAXED) >= 0) {
        pSrc->AddRef();
        OrvStringRelease(GetData(), sizeof(T));
        Attach(pSrc);
    } else {
        // A locked block is never shared: copy it.
        SetString(src.m_pszData, src.GetLength());
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(COrvStringT&& src) noexcept {
    if (this != &src) {
        OrvStringRelease(GetData(), sizeof(T));
        m_pszData = src.m_pszData;
        src.m_pszData = NilChars();
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(const T* psz) {
    SetString(psz);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(T ch) {
    SetString(&ch, 1);
    return *this;
}

template <typename T>
bool COrvStringT<T>::SetString(const T* psz) {
    return SetString(psz, StringLength(psz));
}

template <typename T>
bool COrvStringT<T>::SetString(const T* pch, int nLength) {
    if (!ORV_STR_CHECK(nLength == 0 || (pch != nullptr && nLength >= 0),
                       "nLength==0 || (pch!=NULL && nLength>=0)"))
        return false;
    if (nLength == 0) {
        Empty();
        return true;
    }
    const int nOld = GetLength();
    const bool bInside = PointsInto(pch, m_pszData, nOld);
    const ptrdiff_t nOffset = pch - m_pszData;
    COrvStringData* pData = GetData();
    if (!bInside && (pData->IsStatic() || pData->IsShared() || pData->m_nAllocLength < nLength)) {
        // Fresh block: no need to copy the old text first.
        COrvStringData* pNew = OrvStringAllocate(nLength, sizeof(T));
        if (pNew == nullptr)
            return false;
        T* p = static_cast<T*>(pNew->data());
        CopyChars(p, pch, nLength);
        p[nLength] = 0;
        pNew->m_nDataLength = nLength;
        if (pData->IsLocked()) {
            // Keep the lock on the new block.
            pNew->m_nRefs = pData->m_nRefs;
        }
        OrvStringRelease(pData, sizeof(T));
        Attach(pNew);
        return true;
    }
    if (!PrepareWrite(nLength))
        return false;
    if (bInside)
        pch = m_pszData + nOffset;
    CopyChars(m_pszData, pch, nLength);
    SetLength(nLength);
    return true;
}

template <typename T>
T COrvStringT<T>::GetAt(int iChar) const {
    if (!ORV_STR_CHECK((iChar >= 0) && (iChar <= GetLength()),
                       "(iChar >= 0) && (iChar <= GetLength())"))
        return 0;
    return m_pszData[iChar];
}

template <typename T>
int COrvStringT<T>::Compare(const T* psz) const {
    using U = std::make_unsigned_t<T>;
    const U* a = reinterpret_cast<const U*>(m_pszData);
    const U* b = reinterpret_cast<const U*>(psz != nullptr ? psz : NilChars());
    while (*a == *b && *a != 0) {
        ++a;
        ++b;
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

template <typename T>
int COrvStringT<T>::CompareNoCase(const T* psz) const {
    using U = std::make_unsigned_t<T>;
    const U* a = reinterpret_cast<const U*>(m_pszData);
    const U* b = reinterpret_cast<const U*>(psz != nullptr ? psz : NilChars());
    for (;; ++a, ++b) {
        int ca = *a;
        int cb = *b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 32;
        if (cb >= 'A' && cb <= 'Z')
            cb += 32;
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

template <typename T>
bool COrvStringT<T>::Equals(const COrvStringT& other) const {
    const int n = GetLength();
    return n == other.GetLength() &&
           std::memcmp(m_pszData, other.m_pszData, static_cast<size_t>(n) * sizeof(T)) == 0;
}

template <typename T>
bool COrvStringT<T>::PrepareWrite(int nNeeded) {
    const int nOld = GetLength();
    if (nNeeded < nOld)
        nNeeded = nOld;
    COrvStringData* pData = GetData();
    if (pData->IsStatic() || pData->IsShared()) {
        COrvStringData* pNew = OrvStringAllocate(nNeeded, sizeof(T));
        if (pNew == nullptr)
            return false;
        const int nCopy = nOld < nNeeded ? nOld : nNeeded;
        T* p = static_cast<T*>(pNew->data());
        CopyChars(p, m_pszData, nCopy);
        p[nCopy] = 0;
        pNew->m_nDataLength = nCopy;
        OrvStringRelease(pData, sizeof(T));
        Attach(pNew);
        return true;
    }
    if (nNeeded <= pData->m_nAllocLength)
        return true;
    const int64_t nCap = pData->m_nAllocLength;
    int64_t nReq = nCap <= 1024 ? nCap * 2 : nCap + 1024;
    if (nReq < nNeeded)
        nReq = nNeeded;
    if (nReq > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        nReq = nNeeded;
    COrvStringData* pNew = OrvStringReallocate(pData, static_cast<int>(nReq), sizeof(T));
    if (pNew == nullptr)
        return false;
    Attach(pNew);
    m_pszData[nReq] = 0;
    return true;
}

template <typename T>
void COrvStringT<T>::SetLength(int nLength) {
    COrvStringData* pData = GetData();
    if (!ORV_STR_CHECK(nLength >= 0, "nLength >= 0"))
        return;
    if (!ORV_STR_CHECK(nLength <= GetAllocLength(), "nLength <= GetAllocLength(pData)"))
        return;
    if (pData->IsStatic())
        return;  // the empty block keeps its length 0
    pData->SetDataLength(nLength);
    m_pszData[nLength] = 0;
}

template <typename T>
bool COrvStringT<T>::SetAt(int iChar, T ch) {
    if (!ORV_STR_CHECK(iChar >= 0 && iChar < GetLength(), "iChar >= 0 && iChar < GetLength()"))
        return false;
    if (!PrepareWrite(0))
        return false;
    m_pszData[iChar] = ch;
    return true;
}

template <typename T>
bool COrvStringT<T>::Append(const T* pch, int nLength) {
    if (nLength <= 0)
        return nLength == 0;
    if (!ORV_STR_CHECK(pch != nullptr, "pszSrc!=NULL"))
        return false;
    const int nOld = GetLength();
    if (nLength > 0x7FFFFFF0 / static_cast<int>(sizeof(T)) - nOld)
        return false;
    const ptrdiff_t nOffset = pch - m_pszData;
    const bool bInside = PointsInto(pch, m_pszData, nOld);
    if (GetBufferSetLength(nOld + nLength) == nullptr)
        return false;
    if (bInside)
        pch = m_pszData + nOffset;
    CopyChars(m_pszData + nOld, pch, nLength);
    return true;
}

template <typename T>
bool COrvStringT<T>::Append(const T* psz) {
    return Append(psz, StringLength(psz));
}

template <typename T>
bool COrvStringT<T>::Append(const COrvStringT& str) {
    if (IsEmpty() && !GetData()->IsLocked()) {
        operator=(str);
        return true;
    }
    return Append(str.m_pszData, str.GetLength());
}

template <typename T>
bool COrvStringT<T>::AppendCharSlow(T ch) {
    const int nOld = GetLength();
    if (!PrepareWrite(nOld + 1))
        return false;
    m_pszData[nOld] = ch;
    SetLength(nOld + 1);
    return true;
}

template <typename T>
int COrvStringT<T>::Insert(int iIndex, const T* psz) {
    const int nOld = GetLength();
    if (iIndex < 0)
        iIndex = 0;
    if (iIndex > nOld)
        iIndex = nOld;
    const int nIns = StringLength(psz);
    if (nIns == 0)
        return nOld;
    if (PointsInto(psz, m_pszData, nOld)) {
        const COrvStringT copy(psz, nIns);
        if (copy.GetLength() != nIns)
            return nOld;
        return Insert(iIndex, copy.m_pszData);
    }
    if (nIns > 0x7FFFFFF0 / static_cast<int>(sizeof(T)) - nOld)
        return nOld;
    if (!PrepareWrite(nOld + nIns))
        return nOld;
    CopyChars(m_pszData + iIndex + nIns, m_pszData + iIndex, nOld - iIndex);
    CopyChars(m_pszData + iIndex, psz, nIns);
    SetLength(nOld + nIns);
    return nOld + nIns;
}

template <typename T>
int COrvStringT<T>::Insert(int iIndex, T ch) {
    const T a[2] = {ch, 0};
    if (ch == 0)
        return GetLength();
    return Insert(iIndex, a);
}

template <typename T>
int COrvStringT<T>::Delete(int iIndex, int nCount) {
    const int nOld = GetLength();
    if (iIndex < 0)
        iIndex = 0;
    if (nCount <= 0 || iIndex >= nOld)
        return nOld;
    if (nCount > nOld - iIndex)
        nCount = nOld - iIndex;
    if (!PrepareWrite(0))
        return nOld;
    CopyChars(m_pszData + iIndex, m_pszData + iIndex + nCount, nOld - iIndex - nCount);
    SetLength(nOld - nCount);
    return nOld - nCount;
}

template <typename T>
int COrvStringT<T>::Remove(T ch) {
    const int nOld = GetLength();
    int i = 0;
    while (i < nOld && m_pszData[i] != ch)
        ++i;
    if (i == nOld || !PrepareWrite(0))
        return 0;
    int w = i;
    for (; i < nOld; ++i) {
        if (m_pszData[i] != ch)
            m_pszData[w++] = m_pszData[i];
    }
    SetLength(w);
    return nOld - w;
}

template <typename T>
int COrvStringT<T>::Replace(const T* pszOld, const T* pszNew) {
    const int nOldSub = StringLength(pszOld);
    if (nOldSub == 0)
        return 0;
    const int nLen = GetLength();
    // Arguments inside our own characters are copied first: the buffer is rewritten below.
    if (PointsInto(pszOld, m_pszData, nLen) || PointsInto(pszNew, m_pszData, nLen)) {
        const COrvStringT a(pszOld);
        const COrvStringT b(pszNew);
        if (a.GetLength() != nOldSub || b.GetLength() != StringLength(pszNew))
            return 0;
        return Replace(a.m_pszData, b.m_pszData);
    }
    const int nNewSub = StringLength(pszNew);
    // Pass 1: count. pszOld holds no NUL, so no match crosses a NUL-separated segment.
    int nCount = 0;
    for (const T* p = m_pszData;
         (p = FindSub(p, static_cast<int>(m_pszData + nLen - p), pszOld, nOldSub)) != nullptr;
         p += nOldSub)
        ++nCount;
    if (nCount == 0)
        return 0;
    const int64_t nNewLen64 = nLen + static_cast<int64_t>(nNewSub - nOldSub) * nCount;
    if (nNewLen64 > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        return 0;
    const int nNewLen = static_cast<int>(nNewLen64);
    if (!PrepareWrite(nNewLen > nLen ? nNewLen : nLen))
        return 0;
    // Pass 2: when growing, move the text to the end of the buffer first, then rebuild it from
    // the front; the write position never overtakes the read position.
    const int nShift = nNewLen > nLen ? nNewLen - nLen : 0;
    CopyChars(m_pszData + nShift, m_pszData, nLen);
    const T* r = m_pszData + nShift;
    const T* rEnd = r + nLen;
    T* w = m_pszData;
    while (r < rEnd) {
        const T* m = FindSub(r, static_cast<int>(rEnd - r), pszOld, nOldSub);
        const T* pStop = m != nullptr ? m : rEnd;
        const int nPlain = static_cast<int>(pStop - r);
        CopyChars(w, r, nPlain);
        w += nPlain;
        r = pStop;
        if (m == nullptr)
            break;
        CopyChars(w, pszNew, nNewSub);
        w += nNewSub;
        r += nOldSub;
    }
    SetLength(nNewLen);
    ORV_STR_CHECK(m_pszData[nNewLen] == 0, "pszBuffer[nNewLength] == 0");
    return nCount;
}

template <typename T>
int COrvStringT<T>::Replace(T chOld, T chNew) {
    if (chOld == chNew)
        return 0;
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && m_pszData[i] != chOld)
        ++i;
    if (i == nLen || !PrepareWrite(0))
        return 0;
    int nCount = 0;
    for (; i < nLen; ++i) {
        if (m_pszData[i] == chOld) {
            m_pszData[i] = chNew;
            ++nCount;
        }
    }
    return nCount;
}

template <typename T>
bool COrvStringT<T>::Replace(int nStart, int nCount, const T* pszNew) {
    const int nOldLength = GetLength();
    if (!ORV_STR_CHECK(nStart >= 0 && nStart <= nOldLength, "nStart<=nOldLength"))
        return false;
    if (nCount < 0)
        nCount = 0;
    if (nCount > nOldLength - nStart)
        nCount = nOldLength - nStart;
    const int nNew = StringLength(pszNew);
    COrvStringT str;
    const int64_t nTotal = static_cast<int64_t>(nOldLength) - nCount + nNew;
    if (nTotal == 0) {
        Empty();
        return true;
    }
    if (nTotal > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        return false;
    T* p = str.GetBufferSetLength(static_cast<int>(nTotal));
    if (p == nullptr)
        return false;
    CopyChars(p, m_pszData, nStart);
    CopyChars(p + nStart, pszNew, nNew);
    CopyChars(p + nStart + nNew, m_pszData + nStart + nCount, nOldLength - nStart - nCount);
    if (GetData()->IsLocked())
        return SetString(str.m_pszData, str.GetLength());
    *this = static_cast<COrvStringT&&>(str);
    return true;
}

template <typename T>
bool COrvStringT<T>::Truncate(int nLength) {
    const int nOld = GetLength();
    if (nLength >= nOld)
        return true;
    COrvStringData* pData = GetData();
    if (!ORV_STR_CHECK(!pData->IsNil(), "!pData->IsNil()"))
        return false;
    if (nLength < 0)
        nLength = 0;
    if (pData->IsStatic() || pData->IsShared()) {
        if (nLength == 0) {
            Empty();
            return true;
        }
        COrvStringData* pNew = OrvStringAllocate(nLength, sizeof(T));
        if (pNew == nullptr)
            return false;
        T* p = static_cast<T*>(pNew->data());
        CopyChars(p, m_pszData, nLength);
        p[nLength] = 0;
        pNew->m_nDataLength = nLength;
        OrvStringRelease(pData, sizeof(T));
        Attach(pNew);
        return true;
    }
    if (nLength == 0) {
        Empty();
        return true;
    }
    SetLength(nLength);
    return true;
}

template <typename T>
void COrvStringT<T>::Empty() {
    COrvStringData* pData = GetData();
    if (pData->IsNil())
        return;
    if (pData->IsLocked()) {
        pData->m_nDataLength = 0;
        m_pszData[0] = 0;
        return;
    }
    OrvStringRelease(pData, sizeof(T));
    m_pszData = NilChars();
}

template <typename T>
COrvStringT<T> COrvStringT<T>::Mid(int iFirst, int nCount) const {
    const int nLen = GetLength();
    if (iFirst < 0)
        iFirst = 0;
    if (nCount < 0)
        nCount = 0;
    if (iFirst >= nLen)
        return COrvStringT();
    if (nCount > nLen - iFirst)
        nCount = nLen - iFirst;
    if (iFirst == 0 && nCount == nLen)
        return *this;
    return COrvStringT(m_pszData + iFirst, nCount);
}

template <typename T>
COrvStringT<T> COrvStringT<T>::Right(int nCount) const {
    const int nLen = GetLength();
    if (nCount < 0)
        nCount = 0;
    if (nCount > nLen)
        nCount = nLen;
    return Mid(nLen - nCount, nCount);
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimLeft() {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && IsSpaceT(m_pszData[i]))
        ++i;
    if (i > 0)
        SetString(m_pszData + i, nLen - i);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimRight() {
    int n = GetLength();
    while (n > 0 && IsSpaceT(m_pszData[n - 1]))
        --n;
    Truncate(n);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimLeft(T ch) {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && m_pszData[i] == ch)
        ++i;
    if (i > 0)
        SetString(m_pszData + i, nLen - i);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimRight(T ch) {
    int n = GetLength();
    while (n > 0 && m_pszData[n - 1] == ch)
        --n;
    Truncate(n);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::MakeLower() {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && !(m_pszData[i] >= 'A' && m_pszData[i] <= 'Z'))
        ++i;
    if (i < nLen && PrepareWrite(0)) {
        for (; i < nLen; ++i) {
            if (m_pszData[i] >= 'A' && m_pszData[i] <= 'Z')
                m_pszData[i] = static_cast<T>(m_pszData[i] + 32);
        }
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::MakeUpper() {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && !(m_pszData[i] >= 'a' && m_pszData[i] <= 'z'))
        ++i;
    if (i < nLen && PrepareWrite(0)) {
        for (; i < nLen; ++i) {
            if (m_pszData[i] >= 'a' && m_pszData[i] <= 'z')
                m_pszData[i] = static_cast<T>(m_pszData[i] - 32);
        }
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::MakeReverse() {
    const int nLen = GetLength();
    if (nLen > 1 && PrepareWrite(0)) {
        for (int i = 0, j = nLen - 1; i < j; ++i, --j) {
            const T c = m_pszData[i];
            m_pszData[i] = m_pszData[j];
            m_pszData[j] = c;
        }
    }
    return *this;
}

template <typename T>
int COrvStringT<T>::Find(T ch, int iStart) const {
    if (!ORV_STR_CHECK(iStart >= 0, "iStart >= 0"))
        return -1;
    const int nLen = GetLength();
    for (int i = iStart; i < nLen; ++i) {
        if (m_pszData[i] == ch)
            return i;
    }
    return -1;
}

template <typename T>
int COrvStringT<T>::Find(const T* psz, int iStart) const {
    if (!ORV_STR_CHECK(iStart >= 0, "iStart >= 0"))
        return -1;
    const int nLen = GetLength();
    if (psz == nullptr || iStart > nLen)
        return -1;
    const int nSub = StringLength(psz);
    if (nSub == 0)
        return iStart;
    const T* p = FindSub(m_pszData + iStart, nLen - iStart, psz, nSub);
    return p != nullptr ? static_cast<int>(p - m_pszData) : -1;
}

template <typename T>
int COrvStringT<T>::ReverseFind(T ch) const {
    for (int i = GetLength() - 1; i >= 0; --i) {
        if (m_pszData[i] == ch)
            return i;
    }
    return -1;
}

template <typename T>
int COrvStringT<T>::FindOneOf(const T* pszCharSet, int iStart) const {
    if (!ORV_STR_CHECK(pszCharSet != nullptr, "pszCharSet!=NULL") ||
        !ORV_STR_CHECK(iStart >= 0, "iStart >= 0"))
        return -1;
    const int nLen = GetLength();
    for (int i = iStart; i < nLen; ++i) {
        for (const T* s = pszCharSet; *s; ++s) {
            if (*s == m_pszData[i])
                return i;
        }
    }
    return -1;
}

template <typename T>
T* COrvStringT<T>::GetBuffer(int nMinBufferLength) {
    if (nMinBufferLength < 0)
        nMinBufferLength = 0;
    return PrepareWrite(nMinBufferLength) ? m_pszData : nullptr;
}

template <typename T>
T* COrvStringT<T>::GetBufferSetLength(int nLength) {
    if (!ORV_STR_CHECK(nLength >= 0, "nLength >= 0"))
        return nullptr;
    if (!PrepareWrite(nLength))
        return nullptr;
    SetLength(nLength);
    return m_pszData;
}

template <typename T>
void COrvStringT<T>::ReleaseBuffer(int nNewLength) {
    COrvStringData* pData = GetData();
    if (pData->IsStatic() || pData->IsShared()) {
        // Not a block from GetBuffer: keep what is there.
        if (nNewLength >= 0 && nNewLength < GetLength())
            Truncate(nNewLength);
        return;
    }
    const int nCap = pData->m_nAllocLength;
    if (nNewLength == -1) {
        nNewLength = 0;
        while (nNewLength < nCap && m_pszData[nNewLength] != 0)
            ++nNewLength;
        ORV_STR_CHECK(m_pszData[nNewLength] == '\0', "m_pszData[nNewLength]=='\\0'");
    }
    if (nNewLength < 0)
        nNewLength = 0;
    if (nNewLength > nCap) {
        SetLength(nNewLength);  // reports the bad length
        nNewLength = nCap;
    }
    if (nNewLength == 0) {
        Empty();
        return;
    }
    if (!pData->IsLocked() &&
        OrvStringBlockSize(nNewLength, sizeof(T)) < OrvStringBlockSize(nCap, sizeof(T))) {
        COrvStringData* pNew = OrvStringReallocate(pData, nNewLength, sizeof(T));
        if (pNew != nullptr)
            Attach(pNew);
    }
    SetLength(nNewLength);
}

template <typename T>
T* COrvStringT<T>::LockBuffer() {
    if (!PrepareWrite(0))
        return nullptr;
    COrvStringData* pData = GetData();
    ORV_STR_CHECK(pData->m_nRefs == 1 || pData->m_nRefs < 0, "m_nRefs == 1 || m_nRefs < 0");
    if (--pData->m_nRefs == 0)
        pData->m_nRefs = -1;
    return m_pszData;
}

template <typename T>
void COrvStringT<T>::UnlockBuffer() {
    COrvStringData* pData = GetData();
    if (!pData->IsLocked())
        return;
    if (++pData->m_nRefs == 0)
        pData->m_nRefs = 1;
}

template <typename T>
COrvStringT<T> COrvStringT<T>::Concat(const T* a, int na, const T* b, int nb) {
    COrvStringT s;
    if (na + static_cast<int64_t>(nb) > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        return s;
    T* p = s.GetBufferSetLength(na + nb);
    if (p == nullptr)
        return s;
    CopyChars(p, a, na);
    CopyChars(p + na, b, nb);
    return s;
}

// Formatting: the first pass writes into a stack buffer, which also keeps arguments that point
// into this string valid while they are read. Output that does not fit that buffer is measured
// exactly by the first pass and written by a second pass into a block of its own.
template <typename T>
bool COrvStringT<T>::FormatImpl(const T* pszFormat, va_list args, bool bAppend) {
    if (!ORV_STR_CHECK(pszFormat != nullptr, "pszFormat!=NULL"))
        return false;
    constexpr int kStack = 512;
    T aBuf[kStack];
    va_list a1;
    va_copy(a1, args);
    const int nLength = OrvVFormat(aBuf, kStack, sizeof(T) == 2, pszFormat, nullptr, a1);
    va_end(a1);
    if (bAppend) {
        if (!ORV_STR_CHECK(nLength >= 0, "nAppendLength>=0"))
            return false;
    } else if (!ORV_STR_CHECK(nLength >= 0, "nLength>=0")) {
        return false;
    }
    if (nLength == 0) {
        if (!bAppend)
            Empty();
        return true;
    }
    if (nLength < kStack)
        return bAppend ? Append(aBuf, nLength) : SetString(aBuf, nLength);
    COrvStringT str;
    T* p = str.GetBuffer(nLength);
    if (p == nullptr)
        return false;
    va_list a2;
    va_copy(a2, args);
    const int act_len = OrvVFormat(p, nLength + 1, sizeof(T) == 2, pszFormat, nullptr, a2);
    va_end(a2);
    if (!ORV_STR_CHECK(act_len >= 0 && act_len < nLength + 1, "act_len>=0")) {
        if (!bAppend)
            Empty();
        return false;
    }
    str.SetLength(act_len);
    if (bAppend)
        return Append(str);
    if (GetData()->IsLocked())
        return SetString(str.m_pszData, act_len);
    *this = static_cast<COrvStringT&&>(str);
    return true;
}

template <typename T>
bool COrvStringT<T>::FormatV(const T* pszFormat, va_list args) {
    return FormatImpl(pszFormat, args, false);
}

template <typename T>
bool COrvStringT<T>::AppendFormatV(const T* pszFormat, va_list args) {
    return FormatImpl(pszFormat, args, true);
}

template <typename T>
bool COrvStringT<T>::Format(const T* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool b = FormatImpl(pszFormat, args, false);
    va_end(args);
    return b;
}

template <typename T>
bool COrvStringT<T>::AppendFormat(const T* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool b = FormatImpl(pszFormat, args, true);
    va_end(args);
    return b;
}

template class COrvStringT<char>;
template class COrvStringT<OrvWChar>;

// ---- the printf engine ----

namespace {

constexpr int64_t kMaxOutput = 0x7FFFFFF0;

// The output of one OrvVFormat call: counts every character, stores those that fit.
template <typename C>
struct FormatOut {
    C* m_p;          // null while measuring
    int64_t m_nCap;  // characters that may be stored (the NUL slot excluded)
    int64_t m_n;     // characters produced so far

    int64_t Room() const { return m_n < m_nCap ? m_nCap - m_n : 0; }
    void Put(C c) {
        if (m_n < m_nCap)
            m_p[m_n] = c;
        ++m_n;
    }
    void PutN(const C* s, int64_t k) {
        if (k <= 0)
            return;
        const int64_t r = Room();
        if (r > 0)
            std::memcpy(m_p + m_n, s, static_cast<size_t>(k < r ? k : r) * sizeof(C));
        m_n += k;
    }
    void Fill(C c, int64_t k) {
        if (k <= 0)
            return;
        const int64_t r = Room();
        for (int64_t i = 0, e = k < r ? k : r; i < e; ++i)
            m_p[m_n + i] = c;
        m_n += k;
    }
    // Narrow characters widened unit by unit (each byte keeps its value).
    void PutWidened(const char* s, int64_t k) {
        if constexpr (sizeof(C) == 1) {
            PutN(s, k);
        } else {
            const int64_t r = Room();
            for (int64_t i = 0, e = k < r ? k : r; i < e; ++i)
                m_p[m_n + i] = static_cast<unsigned char>(s[i]);
            m_n += k;
        }
    }
};

// Length of a text of either width, reading at most nMax units.
int64_t BoundedLength(const void* p, bool bWide, int64_t nMax) {
    int64_t n = 0;
    if (bWide) {
        const char16_t* s = static_cast<const char16_t*>(p);
        while (n < nMax && s[n] != 0)
            ++n;
    } else {
        const char* s = static_cast<const char*>(p);
        if (nMax > 0x7FFFFFFF)
            return static_cast<int64_t>(std::strlen(s));
        const void* z = std::memchr(s, 0, static_cast<size_t>(nMax));
        n = z != nullptr ? static_cast<const char*>(z) - s : nMax;
    }
    return n;
}

// Decimal digits of v (already without sign) written backwards ending at pEnd; returns the start.
char* DecimalDigits(char* pEnd, uint64_t v) {
    do {
        *--pEnd = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return pEnd;
}

enum SizeKind { enSizeInt, enSizeLong, enSize64 };

template <typename C>
int VFormatT(C* pBuffer, int nSize, const C* pFormat, const void** ppEnd, va_list* pArgs) {
    constexpr bool bWideOut = sizeof(C) == 2;
    FormatOut<C> o{pBuffer, pBuffer == nullptr || nSize <= 0 ? 0 : nSize - 1, 0};
    const bool bMeasure = pBuffer == nullptr;
    const C* f = pFormat;
    bool bError = false;
    while (*f != 0) {
        if (*f != '%') {
            const C* s = f;
            while (*f != 0 && *f != '%')
                ++f;
            o.PutN(s, f - s);
            continue;
        }
        const C* pStart = f++;
        if (*f == '%') {
            o.Put('%');
            ++f;
            continue;
        }
        bool bLeft = false;
        bool bZero = false;
        bool bStar = false;
        int64_t nWidth = 0;
        int64_t nPrec = -1;
        // Flags.
        for (;; ++f) {
            if (*f == '-') {
                bLeft = true;
            } else if (*f == '0') {
                bZero = true;
            } else if (*f == '#' || *f == '+' || *f == ' ') {
            } else if (*f == '*') {
                bStar = true;
                const int w = va_arg(*pArgs, int);
                if (w < 0) {
                    bLeft = true;
                    nWidth = -static_cast<int64_t>(w);
                } else {
                    nWidth = w;
                }
            } else {
                break;
            }
        }
        if (*f >= '0' && *f <= '9')
            nWidth = 0;
        for (; *f >= '0' && *f <= '9'; ++f) {
            nWidth = nWidth * 10 + (*f - '0');
            if (nWidth > kMaxOutput) {
                bError = true;
                break;
            }
        }
        if (bError)
            break;
        const bool bPlain = f == pStart + 1 && !bStar;  // no flags, width or star so far
        if (*f == '.') {
            ++f;
            if (*f == '*') {
                ++f;
                bStar = true;
                const int p = va_arg(*pArgs, int);
                if (p < 0) {
                    bError = true;
                    break;
                }
                nPrec = p;
            } else {
                nPrec = 0;
                for (; *f >= '0' && *f <= '9'; ++f) {
                    nPrec = nPrec * 10 + (*f - '0');
                    if (nPrec > kMaxOutput) {
                        bError = true;
                        break;
                    }
                }
                if (bError)
                    break;
            }
        }
        const C* pSizeStart = f;
        // Size prefixes (repeatable). nNarrowWide: 0 none, 1 narrow ("h"), 2 wide ("l", "w").
        SizeKind eSize = enSizeInt;
        int nNarrowWide = 0;
        int nShort = 0;
        for (;;) {
            if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
                eSize = enSize64;
                f += 3;
            } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
                f += 3;
            } else if (f[0] == 'l' && f[1] == 'l') {
                eSize = enSize64;
                f += 2;
            } else if (*f == 'l' || *f == 'w') {
                if (eSize != enSize64)
                    eSize = enSizeLong;
                nNarrowWide = 2;
                ++f;
            } else if (*f == 'h') {
                nNarrowWide = 1;
                ++nShort;
                ++f;
            } else if (*f == 'F' || *f == 'L' || *f == 'N') {
                ++f;
            } else {
                break;
            }
        }
        const C conv = *f;
        if (conv == 0) {
            bError = true;
            break;
        }
        if (conv == 'c' || conv == 'C' || conv == 's' || conv == 'S') {
            bool bArgWide = (conv == 'c' || conv == 's') ? bWideOut : !bWideOut;
            if (nNarrowWide == 1)
                bArgWide = false;
            else if (nNarrowWide == 2)
                bArgWide = true;
            if (conv == 'c' || conv == 'C') {
                const int v = va_arg(*pArgs, int);
                C ch;
                if constexpr (bWideOut)
                    ch = bArgWide ? static_cast<C>(v)
                                  : static_cast<C>(static_cast<unsigned char>(v));
                else
                    ch = static_cast<C>(v & 0xFF);
                int64_t nField = nWidth > 1 ? nWidth : 1;
                if (nPrec >= 0 && nField > nPrec)
                    nField = nPrec;
                const int64_t nLen = nField < 1 ? nField : 1;
                if (!bLeft)
                    o.Fill(bZero ? '0' : ' ', nField - nLen);
                if (nLen > 0)
                    o.Put(ch);
                if (bLeft)
                    o.Fill(' ', nField - nLen);
            } else {
                const void* pArg = va_arg(*pArgs, const void*);
                static const char s_szNull[] = "(null)";
                if (pArg == nullptr) {
                    pArg = s_szNull;
                    bArgWide = false;
                }
                const int64_t nMax = nPrec >= 0 ? nPrec : INT64_MAX;
                int64_t nLen = BoundedLength(pArg, bArgWide, nMax);
                if (bArgWide && !bWideOut) {
                    // UTF-16 into narrow output: converted to UTF-8, no padding. The cut to the
                    // precision does not split a surrogate pair.
                    const char16_t* ws = static_cast<const char16_t*>(pArg);
                    if (nPrec >= 0 && nLen == nPrec && nLen > 0 && ws[nLen - 1] >= 0xD800 &&
                        ws[nLen - 1] <= 0xDBFF && ws[nLen] >= 0xDC00 && ws[nLen] <= 0xDFFF)
                        --nLen;
                    if (nLen > 0) {
                        if (nLen > kMaxOutput) {
                            bError = true;
                            break;
                        }
                        if (bMeasure) {
                            o.m_n += nLen * 3;
                        } else {
                            const int nIn = static_cast<int>(nLen);
                            const int nNeed = OrvUtf16ToUtf8(ws, nIn, true, nullptr, 0);
                            const int64_t r = o.Room();
                            if (r > 0)
                                OrvUtf16ToUtf8(
                                    ws, nIn, true, reinterpret_cast<char*>(o.m_p + o.m_n),
                                    static_cast<int>(r + 1 < nNeed + 1 ? r + 1 : nNeed + 1));
                            o.m_n += nNeed;
                        }
                    }
                } else {
                    int64_t nField = nWidth > nLen ? nWidth : nLen;
                    if (nPrec >= 0 && nField > nPrec) {
                        nField = nPrec;
                        if (nLen > nPrec)
                            nLen = nPrec;
                    }
                    if (!bLeft)
                        o.Fill(bZero ? '0' : ' ', nField - nLen);
                    if (bArgWide || !bWideOut) {
                        // Same width as the output.
                        o.PutN(static_cast<const C*>(pArg), nLen);
                    } else {
                        o.PutWidened(static_cast<const char*>(pArg), nLen);
                    }
                    if (bLeft)
                        o.Fill(' ', nField - nLen);
                }
            }
        } else if (conv == 'd' || conv == 'i' || conv == 'o' || conv == 'u' || conv == 'x' ||
                   conv == 'X' || conv == 'p' || conv == 'e' || conv == 'E' || conv == 'f' ||
                   conv == 'g' || conv == 'G') {
            if (bStar || f - pStart > 1022) {
                bError = true;
                break;
            }
            const bool bFloat =
                conv == 'e' || conv == 'E' || conv == 'f' || conv == 'g' || conv == 'G';
            const bool bSigned = conv == 'd' || conv == 'i';
            if (bMeasure) {
                int64_t m;
                if (bFloat) {
                    m = (nPrec >= 0 ? nPrec : 6) + 318;
                    (void)va_arg(*pArgs, double);
                } else if (conv == 'p') {
                    m = 32;
                    (void)va_arg(*pArgs, void*);
                } else if (eSize == enSize64) {
                    m = 129;
                    (void)va_arg(*pArgs, long long);
                } else if (eSize == enSizeLong) {
                    m = 129;
                    (void)va_arg(*pArgs, long);
                } else {
                    m = 65;
                    (void)va_arg(*pArgs, int);
                }
                // Width and precision, plus room for a sign or a "0x" prefix, which the
                // precision does not count.
                const int64_t wp = nWidth + (nPrec > 0 ? nPrec + 2 : 0);
                o.m_n += wp > m ? wp : m;
                ++f;
                continue;
            }
            // Plain decimal integers are written directly.
            if (bPlain && nPrec < 0 && (bSigned || conv == 'u')) {
                char aDigits[24];
                char* pEnd = aDigits + sizeof(aDigits);
                uint64_t v;
                bool bNeg = false;
                if (bSigned) {
                    int64_t sv = eSize == enSize64     ? va_arg(*pArgs, long long)
                                 : eSize == enSizeLong ? va_arg(*pArgs, long)
                                 : nShort == 1         ? static_cast<short>(va_arg(*pArgs, int))
                                 : nShort >= 2 ? static_cast<signed char>(va_arg(*pArgs, int))
                                               : va_arg(*pArgs, int);
                    bNeg = sv < 0;
                    v = bNeg ? 0 - static_cast<uint64_t>(sv) : static_cast<uint64_t>(sv);
                } else {
                    v = eSize == enSize64     ? va_arg(*pArgs, unsigned long long)
                        : eSize == enSizeLong ? va_arg(*pArgs, unsigned long)
                        : nShort == 1 ? static_cast<unsigned short>(va_arg(*pArgs, unsigned))
                        : nShort >= 2 ? static_cast<unsigned char>(va_arg(*pArgs, unsigned))
                                      : va_arg(*pArgs, unsigned);
                }
                char* p = DecimalDigits(pEnd, v);
                if (bNeg)
                    *--p = '-';
                o.PutWidened(p, pEnd - p);
                ++f;
                continue;
            }
            // The conversion's own text for the C library: flags, width and precision as
            // written, the size as "ll", "l", "h" or "hh", and the letter.
            char aSpec[1040];
            int k = 0;
            for (const C* q = pStart; q < pSizeStart; ++q)
                aSpec[k++] = static_cast<char>(*q);
            if (!bFloat && conv != 'p') {
                if (eSize == enSize64) {
                    aSpec[k++] = 'l';
                    aSpec[k++] = 'l';
                } else if (eSize == enSizeLong) {
                    aSpec[k++] = 'l';
                } else if (nShort > 0) {
                    aSpec[k++] = 'h';
                    if (nShort > 1)
                        aSpec[k++] = 'h';
                }
            }
            aSpec[k++] = static_cast<char>(conv);
            aSpec[k] = 0;
            char aLocal[512];
            char* pOut;
            size_t nOutCap;
            if constexpr (bWideOut) {
                pOut = aLocal;
                nOutCap = sizeof(aLocal);
            } else {
                pOut = o.m_p + o.m_n;
                nOutCap = static_cast<size_t>(o.Room() + 1);
                if (o.m_n > o.m_nCap || nSize <= 0) {
                    pOut = nullptr;
                    nOutCap = 0;
                }
            }
            int r;
            va_list aSaved;
            va_copy(aSaved, *pArgs);
            if (bFloat) {
                r = std::snprintf(pOut, nOutCap, aSpec, va_arg(*pArgs, double));
            } else if (conv == 'p') {
                r = std::snprintf(pOut, nOutCap, aSpec, va_arg(*pArgs, void*));
            } else if (eSize == enSize64) {
                r = std::snprintf(pOut, nOutCap, aSpec, va_arg(*pArgs, long long));
            } else if (eSize == enSizeLong) {
                r = std::snprintf(pOut, nOutCap, aSpec, va_arg(*pArgs, long));
            } else {
                r = std::snprintf(pOut, nOutCap, aSpec, va_arg(*pArgs, int));
            }
            if (r < 0) {
                va_end(aSaved);
                bError = true;
                break;
            }
            if constexpr (bWideOut) {
                if (static_cast<size_t>(r) < sizeof(aLocal)) {
                    o.PutWidened(aLocal, r);
                } else {
                    char* pHeap = static_cast<char*>(std::malloc(static_cast<size_t>(r) + 1));
                    if (pHeap == nullptr) {
                        va_end(aSaved);
                        bError = true;
                        break;
                    }
                    if (bFloat)
                        std::snprintf(pHeap, r + 1, aSpec, va_arg(aSaved, double));
                    else if (conv == 'p')
                        std::snprintf(pHeap, r + 1, aSpec, va_arg(aSaved, void*));
                    else if (eSize == enSize64)
                        std::snprintf(pHeap, r + 1, aSpec, va_arg(aSaved, long long));
                    else if (eSize == enSizeLong)
                        std::snprintf(pHeap, r + 1, aSpec, va_arg(aSaved, long));
                    else
                        std::snprintf(pHeap, r + 1, aSpec, va_arg(aSaved, int));
                    o.PutWidened(pHeap, r);
                    std::free(pHeap);
                }
            } else {
                o.m_n += r;
            }
            va_end(aSaved);
        } else {
            bError = true;  // "n", "a" and every other letter
            break;
        }
        ++f;
        if (o.m_n > kMaxOutput) {
            bError = true;
            break;
        }
    }
    if (!bMeasure && nSize > 0)
        pBuffer[o.m_n < o.m_nCap ? o.m_n : o.m_nCap] = 0;
    if (ppEnd != nullptr)
        *ppEnd = f;
    if (bError || o.m_n > kMaxOutput)
        return -1;
    return static_cast<int>(o.m_n);
}

}  // namespace

int OrvVFormat(void* pBuffer, int nSize, bool bWide, const void* pFormat, const void** ppEnd,
               va_list args) {
    if (pFormat == nullptr) {
        if (pBuffer != nullptr && nSize > 0) {
            if (bWide)
                *static_cast<char16_t*>(pBuffer) = 0;
            else
                *static_cast<char*>(pBuffer) = 0;
        }
        if (ppEnd != nullptr)
            *ppEnd = nullptr;
        return -1;
    }
    va_list ap;
    va_copy(ap, args);
    int n;
    if (bWide)
        n = VFormatT(static_cast<char16_t*>(pBuffer), nSize, static_cast<const char16_t*>(pFormat),
                     ppEnd, &ap);
    else
        n = VFormatT(static_cast<char*>(pBuffer), nSize, static_cast<const char*>(pFormat), ppEnd,
                     &ap);
    va_end(ap);
    return n;
}
