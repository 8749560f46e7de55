#include "escape-filter.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char16_t kEsc = 0x1B;
constexpr char16_t kBel = 0x07;
constexpr char16_t kCan = 0x18;
constexpr char16_t kSub = 0x1A;
// Parameters kept of one CSI sequence; SGR sequences in practice have a handful.
constexpr size_t kMaxParams = 32;
// A parameter value is kept up to this (larger values mean nothing to SGR).
constexpr int kMaxParamValue = 65535;

// Bright colours 90-97 and 100-107 are palette entries 8-15.
uint32_t Indexed(int n) {
    return CTextAttr::kColourIndexed | static_cast<uint32_t>(n & 0xFF);
}

// Index of the first ESC in p[nFrom..n), or n: four units at a time, with the test for a zero
// lane of the word XOR four ESCs.
int FindEsc(const char16_t* p, int nFrom, int n) {
    constexpr uint64_t kLanes = 0x0001000100010001ULL;
    constexpr uint64_t kHigh = 0x8000800080008000ULL;
    int i = nFrom;
    for (; i + 4 <= n; i += 4) {
        uint64_t nWord;
        std::memcpy(&nWord, p + i, sizeof nWord);
        const uint64_t x = nWord ^ (kLanes * kEsc);
        if (((x - kLanes) & ~x & kHigh) != 0) {
            break;
        }
    }
    while (i < n && p[i] != kEsc) {
        ++i;
    }
    return i;
}

}  // namespace

int CEscapeFilter::Filter(const char16_t* p, int n, char16_t* pOut,
                          std::vector<CTextAttrRun>& runs) {
    int nOut = 0;
    // Text goes over with the current attributes, extending the last run where it continues it.
    auto emitSpan = [&](const char16_t* pSpan, int nSpan) {
        if (!m_attr.IsDefault()) {
            if (!runs.empty() && runs.back().nStart + runs.back().nLength == nOut &&
                runs.back().attr == m_attr) {
                runs.back().nLength += nSpan;
            } else {
                runs.push_back(CTextAttrRun{nOut, nSpan, m_attr});
            }
        }
        std::memcpy(pOut + nOut, pSpan, static_cast<size_t>(nSpan) * sizeof(char16_t));
        nOut += nSpan;
    };
    auto emit = [&](char16_t c) { emitSpan(&c, 1); };
    for (int i = 0; i < n; ++i) {
        const char16_t c = p[i];
        switch (m_state) {
            case EState::Text:
                if (c == kEsc) {
                    m_state = EState::Escape;
                } else {
                    const int j = FindEsc(p, i + 1, n);
                    emitSpan(p + i, j - i);
                    i = j - 1;  // the loop's step lands on the ESC (or the end)
                }
                break;
            case EState::Escape:
                if (c == u'[') {
                    m_state = EState::Csi;
                    m_params.clear();
                    m_subParam.clear();
                    m_bCsiPrivate = false;
                    m_bCsiOverflow = false;
                } else if (c == u']' || c == u'P' || c == u'X' || c == u'^' || c == u'_') {
                    m_state = EState::String;
                    m_bBelEndsString = c == u']';
                    m_nStringLen = 0;
                } else if (c == kEsc) {
                    // ESC ESC: the first is dropped, the second starts anew
                } else if (c == kCan || c == kSub) {
                    m_state = EState::Text;
                } else if (c >= 0x20 && c <= 0x2F) {
                    m_state = EState::EscapeIntermediate;
                } else if (c < 0x20) {
                    emit(c);  // a control character takes effect and the sequence goes on
                } else {
                    m_state = EState::Text;  // a two-character sequence, dropped
                }
                break;
            case EState::EscapeIntermediate:
                if (c == kEsc) {
                    m_state = EState::Escape;
                } else if (c == kCan || c == kSub) {
                    m_state = EState::Text;
                } else if (c < 0x20) {
                    emit(c);
                } else if (c >= 0x30) {
                    m_state = EState::Text;  // the final character
                }
                break;
            case EState::Csi:
                if (c >= u'0' && c <= u'9') {
                    if (m_params.empty()) {
                        m_params.push_back(-1);
                        m_subParam.push_back(false);
                    }
                    int& v = m_params.back();
                    v = v < 0 ? 0 : v;
                    if (v <= kMaxParamValue) {
                        v = v * 10 + (c - u'0');
                    }
                } else if (c == u';' || c == u':') {
                    if (m_params.empty()) {
                        m_params.push_back(-1);
                        m_subParam.push_back(false);
                    }
                    if (m_params.size() < kMaxParams) {
                        m_params.push_back(-1);
                        m_subParam.push_back(c == u':');
                    } else {
                        m_bCsiOverflow = true;
                    }
                } else if (c >= 0x3C && c <= 0x3F) {
                    m_bCsiPrivate = true;  // < = > ?
                } else if (c >= 0x20 && c <= 0x2F) {
                    m_bCsiPrivate = true;  // intermediates: not an SGR
                } else if (c >= 0x40 && c <= 0x7E) {
                    if (c == u'm' && !m_bCsiPrivate && !m_bCsiOverflow) {
                        ApplySgr();
                    }
                    m_state = EState::Text;
                } else if (c == kEsc) {
                    m_state = EState::Escape;
                } else if (c == kCan || c == kSub) {
                    m_state = EState::Text;
                } else if (c < 0x20) {
                    emit(c);
                } else {
                    m_state = EState::Text;  // not part of any sequence: the sequence is void
                }
                break;
            case EState::String:
                if (c == kEsc) {
                    m_state = EState::StringEscape;
                } else if ((c == kBel && m_bBelEndsString) || c == kCan || c == kSub) {
                    m_state = EState::Text;
                } else if (++m_nStringLen > kMaxString) {
                    // no end in sight: show the text again from here
                    m_state = EState::Text;
                    emit(c);
                }
                break;
            case EState::StringEscape:
                if (c == u'\\') {
                    m_state = EState::Text;
                } else {
                    // ESC followed by anything else ends the string and starts a sequence
                    m_state = EState::Escape;
                    --i;
                }
                break;
        }
    }
    return nOut;
}

