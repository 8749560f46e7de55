#include "orv-regfile.h"

#include "orv-error.h"
#include "orv-utf.h"

#include <cstring>
#include <unordered_set>

namespace {

const char kHeader[] = "orv-settings 1";
const char kHex[] = "0123456789abcdef";

// --- Writing -------------------------------------------------------------------------------

void PutHexByte(std::string& out, unsigned char b) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
}

void PutUtf8(std::string& out, uint32_t cp) {
    char buf[4];
    out.append(buf, static_cast<size_t>(OrvUtf8EncodeOne(cp, buf)));
}

void PutEscapedUnit(std::string& out, char16_t ch) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(ch >> shift) & 15];
}

// Writes UTF-16 units as a quoted text.
void PutQuoted(std::string& out, const char16_t* p, size_t n) {
    out += '"';
    for (size_t i = 0; i < n; ++i) {
        const char16_t ch = p[i];
        if (ch == u'"') {
            out += "\\\"";
        } else if (ch == u'\\') {
            out += "\\\\";
        } else if (ch == u'\n') {
            out += "\\n";
        } else if (ch == u'\r') {
            out += "\\r";
        } else if (ch == u'\t') {
            out += "\\t";
        } else if (ch < 0x20 || ch == 0x7F) {
            PutEscapedUnit(out, ch);
        } else if (OrvIsHighSurrogate(ch) && i + 1 < n && OrvIsLowSurrogate(p[i + 1])) {
            PutUtf8(out, OrvCombineSurrogates(ch, p[i + 1]));
            ++i;
        } else if (OrvIsSurrogate(ch)) {
            PutEscapedUnit(out, ch);
        } else {
            PutUtf8(out, ch);
        }
    }
    out += '"';
}

std::u16string UnitsOf(const std::string& data) {
    std::u16string s(data.size() / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                     (static_cast<unsigned char>(data[2 * i + 1]) << 8));
    return s;
}

void AppendUnit(std::string& data, char16_t ch) {
    data += static_cast<char>(ch & 0xFF);
    data += static_cast<char>(ch >> 8);
}

uint64_t LittleEndian(const std::string& data) {
    uint64_t v = 0;
    for (size_t i = data.size(); i-- > 0;)
        v = (v << 8) | static_cast<unsigned char>(data[i]);
    return v;
}

// True when the data of a text value is one text with exactly one NUL, at its end.
bool IsCanonicalText(const std::string& data) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    const std::u16string s = UnitsOf(data);
    return s.find(u'\0') == s.size() - 1;
}

// True when the data of a multi-text value is non-empty texts, each with its NUL, and one more
// NUL (an empty list is the one NUL).
bool IsCanonicalMulti(const std::string& data) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    const std::u16string s = UnitsOf(data);
    if (s.back() != u'\0')
        return false;
    if (s.size() == 1)
        return true;
    if (s[0] == u'\0' || s[s.size() - 2] != u'\0')
        return false;
    for (size_t i = 1; i + 1 < s.size(); ++i)
        if (s[i] == u'\0' && s[i - 1] == u'\0')
            return false;
    return true;
}

void FormatValue(std::string& out, const OrvRegFileValue& v) {
    PutQuoted(out, v.sName.data(), v.sName.size());
    const std::string& d = v.data;
    if ((v.nType == kOrvRegSz || v.nType == kOrvRegExpandSz) && IsCanonicalText(d)) {
        out += v.nType == kOrvRegSz ? " sz " : " expand_sz ";
        const std::u16string s = UnitsOf(d);
        PutQuoted(out, s.data(), s.size() - 1);
    } else if (v.nType == kOrvRegMultiSz && IsCanonicalMulti(d)) {
        out += " multi_sz";
        const std::u16string s = UnitsOf(d);
        size_t start = 0;
        while (start + 1 < s.size()) {
            const size_t end = s.find(u'\0', start);
            out += ' ';
            PutQuoted(out, s.data() + start, end - start);
            start = end + 1;
        }
    } else if ((v.nType == kOrvRegDword && d.size() == 4) ||
               (v.nType == kOrvRegQword && d.size() == 8)) {
        out += v.nType == kOrvRegDword ? " dword 0x" : " qword 0x";
        const uint64_t n = LittleEndian(d);
        for (int shift = static_cast<int>(d.size()) * 8 - 4; shift >= 0; shift -= 4)
            out += kHex[(n >> shift) & 15];
    } else {
        if (v.nType == kOrvRegBinary) {
            out += " binary";
        } else {
            out += " hex(";
            out += std::to_string(v.nType);
            out += ')';
        }
        for (unsigned char b : d) {
            out += ' ';
            PutHexByte(out, b);
        }
    }
    out += '\n';
}

// --- Reading -------------------------------------------------------------------------------

class Parser {
public:
    Parser(const char* p, const char* pEnd) : m_p(p), m_pEnd(pEnd) {}