bool CEscapeFilter::ReadExtendedColour(size_t* pi, uint32_t* pnColour) const {
    size_t i = *pi;
    auto at = [&](size_t k) { return k < m_params.size() ? m_params[k] : -1; };
    const int nKind = at(i + 1);
    if (nKind == 5) {
        const int nIndex = at(i + 2);
        *pi = i + 2;
        if (nIndex < 0 || nIndex > 255) {
            return false;
        }
        *pnColour = Indexed(nIndex);
        return true;
    }
    if (nKind == 2) {
        // 38;2;r;g;b, or with colons 38:2:r:g:b and 38:2:space:r:g:b (a colour space id first)
        size_t nFirst = i + 2;
        if (i + 2 < m_subParam.size() && m_subParam[i + 2] && i + 5 < m_params.size() &&
            m_subParam[i + 5]) {
            nFirst = i + 3;
        }
        const int r = at(nFirst);
        const int g = at(nFirst + 1);
        const int b = at(nFirst + 2);
        *pi = nFirst + 2;
        if (r > 255 || g > 255 || b > 255) {
            return false;
        }
        *pnColour = CTextAttr::kColourRgb | (static_cast<uint32_t>(r < 0 ? 0 : r) << 16) |
                    (static_cast<uint32_t>(g < 0 ? 0 : g) << 8) |
                    static_cast<uint32_t>(b < 0 ? 0 : b);
        return true;
    }
    *pi = i + 1;
    return false;
}

void CEscapeFilter::ApplySgr() {
    if (m_params.empty()) {
        m_attr = CTextAttr();  // ESC [ m
        return;
    }
    for (size_t i = 0; i < m_params.size(); ++i) {
        const int v = m_params[i] < 0 ? 0 : m_params[i];
        // the sub-parameters of an attribute that takes none are skipped
        auto skipSubParams = [&] {
            while (i + 1 < m_subParam.size() && m_subParam[i + 1]) {
                ++i;
            }
        };
        if (v == 38 || v == 48) {
            uint32_t nColour = 0;
            if (ReadExtendedColour(&i, &nColour)) {
                (v == 38 ? m_attr.nFore : m_attr.nBack) = nColour;
            }
            continue;
        }
        if (v == 4 && i + 1 < m_subParam.size() && m_subParam[i + 1]) {
            // 4:0 no underline, 4:1..4:5 underline styles
            const int nStyle = m_params[i + 1] < 0 ? 0 : m_params[i + 1];
            m_attr.nFlags =
                static_cast<uint8_t>(nStyle == 0 ? m_attr.nFlags & ~CTextAttr::kUnderline
                                                 : m_attr.nFlags | CTextAttr::kUnderline);
            skipSubParams();
            continue;
        }
        skipSubParams();
        uint8_t& f = m_attr.nFlags;
        if (v == 0) {
            m_attr = CTextAttr();
        } else if (v == 1) {
            f |= CTextAttr::kBold;
        } else if (v == 2) {
            f |= CTextAttr::kFaint;
        } else if (v == 3) {
            f |= CTextAttr::kItalic;
        } else if (v == 4 || v == 21) {
            f |= CTextAttr::kUnderline;
        } else if (v == 7) {
            f |= CTextAttr::kInverse;
        } else if (v == 9) {
            f |= CTextAttr::kStrike;
        } else if (v == 22) {
            f &= static_cast<uint8_t>(~(CTextAttr::kBold | CTextAttr::kFaint));
        } else if (v == 23) {
            f &= static_cast<uint8_t>(~CTextAttr::kItalic);
        } else if (v == 24) {
            f &= static_cast<uint8_t>(~CTextAttr::kUnderline);
        } else if (v == 27) {
            f &= static_cast<uint8_t>(~CTextAttr::kInverse);
        } else if (v == 29) {
            f &= static_cast<uint8_t>(~CTextAttr::kStrike);
        } else if (v >= 30 && v <= 37) {
            m_attr.nFore = Indexed(v - 30);
        } else if (v == 39) {
            m_attr.nFore = 0;
        } else if (v >= 40 && v <= 47) {
            m_attr.nBack = Indexed(v - 40);
        } else if (v == 49) {
            m_attr.nBack = 0;
        } else if (v >= 90 && v <= 97) {
            m_attr.nFore = Indexed(v - 90 + 8);
        } else if (v >= 100 && v <= 107) {
            m_attr.nBack = Indexed(v - 100 + 8);
        }
        // anything else (blink, fonts, frames ...) has no display here
    }
}