    bool AtEnd() const { return m_p >= m_pEnd; }
    char Peek() const { return AtEnd() ? '\0' : *m_p; }
    bool Eat(char ch) {
        if (Peek() != ch || AtEnd())
            return false;
        ++m_p;
        return true;
    }
    bool EatWord(const char* psz) {
        const size_t n = strlen(psz);
        if (static_cast<size_t>(m_pEnd - m_p) < n || memcmp(m_p, psz, n) != 0)
            return false;
        m_p += n;
        return true;
    }

    static int HexValue(char ch) {
        if (ch >= '0' && ch <= '9')
            return ch - '0';
        if (ch >= 'a' && ch <= 'f')
            return ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F')
            return ch - 'A' + 10;
        return -1;
    }

    bool HexDigits(int nDigits, uint64_t& v) {
        v = 0;
        for (int i = 0; i < nDigits; ++i) {
            const int h = HexValue(Peek());
            if (AtEnd() || h < 0)
                return false;
            v = (v << 4) | static_cast<uint64_t>(h);
            ++m_p;
        }
        return true;
    }

    // One UTF-8 sequence (shortest form, no surrogates); false when it is not one.
    bool Utf8(uint32_t& cp) {
        const unsigned char c0 = static_cast<unsigned char>(*m_p);
        int nMore;
        uint32_t nMin;
        if (c0 < 0x80) {
            cp = c0;
            ++m_p;
            return true;
        } else if ((c0 & 0xE0) == 0xC0) {
            cp = c0 & 0x1F, nMore = 1, nMin = 0x80;
        } else if ((c0 & 0xF0) == 0xE0) {
            cp = c0 & 0x0F, nMore = 2, nMin = 0x800;
        } else if ((c0 & 0xF8) == 0xF0) {
            cp = c0 & 0x07, nMore = 3, nMin = 0x10000;
        } else {
            return false;
        }
        if (m_pEnd - m_p <= nMore)
            return false;
        for (int i = 1; i <= nMore; ++i) {
            const unsigned char c = static_cast<unsigned char>(m_p[i]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < nMin || cp > 0x10FFFF || OrvIsSurrogate(cp))
            return false;
        m_p += nMore + 1;
        return true;
    }

    // A quoted text into UTF-16 units.
    bool Quoted(std::u16string& s) {
        s.clear();
        if (!Eat('"'))
            return false;
        for (;;) {
            if (AtEnd() || Peek() == '\n')
                return false;
            const char ch = *m_p;
            if (ch == '"') {
                ++m_p;
                return true;
            }
            if (ch == '\\') {
                ++m_p;
                const char e = Peek();
                if (AtEnd())
                    return false;
                ++m_p;
                switch (e) {
                    case '"':
                        s += u'"';
                        break;
                    case '\\':
                        s += u'\\';
                        break;
                    case 'n':
                        s += u'\n';
                        break;
                    case 'r':
                        s += u'\r';
                        break;
                    case 't':
                        s += u'\t';
                        break;
                    case 'u': {
                        uint64_t v;
                        if (!HexDigits(4, v))
                            return false;
                        s += static_cast<char16_t>(v);
                        break;
                    }
                    default:
                        return false;
                }
                continue;
            }
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
                return false;
            uint32_t cp;
            if (!Utf8(cp))
                return false;
            if (cp >= 0x10000) {
                s += OrvHighSurrogateOf(cp);
                s += OrvLowSurrogateOf(cp);
            } else {
                s += static_cast<char16_t>(cp);
            }
        }
    }

    bool Number(uint32_t& n) {
        if (Peek() < '0' || Peek() > '9' || AtEnd())
            return false;
        uint64_t v = 0;
        while (!AtEnd() && Peek() >= '0' && Peek() <= '9') {
            v = v * 10 + static_cast<uint64_t>(*m_p++ - '0');
            if (v > 0xFFFFFFFFu)
                return false;
        }
        n = static_cast<uint32_t>(v);
        return true;
    }

    // " xx xx ..." up to the end of the line.
    bool HexBytes(std::string& data) {
        while (Peek() == ' ' && !AtEnd()) {
            ++m_p;
            uint64_t v;
            if (!HexDigits(2, v))
                return false;
            data += static_cast<char>(v);
        }
        return true;
    }

    bool Value(OrvRegFileValue& v) {
        if (!Quoted(v.sName) || v.sName.size() > kOrvRegNameMax || !Eat(' '))
            return false;
        v.data.clear();
        const bool bSz = EatWord("sz ");
        if (bSz || EatWord("expand_sz ")) {
            v.nType = bSz ? kOrvRegSz : kOrvRegExpandSz;
            std::u16string s;
            if (!Quoted(s) || s.find(u'\0') != std::u16string::npos)
                return false;
            for (char16_t ch : s)
                AppendUnit(v.data, ch);
            AppendUnit(v.data, u'\0');
            return true;
        }
        if (EatWord("multi_sz")) {
            v.nType = kOrvRegMultiSz;
            while (Eat(' ')) {
                std::u16string s;
                if (!Quoted(s) || s.empty() || s.find(u'\0') != std::u16string::npos)
                    return false;
                for (char16_t ch : s)
                    AppendUnit(v.data, ch);
                AppendUnit(v.data, u'\0');
            }
            AppendUnit(v.data, u'\0');
            return true;
        }
        const bool bDword = EatWord("dword 0x");
        if (bDword || EatWord("qword 0x")) {
            const bool bQword = !bDword;
            v.nType = bQword ? kOrvRegQword : kOrvRegDword;
            const int nBytes = bQword ? 8 : 4;
            uint64_t n;
            if (!HexDigits(nBytes * 2, n))
                return false;
            for (int i = 0; i < nBytes; ++i)
                v.data += static_cast<char>((n >> (8 * i)) & 0xFF);
            return true;
        }
        if (EatWord("binary")) {
            v.nType = kOrvRegBinary;
            return HexBytes(v.data);
        }
        if (EatWord("hex(")) {
            if (!Number(v.nType) || !Eat(')'))
                return false;
            return HexBytes(v.data);
        }
        return false;
    }

    // Moves past the rest of the line (a comment or an empty line).
    void SkipLine() {
        const void* pNl = memchr(m_p, '\n', static_cast<size_t>(m_pEnd - m_p));
        m_p = pNl ? static_cast<const char*>(pNl) + 1 : m_pEnd;
    }

    const char* m_p;
    const char* m_pEnd;
};

}  // namespace

bool OrvRegFileParse(const char* pText, size_t nLen, std::vector<OrvRegFileValue>& values,
                     COrvError& err) {
    values.clear();
    if (nLen > kOrvRegFileMax)
        return err.Set(enNetBadRequest, "values file too large");
    Parser p(pText, pText + nLen);
    if (!p.EatWord(kHeader) || !p.Eat('\n'))
        return err.Set(enNetBadRequest, "values file has no header line");
    int nLine = 1;
    std::unordered_set<std::u16string> seen;  // folded names, to find a name given twice
    while (!p.AtEnd()) {
        ++nLine;
        if (p.Peek() == '\n' || p.Peek() == '#') {
            p.SkipLine();
            continue;
        }
        OrvRegFileValue v;
        if (!p.Value(v) || !p.Eat('\n'))
            return err.SetFormat(enNetBadRequest, "values file damaged at line %d", nLine);
        std::u16string folded = v.sName;
        for (char16_t& ch : folded)
            ch = OrvRegFoldChar(ch);
        if (!seen.insert(std::move(folded)).second)
            return err.SetFormat(enNetBadRequest, "values file names a value twice at line %d",
                                 nLine);
        values.push_back(std::move(v));
    }
    return true;
}

std::string OrvRegFileFormat(const std::vector<OrvRegFileValue>& values) {
    std::string out = kHeader;
    out += '\n';
    for (const OrvRegFileValue& v : values)
        FormatValue(out, v);
    return out;
}

char16_t OrvRegFoldChar(char16_t ch) {
    if (ch < 0x80)
        return ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - 0x20) : ch;
    if (ch >= 0xE0 && ch <= 0xFE && ch != 0xF7)
        return static_cast<char16_t>(ch - 0x20);
    if (ch >= 0x100 && ch <= 0x137)
        return static_cast<char16_t>(ch & ~1u);
    if (ch >= 0x139 && ch <= 0x148)
        return static_cast<char16_t>((ch & 1u) ? ch : ch - 1);
    if (ch >= 0x14A && ch <= 0x177)
        return static_cast<char16_t>(ch & ~1u);
    if (ch >= 0x3B1 && ch <= 0x3CB && ch != 0x3C2)
        return static_cast<char16_t>(ch - 0x20);
    if (ch >= 0x430 && ch <= 0x44F)
        return static_cast<char16_t>(ch - 0x20);
    if (ch >= 0x450 && ch <= 0x45F)
        return static_cast<char16_t>(ch - 0x50);
    return ch;
}

bool OrvRegNameEquals(const char16_t* pA, size_t nA, const char16_t* pB, size_t nB) {
    if (nA != nB)
        return false;
    for (size_t i = 0; i < nA; ++i)
        if (pA[i] != pB[i] && OrvRegFoldChar(pA[i]) != OrvRegFoldChar(pB[i]))
            return false;
    return true;
}

int OrvRegFileFind(const std::vector<OrvRegFileValue>& values, const char16_t* pName, size_t nLen) {
    for (size_t i = 0; i < values.size(); ++i)
        if (OrvRegNameEquals(values[i].sName.data(), values[i].sName.size(), pName, nLen))
            return static_cast<int>(i);
    return -1;
}
