// JSON values, the document and typed readers, the writer and path access (see orv-json2.h).
#include "orv-json2.h"

#include <emmintrin.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "orv-format.h"
#include "orv-string-util.h"
#include "orv-trace.h"
#include "orv-utf.h"

// ---- storage of reader-built trees ----

// Bump allocator for the nodes and member arrays of one parsed tree; freed as a whole by the root
// that owns it. Chunks double from the first size up to kMaxChunk, so a small document costs one
// small chunk and a large one wastes at most one chunk's tail.
class COrvJsonArena {
public:
    static constexpr size_t kMaxChunk = size_t{64} << 10;

    explicit COrvJsonArena(size_t nFirstChunk) : m_nNextChunk(nFirstChunk) {}
    ~COrvJsonArena() {
        while (m_pChunks != nullptr) {
            Chunk* p = m_pChunks->pNext;
            free(m_pChunks);
            m_pChunks = p;
        }
    }
    COrvJsonArena(const COrvJsonArena&) = delete;
    COrvJsonArena& operator=(const COrvJsonArena&) = delete;

    // nBytes of storage aligned to 8, or null when memory runs out.
    void* Alloc(size_t nBytes) {
        nBytes = (nBytes + 7) & ~size_t{7};
        if (static_cast<size_t>(m_pEnd - m_p) < nBytes)
            return AllocSlow(nBytes);
        void* p = m_p;
        m_p += nBytes;
        return p;
    }
    // A value of type T made from args in the arena and marked as such; null when memory runs out.
    template <class T, class... Args>
    T* New(Args&&... args) {
        void* p = Alloc(sizeof(T));
        if (p == nullptr)
            return nullptr;
        T* pValue = ::new (p) T(static_cast<Args&&>(args)...);
        pValue->m_nFlags |= COrvJsonValue::kFlagInArena;
        return pValue;
    }

private:
    struct Chunk {
        Chunk* pNext;
        size_t nPad;  // keeps the storage after the header 16-byte aligned
    };
    void* AllocSlow(size_t nBytes) {
        if (nBytes > m_nNextChunk / 4) {
            // A large member array gets a chunk of its own; the current chunk stays in use.
            Chunk* pChunk = static_cast<Chunk*>(malloc(sizeof(Chunk) + nBytes));
            if (pChunk == nullptr)
                return nullptr;
            pChunk->pNext = m_pChunks;
            m_pChunks = pChunk;
            return pChunk + 1;
        }
        Chunk* pChunk = static_cast<Chunk*>(malloc(sizeof(Chunk) + m_nNextChunk));
        if (pChunk == nullptr)
            return nullptr;
        pChunk->pNext = m_pChunks;
        m_pChunks = pChunk;
        m_p = reinterpret_cast<char*>(pChunk + 1);
        m_pEnd = m_p + m_nNextChunk;
        if (m_nNextChunk < kMaxChunk)
            m_nNextChunk *= 2;
        void* p = m_p;
        m_p += nBytes;
        return p;
    }

    char* m_p = nullptr;
    char* m_pEnd = nullptr;
    Chunk* m_pChunks = nullptr;
    size_t m_nNextChunk;
};

namespace {

// A growable array of plain or byte-relocatable elements over malloc, for the readers' and the
// writer's work stacks. Grow fails (false) instead of aborting when memory runs out.
template <class T>
class CPodStack {
public:
    CPodStack() = default;
    ~CPodStack() { free(m_p); }
    CPodStack(const CPodStack&) = delete;
    CPodStack& operator=(const CPodStack&) = delete;

    size_t Size() const { return m_n; }
    bool Empty() const { return m_n == 0; }
    T& operator[](size_t i) { return m_p[i]; }
    T& Top() { return m_p[m_n - 1]; }
    T* Data() { return m_p; }
    // Room for one more; the new element is uninitialised. Null when memory runs out.
    T* Push() {
        if (m_n == m_nCap && !Grow())
            return nullptr;
        return &m_p[m_n++];
    }
    void Pop() { --m_n; }
    void Resize(size_t n) { m_n = n; }

private:
    bool Grow() {
        const size_t nCap = m_nCap ? m_nCap * 2 : 64;
        T* p = static_cast<T*>(realloc(static_cast<void*>(m_p), nCap * sizeof(T)));
        if (p == nullptr)
            return false;
        m_p = p;
        m_nCap = nCap;
        return true;
    }
    T* m_p = nullptr;
    size_t m_n = 0;
    size_t m_nCap = 0;
};

bool IsLetter(unsigned c) {
    return (c | 0x20) - 'a' < 26u;
}
bool IsDigit(unsigned c) {
    return c - '0' < 10u;
}
bool IsWordChar(unsigned c) {
    return IsLetter(c) || IsDigit(c) || c == '_';
}

// What a message shows for a character in a '%c' place: itself when printable ASCII, else '?'
// (a control character or a lone byte of a UTF-8 sequence would make the message unreadable).
int Shown(unsigned c) {
    return c >= 32 && c < 127 ? static_cast<int>(c) : '?';
}

// 1-based line of the character at pAt: LF, CR LF and a lone CR each end a line.
unsigned LineAt(const char* pBegin, const char* pAt) {
    unsigned nLine = 1;
    for (const char* p = pBegin; p < pAt; ++p) {
        if (*p == '\n' || (*p == '\r' && (p + 1 >= pAt || p[1] != '\n')))
            ++nLine;
    }
    return nLine;
}

// Makes room for nNeed items in a member array that grows by doubling (from 4). An array in a
// reader's arena cannot be resized: its items move to the heap. Items move by a byte copy (values
// are pointers; properties hold a string, itself one pointer). False, with the array unchanged,
// when memory runs out or the count would pass the 32-bit range.
template <class T>
bool GrowItems(T*& pItems, uint32_t& nCapacity, uint32_t nCount, bool& bArena, size_t nNeed) {
    if (nNeed <= nCapacity)
        return true;
    if (nNeed > UINT32_MAX / 2)
        return false;
    size_t nCap = nCapacity < 4 ? 4 : size_t{nCapacity} * 2;
    if (nCap < nNeed)
        nCap = nNeed;
    void* p;
    if (bArena) {
        p = malloc(nCap * sizeof(T));
        if (p != nullptr && nCount > 0)
            memcpy(p, static_cast<void*>(pItems), nCount * sizeof(T));
    } else {
        p = realloc(static_cast<void*>(pItems), nCap * sizeof(T));
    }
    if (p == nullptr)
        return false;
    pItems = static_cast<T*>(p);
    nCapacity = static_cast<uint32_t>(nCap);
    bArena = false;
    return true;
}

}  // namespace

// ---- values ----

void* COrvJsonValue::operator new(size_t nBytes) noexcept {
    return malloc(nBytes);
}

void COrvJsonValue::operator delete(void* p) noexcept {
    free(p);
}

void COrvJsonValue::operator delete(COrvJsonValue* p, std::destroying_delete_t) {
    const bool bArena = (p->m_nFlags & kFlagInArena) != 0;
    p->~COrvJsonValue();
    if (!bArena)
        free(p);
}

int COrvJsonValue::GetKind() const {
    switch (m_nType) {
        case enTypeObject:
            return enJsonKindObject;
        case enTypeArray:
            return enJsonKindArray;
        case enTypeNumber:
            return enJsonKindNumber;
        case enTypeString: {
            const auto* s = static_cast<const COrvJsonString*>(this);
            return s->IsRealString() ? enJsonKindString
                   : s->IsBoolean()  ? enJsonKindBoolean
                                     : enJsonKindLiteral;
        }
        default:
            return enJsonKindUndefined;
    }
}

COrvJsonObject* COrvJsonValue::AsObject() {
    return IsObject() ? static_cast<COrvJsonObject*>(this) : nullptr;
}
const COrvJsonObject* COrvJsonValue::AsObject() const {
    return IsObject() ? static_cast<const COrvJsonObject*>(this) : nullptr;
}
COrvJsonArray* COrvJsonValue::AsArray() {
    return IsArray() ? static_cast<COrvJsonArray*>(this) : nullptr;
}
const COrvJsonArray* COrvJsonValue::AsArray() const {
    return IsArray() ? static_cast<const COrvJsonArray*>(this) : nullptr;
}

COrvJsonString* COrvJsonString::NewWord(const char* pszWord) {
    COrvJsonString* p = new COrvJsonString();
    if (p == nullptr)
        return nullptr;
    p->m_str = pszWord;
    p->m_bUnquoted = true;
    p->m_bString = false;
    p->m_bBoolean = p->m_str == "true" || p->m_str == "false";
    p->m_chQuote = 0;
    return p;
}

// Deletes the members of containers without recursion: before a container is deleted its members
// are moved onto a work stack, so the container's own destructor finds it empty.
class COrvJsonTeardown {
public:
    static void DeleteAll(COrvJsonValue** ppValues, size_t nValues) {
        CPodStack<COrvJsonValue*> work;
        for (size_t i = 0; i < nValues; ++i)
            Take(work, ppValues[i]);
        while (!work.Empty()) {
            COrvJsonValue* p = work.Top();
            work.Pop();
            Take(work, p);
        }
    }
    static void DeleteProps(COrvJsonProp* pProps, size_t nProps) {
        CPodStack<COrvJsonValue*> work;
        for (size_t i = 0; i < nProps; ++i) {
            pProps[i].m_strName.~COrvStringA();
            Take(work, pProps[i].m_pValue);
        }
        while (!work.Empty()) {
            COrvJsonValue* p = work.Top();
            work.Pop();
            Take(work, p);
        }
    }

private:
    // Moves p's members onto work (when there is room; else its destructor deletes them, one
    // level of recursion per such failure) and deletes p.
    static void Take(CPodStack<COrvJsonValue*>& work, COrvJsonValue* p) {
        if (p == nullptr)
            return;
        if (p->m_nFlags & COrvJsonValue::kFlagInArena) {
            // The arena's storage goes as a whole: scalars need no more than their text released.
            if (p->IsNumber())
                return;
            if (p->IsStringLike()) {
                static_cast<COrvJsonString*>(p)->m_str.~COrvStringA();
                return;
            }
        }
        if (COrvJsonArray* a = p->AsArray()) {
            COrvJsonValueList& l = a->m_list;
            while (l.m_nCount > 0) {
                COrvJsonValue** pp = work.Push();
                if (pp == nullptr)
                    break;
                *pp = l.m_ppItems[--l.m_nCount];
            }
        } else if (COrvJsonObject* o = p->AsObject()) {
            COrvJsonPropList& l = o->m_props;
            while (l.m_nCount > 0) {
                COrvJsonValue** pp = work.Push();
                if (pp == nullptr)
                    break;
                COrvJsonProp& prop = l.m_pProps[--l.m_nCount];
                *pp = prop.m_pValue;
                prop.m_strName.~COrvStringA();
            }
        }
        delete p;
    }
};

COrvJsonValueList::~COrvJsonValueList() {
    RemoveAll();
}

void COrvJsonValueList::RemoveAll() {
    COrvJsonTeardown::DeleteAll(m_ppItems, m_nCount);
    m_nCount = 0;
    if (!m_bArenaItems)
        free(m_ppItems);
    m_ppItems = nullptr;
    m_nCapacity = 0;
    m_bArenaItems = false;
}

bool COrvJsonValueList::Grow(size_t nNeed) {
    return GrowItems(m_ppItems, m_nCapacity, m_nCount, m_bArenaItems, nNeed);
}

bool COrvJsonValueList::Add(COrvJsonValue* pValue) {
    if (pValue == nullptr)
        return false;
    if (!Grow(size_t{m_nCount} + 1)) {
        delete pValue;
        return false;
    }
    m_ppItems[m_nCount++] = pValue;
    return true;
}

bool COrvJsonValueList::SetAt(size_t i, COrvJsonValue* pValue) {
    if (pValue == nullptr)
        return false;
    if (i >= m_nCount) {
        delete pValue;
        return false;
    }
    COrvJsonValue* pOld = m_ppItems[i];
    m_ppItems[i] = pValue;
    if (pOld != pValue)
        COrvJsonTeardown::DeleteAll(&pOld, 1);
    return true;
}

bool COrvJsonValueList::RemoveAt(size_t i) {
    if (i >= m_nCount)
        return false;
    COrvJsonValue* pOld = m_ppItems[i];
    memmove(m_ppItems + i, m_ppItems + i + 1, (m_nCount - i - 1) * sizeof(COrvJsonValue*));
    --m_nCount;
    COrvJsonTeardown::DeleteAll(&pOld, 1);
    return true;
}

COrvJsonPropList::~COrvJsonPropList() {
    RemoveAll();
}

void COrvJsonPropList::RemoveAll() {
    COrvJsonTeardown::DeleteProps(m_pProps, m_nCount);
    m_nCount = 0;
    if (!m_bArenaItems)
        free(m_pProps);
    m_pProps = nullptr;
    m_nCapacity = 0;
    m_bArenaItems = false;
}

bool COrvJsonPropList::Grow(size_t nNeed) {
    return GrowItems(m_pProps, m_nCapacity, m_nCount, m_bArenaItems, nNeed);
}

COrvJsonValue* COrvJsonPropList::Find(const char* pszName, int nLen) const {
    const size_t n = nLen < 0 ? strlen(pszName) : static_cast<size_t>(nLen);
    for (uint32_t i = 0; i < m_nCount; ++i) {
        const COrvStringA& s = m_pProps[i].m_strName;
        if (static_cast<size_t>(s.GetLength()) == n && memcmp(s.GetString(), pszName, n) == 0)
            return m_pProps[i].m_pValue;
    }
    return nullptr;
}

bool COrvJsonPropList::Add(const COrvStringA& strName, COrvJsonValue* pValue) {
    if (pValue == nullptr)
        return false;
    if (!Grow(size_t{m_nCount} + 1)) {
        delete pValue;
        return false;
    }
    ::new (static_cast<void*>(&m_pProps[m_nCount])) COrvJsonProp{strName, pValue};
    ++m_nCount;
    return true;
}

bool COrvJsonPropList::Set(const COrvStringA& strName, COrvJsonValue* pValue) {
    if (pValue == nullptr)
        return false;
    for (uint32_t i = 0; i < m_nCount; ++i) {
        if (m_pProps[i].m_strName.Equals(strName)) {
            COrvJsonValue* pOld = m_pProps[i].m_pValue;
            m_pProps[i].m_pValue = pValue;
            if (pOld != pValue)
                COrvJsonTeardown::DeleteAll(&pOld, 1);
            return true;
        }
    }
    return Add(strName, pValue);
}

bool COrvJsonPropList::Remove(const char* pszName) {
    const size_t n = strlen(pszName);
    for (uint32_t i = 0; i < m_nCount; ++i) {
        const COrvStringA& s = m_pProps[i].m_strName;
        if (static_cast<size_t>(s.GetLength()) == n && memcmp(s.GetString(), pszName, n) == 0) {
            COrvJsonProp old;
            memcpy(static_cast<void*>(&old), static_cast<void*>(&m_pProps[i]), sizeof(old));
            memmove(static_cast<void*>(m_pProps + i), static_cast<void*>(m_pProps + i + 1),
                    (m_nCount - i - 1) * sizeof(COrvJsonProp));
            --m_nCount;
            COrvJsonTeardown::DeleteProps(&old, 1);
            return true;
        }
    }
    return false;
}

COrvJsonArray::~COrvJsonArray() = default;
COrvJsonObject::~COrvJsonObject() = default;

COrvJsonRoot& COrvJsonRoot::operator=(COrvJsonRoot&& other) noexcept {
    if (this != &other) {
        Reset();
        m_pValue = other.m_pValue;
        m_pArena = other.m_pArena;
        other.m_pValue = nullptr;
        other.m_pArena = nullptr;
    }
    return *this;
}

void COrvJsonRoot::Reset(COrvJsonValue* pValue) {
    if (pValue != nullptr && pValue == m_pValue)
        return;
    if (m_pValue != nullptr)
        COrvJsonTeardown::DeleteAll(&m_pValue, 1);
    delete m_pArena;
    m_pArena = nullptr;
    m_pValue = pValue;
}

// ---- the character source ----

bool COrvJsonSource::Unget(COrvError& err) {
    if (m_bPushedBack || m_p == m_pBegin)
        return err.Set(enNetBadRequest, "cannot unget char");
    --m_p;
    m_bPushedBack = true;
    return true;
}

unsigned COrvJsonSource::GetLine() const {
    return LineAt(m_pBegin, m_p);
}

// ---- scanning ----

// The short strings of one document, so that repeated names and values share one string block
// (a reference more instead of an allocation each). Open addressing; when the table is full new
// texts are simply not kept.
class COrvJsonIntern {
public:
    COrvJsonIntern() = default;
    ~COrvJsonIntern() {
        for (size_t i = 0; m_pSlots != nullptr && i <= m_nMask; ++i)
            m_pSlots[i].str.~COrvStringA();
        free(m_pSlots);
    }
    COrvJsonIntern(const COrvJsonIntern&) = delete;
    COrvJsonIntern& operator=(const COrvJsonIntern&) = delete;

    // str = the n bytes at p. False when memory runs out.
    bool Get(const char* p, size_t n, COrvStringA& str) {
        if (n > kMaxLen || (m_pSlots == nullptr && !Init()))
            return str.SetString(p, static_cast<int>(n));
        // Eight bytes at a time, the last word padded with zeros (no read past the text).
        uint64_t h64 = n * 0x9E3779B97F4A7C15ull;
        for (size_t k = 0; k < n; k += 8) {
            uint64_t w = 0;
            memcpy(&w, p + k, n - k < 8 ? n - k : 8);
            h64 = (h64 ^ w) * 0xFF51AFD7ED558CCDull;
            h64 ^= h64 >> 32;
        }
        const uint32_t h = static_cast<uint32_t>(h64);
        for (size_t i = h & m_nMask;; i = (i + 1) & m_nMask) {
            Slot& s = m_pSlots[i];
            if (s.nLen == 0) {
                if (!str.SetString(p, static_cast<int>(n)))
                    return false;
                if (m_nUsed < m_nMask / 2) {
                    s.nHash = h;
                    s.nLen = static_cast<uint32_t>(n) + 1;
                    s.str = str;
                    ++m_nUsed;
                }
                return true;
            }
            if (s.nHash == h && s.nLen == n + 1 && memcmp(s.str.GetString(), p, n) == 0) {
                str = s.str;
                return true;
            }
        }
    }

private:
    static constexpr size_t kMaxLen = 40;
    static constexpr size_t kSlots = 4096;
    struct Slot {
        uint32_t nHash;
        uint32_t nLen;  // length + 1; 0 for a free slot
        COrvStringA str;
    };
    bool Init() {
        // Zero bytes are free slots whose string is the empty block's pointer, set below.
        m_pSlots = static_cast<Slot*>(calloc(kSlots, sizeof(Slot)));
        if (m_pSlots == nullptr)
            return false;
        for (size_t i = 0; i < kSlots; ++i)
            ::new (static_cast<void*>(&m_pSlots[i].str)) COrvStringA();
        m_nMask = kSlots - 1;
        return true;
    }

    Slot* m_pSlots = nullptr;
    size_t m_nMask = 0;
    size_t m_nUsed = 0;
};

// The lexical steps both readers share, working on a source's cursor directly. Errors are
// recorded with the position of the character they concern.
class COrvJsonScanner {
public:
    explicit COrvJsonScanner(COrvJsonSource& src, COrvJsonIntern* pIntern = nullptr)
        : m_src(src), m_pIntern(pIntern) {}

    const char*& P() { return m_src.m_p; }
    const char* End() const { return m_src.m_pEnd; }

    // A syntax error at pAt: the cursor goes back to it, so that the position names it.
    bool Syntax(const char* pAt, COrvError& err) {
        if (pAt >= End())
            return Fail(End(), "unexpected end of data", err);
        m_src.m_p = pAt;
        const unsigned c = static_cast<unsigned char>(*pAt);
        return err.SetFormat(
            enNetBadRequest,
            "JSON syntax error: unexpected char '%c'(%02x) at position %u, line %u", Shown(c), c,
            static_cast<unsigned>(pAt - m_src.m_pBegin), LineAt(m_src.m_pBegin, pAt));
    }
    // Any other reading error, at pAt.
    bool Fail(const char* pAt, const char* pszText, COrvError& err, int nCode = enNetBadRequest) {
        m_src.m_p = pAt;
        return err.SetFormat(nCode, "JSON read error: %s, at position %u, line %u", pszText,
                             static_cast<unsigned>(pAt - m_src.m_pBegin),
                             LineAt(m_src.m_pBegin, pAt));
    }
    bool NoMemory(COrvError& err) { return Fail(P(), "out of memory", err, enNetNoMemory); }

    // str = the n bytes at p (shared with an equal text read before, when interning). False when
    // memory runs out.
    bool Keep(const char* p, size_t n, COrvStringA& str, bool bName = false) {
        // Names repeat in most documents; values mostly do when they are short (words, codes).
        return m_pIntern && (bName || n <= kInternValue) ? m_pIntern->Get(p, n, str)
                                                         : str.SetString(p, static_cast<int>(n));
    }

    // Skips white space and "//" comments. False on a "/" that does not start a comment.
    bool SkipSpace(COrvError& err) {
        // Most values and separators follow the one before directly.
        const char* p = P();
        if (p == End())
            return true;
        const unsigned c = static_cast<unsigned char>(*p);
        if (c > ' ' && c != '/')
            return true;
        return SkipSpaceRun(err);
    }

    __attribute__((noinline)) bool SkipSpaceRun(COrvError& err) {
        const char* p = P();
        const char* e = End();
        for (;;) {
            // Runs of indentation: 16 bytes at a time.
            while (e - p >= 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i ws =
                    _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                              _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                                 _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                              _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
                const unsigned nMask = static_cast<unsigned>(_mm_movemask_epi8(ws)) ^ 0xFFFFu;
                if (nMask != 0) {
                    p += __builtin_ctz(nMask);
                    break;
                }
                p += 16;
            }
            while (p < e && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
                ++p;
            if (p < e && *p == '/') {
                if (p + 1 >= e || p[1] != '/')
                    return Syntax(p, err);
                p += 2;
                while (p < e && *p != '\n' && *p != '\r')
                    ++p;
                continue;
            }
            P() = p;
            return true;
        }
    }

    // The string whose opening quote is at the cursor; the cursor ends after the closing quote.
    // With kKeep the text is stored in str, otherwise only checked.
    template <bool kKeep>
    bool ReadString(COrvStringA& str, COrvError& err, bool bName = false) {
        const char* p = P();
        const char chQuote = *p++;
        const char* e = End();
        const char* pRun = p;
        // Bytes that end the plain run: both quotes, the backslash and every byte from 0x80.
        const __m128i vQuote = _mm_set1_epi8(chQuote);
        const __m128i vBackslash = _mm_set1_epi8('\\');
        for (;;) {
            // Plain ASCII 16 bytes at a time: stop at this string's quote, a backslash or a byte
            // from 0x80 (the sign bit).
            while (e - p >= 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i m = _mm_or_si128(
                    _mm_or_si128(_mm_cmpeq_epi8(v, vQuote), _mm_cmpeq_epi8(v, vBackslash)), v);
                const unsigned nMask = static_cast<unsigned>(_mm_movemask_epi8(m));
                if (nMask != 0) {
                    p += __builtin_ctz(nMask);
                    break;
                }
                p += 16;
            }
            while (p < e && !kStop[static_cast<unsigned char>(*p)])
                ++p;
            if (p >= e)
                return Fail(e, "unexpected end of data", err);
            const char c = *p;
            if (c == chQuote)
                break;
            if (static_cast<unsigned char>(c) >= 0x80) {
                const OrvUtf8Step s = OrvUtf8DecodeOne(p, static_cast<size_t>(e - p));
                if (s.eStatus != enUtfOk)
                    return Fail(p, "invalid UTF-8 sequence", err);
                p += s.nLen;
                continue;
            }
            if (c != '\\') {
                ++p;  // the other quote character
                continue;
            }
            // The first escape: from here on the text is built piece by piece.
            return ReadEscaped<kKeep>(pRun, p, chQuote, str, err);
        }
        if constexpr (kKeep) {
            if (!Keep(pRun, static_cast<size_t>(p - pRun), str, bName))
                return NoMemory(err);
        }
        P() = p + 1;
        return true;
    }

    // Number at the cursor: an optional sign, digits, an optional "." with digits, an optional
    // exponent. bDouble tells which of n and d holds it.
    bool ReadNumber(bool& bDouble, int64_t& n, double& d, COrvError& err) {
        const char* pStart = P();
        const char* p = pStart;
        const char* e = End();
        bool bNeg = false;
        if (*p == '-' || *p == '+')
            bNeg = *p++ == '-';
        const char* pDigits = p;
        uint64_t u = 0;
        bool bOverflow = false;
        while (p < e && IsDigit(static_cast<unsigned char>(*p))) {
            const unsigned dgt = static_cast<unsigned>(*p - '0');
            if (u > (UINT64_MAX - dgt) / 10)
                bOverflow = true;
            else
                u = u * 10 + dgt;
            ++p;
        }
        if (p >= e || (*p != '.' && *p != 'e' && *p != 'E')) {
            if (p == pDigits)
                return Fail(pStart, "Wrong format: expected decimal number", err);
            const uint64_t nLimit = bNeg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
            if (bOverflow || u > nLimit)
                return Fail(pStart, "Integer value out of 64-bit range", err);
            bDouble = false;
            n = bNeg ? static_cast<int64_t>(0 - u) : static_cast<int64_t>(u);
            P() = p;
            return true;
        }
        // A double: the converter finds its end; the grammar's extra rules are checked around it.
        double v = 0;
        if (p == pDigits && (e - p < 2 || !IsDigit(static_cast<unsigned char>(p[1]))))
            return Fail(pStart, "Wrong format: expected decimal number", err);
        const std::from_chars_result r = std::from_chars(pDigits, e, v);
        if (r.ptr < e && (*r.ptr == 'e' || *r.ptr == 'E' || *r.ptr == '.'))
            return Fail(pStart, "Wrong format: expected decimal number", err);
        if (r.ec == std::errc::result_out_of_range) {
            if (Overflows(pDigits, r.ptr))
                return Fail(pStart, "Number out of double range", err);
            v = 0;
        } else if (r.ec != std::errc()) {
            return Fail(pStart, "Wrong format: expected decimal number", err);
        }
        p = r.ptr;
        bDouble = true;
        d = bNeg ? -v : v;
        P() = p;
        return true;
    }

    // For a decimal number [p, e) (digits, an optional "." and digits, an optional exponent) that
    // a double cannot hold: whether it is too large (rather than too small). The decimal order of
    // its first significant digit tells.
    static bool Overflows(const char* p, const char* e) {
        long nOrder = 0;
        bool bSignificant = false;
        bool bFraction = false;
        for (; p < e && *p != 'e' && *p != 'E'; ++p) {
            if (*p == '.') {
                bFraction = true;
            } else if (!bSignificant && *p == '0') {
                nOrder -= bFraction;
            } else {
                bSignificant = true;
                nOrder += !bFraction;
            }
        }
        long nExp = 0;
        bool bNeg = false;
        if (p < e) {
            ++p;
            if (*p == '-' || *p == '+')
                bNeg = *p++ == '-';
            for (; p < e && nExp < 100000000; ++p)
                nExp = nExp * 10 + (*p - '0');
        }
        return nOrder + (bNeg ? -nExp : nExp) > 0;
    }

    // A bare word at the cursor ([A-Za-z][A-Za-z0-9_]*, the first character checked by the
    // caller): its end.
    const char* WordEnd(const char* p) const {
        while (p < End() && IsWordChar(static_cast<unsigned char>(*p)))
            ++p;
        return p;
    }

    // A property name at the cursor: a quoted string or an identifier [A-Za-z_][A-Za-z0-9_]*,
    // then white space and ":"; the cursor ends after the ":".
    template <bool kKeep>
    bool ReadName(COrvStringA& str, COrvError& err) {
        const char* p = P();
        if (p >= End())
            return Syntax(p, err);
        const unsigned c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\'') {
            if (!ReadString<kKeep>(str, err, true))
                return false;
        } else if (IsLetter(c) || c == '_') {
            const char* q = WordEnd(p + 1);
            if constexpr (kKeep) {
                if (!Keep(p, static_cast<size_t>(q - p), str, true))
                    return NoMemory(err);
            }
            P() = q;
        } else {
            return Syntax(p, err);
        }
        if (!SkipSpace(err))
            return false;
        if (P() >= End() || *P() != ':')
            return Syntax(P(), err);
        ++P();
        return true;
    }

private:
    static const bool kStop[256];
    static constexpr size_t kInternValue = 12;

    // Four hex digits at p into v; false (nothing read) when they are not there.
    bool Hex4(const char* p, unsigned& v) const {
        if (End() - p < 4)
            return false;
        v = 0;
        for (int k = 0; k < 4; ++k) {
            const int h = OrvHexDigitValue(static_cast<unsigned char>(p[k]));
            if (h < 0)
                return false;
            v = (v << 4) | static_cast<unsigned>(h);
        }
        return true;
    }

    // The rest of a string from its first backslash at p; pRun is the start of the text.
    template <bool kKeep>
    bool ReadEscaped(const char* pRun, const char* p, char chQuote, COrvStringA& str,
                     COrvError& err) {
        const char* e = End();
        // Pieces gather in a small buffer and go to the string when it fills.
        char buf[256];
        int nBuf = 0;
        if constexpr (kKeep)
            str.Empty();
        auto flush = [&]() -> bool {
            if constexpr (kKeep) {
                if (nBuf > 0 && !str.Append(buf, nBuf))
                    return false;
            }
            nBuf = 0;
            return true;
        };
        auto put = [&](const char* q, size_t n) -> bool {
            if constexpr (kKeep) {
                if (nBuf + n > sizeof(buf)) {
                    if (!flush())
                        return false;
                    if (n > sizeof(buf))
                        return str.Append(q, static_cast<int>(n));
                }
                memcpy(buf + nBuf, q, n);
                nBuf += static_cast<int>(n);
            }
            return true;
        };
        if (!put(pRun, static_cast<size_t>(p - pRun)))
            return NoMemory(err);
        for (;;) {
            if (p >= e)
                return Fail(e, "unexpected end of data", err);
            const char c = *p;
            if (c == chQuote)
                break;
            if (c == '\\') {
                if (p + 1 >= e)
                    return Fail(e, "unexpected end of data", err);
                const char x = p[1];
                char out;
                switch (x) {
                    case '"':
                        out = '"';
                        break;
                    case '/':
                        out = '/';
                        break;
                    case '\\':
                        out = '\\';
                        break;
                    case 'b':
                        out = '\b';
                        break;
                    case 'f':
                        out = '\f';
                        break;
                    case 'n':
                        out = '\n';
                        break;
                    case 'r':
                        out = '\r';
                        break;
                    case 't':
                        out = '\t';
                        break;
                    case 'u':
                    case 'U': {
                        unsigned v;
                        if (!Hex4(p + 2, v))
                            return Fail(p + 2, "bad escape sequence, hex number expected", err);
                        p += 6;
                        char32_t cp = v;
                        if (OrvIsHighSurrogate(v)) {
                            if (p >= e || *p != '\\')
                                return Fail(
                                    p,
                                    "wrong format: expecting second part of UTF16 surrogate pair",
                                    err);
                            if (p + 1 >= e || (p[1] != 'u' && p[1] != 'U'))
                                return Syntax(p + 1, err);
                            unsigned v2;
                            if (!Hex4(p + 2, v2))
                                return Fail(p + 2, "bad escape sequence, hex number expected", err);
                            if (!OrvIsLowSurrogate(v2))
                                return Fail(
                                    p,
                                    "wrong format: expecting second part of UTF16 surrogate pair",
                                    err);
                            cp = OrvCombineSurrogates(v, v2);
                            p += 6;
                        } else if (OrvIsLowSurrogate(v)) {
                            return Fail(p - 6, "wrong format: wrong UTF16 encoding", err);
                        }
                        char enc[4];
                        if (!put(enc, static_cast<size_t>(OrvUtf8EncodeOne(cp, enc))))
                            return NoMemory(err);
                        continue;
                    }
                    default:
                        return Syntax(p + 1, err);
                }
                if (!put(&out, 1))
                    return NoMemory(err);
                p += 2;
                continue;
            }
            const char* q = p;
            while (q < e && !kStop[static_cast<unsigned char>(*q)])
                ++q;
            if (q == p) {
                if (static_cast<unsigned char>(c) >= 0x80) {
                    const OrvUtf8Step s = OrvUtf8DecodeOne(p, static_cast<size_t>(e - p));
                    if (s.eStatus != enUtfOk)
                        return Fail(p, "invalid UTF-8 sequence", err);
                    q = p + s.nLen;
                } else {
                    q = p + 1;  // the other quote character
                }
            }
            if (!put(p, static_cast<size_t>(q - p)))
                return NoMemory(err);
            p = q;
        }
        if (!flush())
            return NoMemory(err);
        P() = p + 1;
        return true;
    }

    COrvJsonSource& m_src;
    COrvJsonIntern* m_pIntern;
};

constexpr bool MakeStop(int c) {
    return c == '"' || c == '\'' || c == '\\' || c >= 0x80;
}
#define ORV_S4(c) MakeStop(c), MakeStop(c + 1), MakeStop(c + 2), MakeStop(c + 3)
#define ORV_S16(c) ORV_S4(c), ORV_S4(c + 4), ORV_S4(c + 8), ORV_S4(c + 12)
#define ORV_S64(c) ORV_S16(c), ORV_S16(c + 16), ORV_S16(c + 32), ORV_S16(c + 48)
const bool COrvJsonScanner::kStop[256] = {ORV_S64(0), ORV_S64(64), ORV_S64(128), ORV_S64(192)};
#undef ORV_S4
#undef ORV_S16
#undef ORV_S64

// ---- the document reader ----

static_assert(kOrvJsonMaxDepth == 10000, "the nesting messages name the limit");

// Reads one value (a whole nested one) without recursion: open containers are frames on a stack,
// their finished members wait on a second stack until the container closes and takes them. With
// kBuild false the text is only checked (the typed reader's Skip).
class COrvJsonBuilder {
public:
    COrvJsonBuilder(COrvJsonSource& src, COrvJsonArena* pArena, int nBaseDepth)
        : m_scan(src, pArena ? &m_intern : nullptr), m_pArena(pArena), m_nBaseDepth(nBaseDepth) {}
    ~COrvJsonBuilder() {
        // After a failure: whatever was read so far.
        COrvJsonTeardown::DeleteAll(m_values.Data(), m_values.Size());
        COrvJsonTeardown::DeleteProps(m_props.Data(), m_props.Size());
    }

    template <bool kBuild>
    bool Read(COrvJsonValue*& pOut, COrvError& err);

private:
    struct Frame {
        bool bObject;
        size_t nStart;  // first member on m_values or m_props
    };

    template <bool kBuild>
    bool Scalar(COrvJsonValue*& pValue, COrvError& err);
    template <bool kBuild>
    bool Close(COrvJsonValue*& pValue, COrvError& err);

    template <class T, class... Args>
    T* New(Args&&... args) {
        return m_pArena->New<T>(static_cast<Args&&>(args)...);
    }

    COrvJsonIntern m_intern;  // before m_scan, which points at it
    COrvJsonScanner m_scan;
    COrvJsonArena* m_pArena;
    int m_nBaseDepth;
    CPodStack<Frame> m_frames;
    CPodStack<COrvJsonValue*> m_values;
    CPodStack<COrvJsonProp> m_props;
};

template <bool kBuild>
bool COrvJsonBuilder::Scalar(COrvJsonValue*& pValue, COrvError& err) {
    const char* p = m_scan.P();
    const unsigned c = static_cast<unsigned char>(*p);
    pValue = nullptr;
    if (c == '"' || c == '\'') {
        COrvJsonString* s = nullptr;
        if constexpr (kBuild) {
            s = New<COrvJsonString>(COrvStringA());
            if (s == nullptr)
                return m_scan.NoMemory(err);
            pValue = s;
            s->m_chQuote = static_cast<char>(c);
            return m_scan.ReadString<true>(s->m_str, err);
        } else {
            COrvStringA none;
            return m_scan.ReadString<false>(none, err);
        }
    }
    if (IsLetter(c)) {
        const char* q = m_scan.WordEnd(p + 1);
        m_scan.P() = q;
        if constexpr (kBuild) {
            COrvJsonString* s = New<COrvJsonString>(COrvStringA());
            if (s == nullptr)
                return m_scan.NoMemory(err);
            pValue = s;
            const size_t n = static_cast<size_t>(q - p);
            s->m_bUnquoted = true;
            s->m_bString = false;
            s->m_bBoolean =
                (n == 4 && memcmp(p, "true", 4) == 0) || (n == 5 && memcmp(p, "false", 5) == 0);
            s->m_chQuote = 0;
            if (!m_scan.Keep(p, n, s->m_str))
                return m_scan.NoMemory(err);
        }
        return true;
    }
    if (IsDigit(c) || c == '-' || c == '+' || c == '.') {
        bool bDouble;
        int64_t n;
        double d;
        if (!m_scan.ReadNumber(bDouble, n, d, err))
            return false;
        if constexpr (kBuild) {
            pValue = bDouble ? New<COrvJsonNumber>(d) : New<COrvJsonNumber>(n);
            if (pValue == nullptr)
                return m_scan.NoMemory(err);
        }
        return true;
    }
    return m_scan.Syntax(p, err);
}

// Ends the container of the top frame: its members move from the stacks into it.
template <bool kBuild>
bool COrvJsonBuilder::Close(COrvJsonValue*& pValue, COrvError& err) {
    const Frame f = m_frames.Top();
    m_frames.Pop();
    pValue = nullptr;
    if (f.bObject) {
        const size_t n = m_props.Size() - f.nStart;
        if constexpr (kBuild) {
            COrvJsonObject* o = New<COrvJsonObject>();
            void* pItems = n ? m_pArena->Alloc(n * sizeof(COrvJsonProp)) : nullptr;
            if (o == nullptr || (n && pItems == nullptr))
                return m_scan.NoMemory(err);
            if (n) {
                memcpy(pItems, static_cast<void*>(&m_props[f.nStart]), n * sizeof(COrvJsonProp));
                o->m_props.m_pProps = static_cast<COrvJsonProp*>(pItems);
                o->m_props.m_nCount = o->m_props.m_nCapacity = static_cast<uint32_t>(n);
                o->m_props.m_bArenaItems = true;
            }
            pValue = o;
        }
        m_props.Resize(f.nStart);
    } else {
        const size_t n = m_values.Size() - f.nStart;
        if constexpr (kBuild) {
            COrvJsonArray* a = New<COrvJsonArray>();
            void* pItems = n ? m_pArena->Alloc(n * sizeof(COrvJsonValue*)) : nullptr;
            if (a == nullptr || (n && pItems == nullptr))
                return m_scan.NoMemory(err);
            if (n) {
                memcpy(pItems, &m_values[f.nStart], n * sizeof(COrvJsonValue*));
                a->m_list.m_ppItems = static_cast<COrvJsonValue**>(pItems);
                a->m_list.m_nCount = a->m_list.m_nCapacity = static_cast<uint32_t>(n);
                a->m_list.m_bArenaItems = true;
            }
            pValue = a;
        }
        m_values.Resize(f.nStart);
    }
    return true;
}

template <bool kBuild>
bool COrvJsonBuilder::Read(COrvJsonValue*& pOut, COrvError& err) {
    pOut = nullptr;
    COrvJsonScanner& s = m_scan;
    COrvStringA strNone;
    for (;;) {
        // A value starts here.
        if (!s.SkipSpace(err))
            return false;
        const char* p = s.P();
        if (p >= s.End())
            return s.Fail(p, "unexpected end of data", err);
        COrvJsonValue* pValue = nullptr;
        if (*p == '{' || *p == '[') {
            const bool bObject = *p == '{';
            const char chClose = bObject ? '}' : ']';
            if (m_nBaseDepth + static_cast<int>(m_frames.Size()) >= kOrvJsonMaxDepth)
                return s.Fail(p, "nesting deeper than 10000 levels", err);
            Frame* f = m_frames.Push();
            if (f == nullptr)
                return s.NoMemory(err);
            *f = {bObject, bObject ? m_props.Size() : m_values.Size()};
            ++s.P();
            if (!s.SkipSpace(err))
                return false;
            p = s.P();
            if (p < s.End() && *p == ',') {
                // "[,]" and "{,}": a lone comma before the end.
                ++s.P();
                if (!s.SkipSpace(err))
                    return false;
                p = s.P();
                if (p >= s.End() || *p != chClose)
                    return s.Syntax(p, err);
            }
            if (p < s.End() && *p == chClose) {
                ++s.P();
                if (!Close<kBuild>(pValue, err))
                    return false;
            } else if (bObject) {
                COrvJsonProp* pProp = m_props.Push();
                if (pProp == nullptr)
                    return s.NoMemory(err);
                ::new (static_cast<void*>(pProp)) COrvJsonProp{COrvStringA(), nullptr};
                if (!s.ReadName<kBuild>(kBuild ? pProp->m_strName : strNone, err))
                    return false;
                continue;
            } else {
                continue;
            }
        } else if (!Scalar<kBuild>(pValue, err)) {
            if constexpr (kBuild) {
                if (pValue != nullptr)
                    COrvJsonTeardown::DeleteAll(&pValue, 1);
            }
            return false;
        }
        // A value is complete: it becomes a member of the open container, then that container
        // goes on or closes (possibly completing a value itself).
        for (;;) {
            if (m_frames.Empty()) {
                pOut = pValue;
                return true;
            }
            Frame& f = m_frames.Top();
            if (f.bObject) {
                m_props.Top().m_pValue = pValue;
            } else {
                COrvJsonValue** pp = m_values.Push();
                if (pp == nullptr) {
                    if constexpr (kBuild)
                        COrvJsonTeardown::DeleteAll(&pValue, 1);
                    return s.NoMemory(err);
                }
                *pp = pValue;
            }
            if (!s.SkipSpace(err))
                return false;
            const char chClose = f.bObject ? '}' : ']';
            p = s.P();
            if (p < s.End() && *p == ',') {
                ++s.P();
                if (!s.SkipSpace(err))
                    return false;
                p = s.P();
                if (p >= s.End() || *p != chClose) {
                    if (f.bObject) {
                        COrvJsonProp* pProp = m_props.Push();
                        if (pProp == nullptr)
                            return s.NoMemory(err);
                        ::new (static_cast<void*>(pProp)) COrvJsonProp{COrvStringA(), nullptr};
                        if (!s.ReadName<kBuild>(kBuild ? pProp->m_strName : strNone, err))
                            return false;
                        if (!s.SkipSpace(err))
                            return false;
                    }
                    break;  // the next member's value
                }
            } else if (p >= s.End() || *p != chClose) {
                return s.Syntax(p, err);
            }
            ++s.P();
            if (!Close<kBuild>(pValue, err))
                return false;
        }
    }
}

bool OrvJsonParse(const char* pText, size_t nLen, COrvJsonRoot& out, COrvError& err) {
    out.Reset();
    if (nLen > INT32_MAX)
        return err.Set(enNetBadRequest, "JSON read error: text longer than 2 GB");
    // About one byte of tree per byte of text for typical documents: start there.
    const size_t nChunk = nLen < 1024                       ? 1024
                          : nLen > COrvJsonArena::kMaxChunk ? COrvJsonArena::kMaxChunk
                                                            : nLen;
    COrvJsonArena* pArena = new (std::nothrow) COrvJsonArena(nChunk);
    if (pArena == nullptr)
        return err.Set(enNetNoMemory, "JSON read error: out of memory");
    COrvJsonSource src(pText, nLen);
    COrvJsonValue* pValue = nullptr;
    bool bOk;
    {
        COrvJsonBuilder b(src, pArena, 0);
        bOk = b.Read<true>(pValue, err);
    }
    if (bOk) {
        COrvJsonScanner s(src);
        bOk = s.SkipSpace(err) && (s.P() == s.End() || s.Syntax(s.P(), err));
        if (!bOk)
            COrvJsonTeardown::DeleteAll(&pValue, 1);
    }
    if (!bOk) {
        delete pArena;
        return false;
    }
    out.m_pValue = pValue;
    out.m_pArena = pArena;
    return true;
}

// ---- the typed reader ----

bool COrvJsonReader::PeekKind(int& nKind, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    if (p >= s.End())
        return s.Fail(p, "unexpected end of data", err);
    const unsigned c = static_cast<unsigned char>(*p);
    if (c == '{') {
        nKind = enJsonKindObject;
    } else if (c == '[') {
        nKind = enJsonKindArray;
    } else if (c == '"' || c == '\'') {
        nKind = enJsonKindString;
    } else if (IsDigit(c) || c == '-' || c == '+' || c == '.') {
        nKind = enJsonKindNumber;
    } else if (IsLetter(c)) {
        const size_t n = static_cast<size_t>(s.WordEnd(p + 1) - p);
        const bool bBool =
            (n == 4 && memcmp(p, "true", 4) == 0) || (n == 5 && memcmp(p, "false", 5) == 0);
        nKind = bBool ? enJsonKindBoolean : enJsonKindLiteral;
    } else {
        return s.Syntax(p, err);
    }
    return true;
}

bool COrvJsonReader::Begin(char chOpen, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    if (p >= s.End() || *p != chOpen)
        return s.Fail(p, chOpen == '{' ? "Expecting object" : "Expecting array", err);
    if (m_nDepth >= kOrvJsonMaxDepth)
        return s.Fail(p, "nesting deeper than 10000 levels", err);
    ++s.P();
    ++m_nDepth;
    m_bFirst = true;
    return true;
}

bool COrvJsonReader::BeginObject(COrvError& err) {
    return Begin('{', err);
}

bool COrvJsonReader::BeginArray(COrvError& err) {
    return Begin('[', err);
}

// The separator or end after a member (or before the first one): bHave false after the closing
// character, which also completes a member of the container around it.
bool COrvJsonReader::Next(bool& bHave, char chClose, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (m_nDepth == 0)
        return s.Fail(s.P(), "not inside an object or array", err);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    bool bComma = false;
    if (p < s.End() && *p == ',') {
        // A comma separates members; before the first one it may only precede the end.
        bComma = true;
        ++s.P();
        if (!s.SkipSpace(err))
            return false;
        p = s.P();
    }
    if (p < s.End() && *p == chClose) {
        ++s.P();
        --m_nDepth;
        m_bFirst = false;
        bHave = false;
        return true;
    }
    if (m_bFirst == bComma)
        return s.Syntax(p, err);
    m_bFirst = false;
    bHave = true;
    return true;
}

COrvJsonReader::~COrvJsonReader() {
    delete m_pNames;
}

bool COrvJsonReader::NextProperty(bool& bHave, COrvStringA& strName, COrvError& err) {
    if (!Next(bHave, '}', err))
        return false;
    if (!bHave)
        return true;
    // Names repeat from object to object: they share their strings (when memory allows).
    if (m_pNames == nullptr)
        m_pNames = new (std::nothrow) COrvJsonIntern();
    COrvJsonScanner s(m_src, m_pNames);
    return s.ReadName<true>(strName, err);
}

bool COrvJsonReader::NextElement(bool& bHave, COrvError& err) {
    return Next(bHave, ']', err);
}

bool COrvJsonReader::ReadString(COrvStringA& str, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    if (p >= s.End() || (*p != '"' && *p != '\''))
        return s.Fail(p, "Expecting string", err);
    return s.ReadString<true>(str, err);
}

bool COrvJsonReader::ReadInteger(int64_t& n, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    const unsigned c = p < s.End() ? static_cast<unsigned char>(*p) : 0;
    if (!(IsDigit(c) || c == '-' || c == '+' || c == '.'))
        return s.Fail(p, "Expecting number", err);
    bool bDouble;
    double d;
    if (!s.ReadNumber(bDouble, n, d, err))
        return false;
    if (bDouble)
        return s.Fail(p, "Expecting integer", err);
    m_nNumberAt = static_cast<size_t>(p - m_src.m_pBegin);
    return true;
}

bool COrvJsonReader::ReadInt64(int64_t& n, COrvError& err) {
    return ReadInteger(n, err);
}

bool COrvJsonReader::ReadInt32(int32_t& n, COrvError& err) {
    int64_t v;
    if (!ReadInteger(v, err))
        return false;
    if (v < INT32_MIN || v > INT32_MAX)
        return COrvJsonScanner(m_src).Fail(m_src.m_pBegin + m_nNumberAt,
                                           "Integer value out of range", err);
    n = static_cast<int32_t>(v);
    return true;
}

bool COrvJsonReader::ReadUInt32(uint32_t& n, COrvError& err) {
    int64_t v;
    if (!ReadInteger(v, err))
        return false;
    if (v < 0 || v > UINT32_MAX)
        return COrvJsonScanner(m_src).Fail(m_src.m_pBegin + m_nNumberAt,
                                           "Integer value out of range", err);
    n = static_cast<uint32_t>(v);
    return true;
}

bool COrvJsonReader::ReadDouble(double& d, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    const unsigned c = p < s.End() ? static_cast<unsigned char>(*p) : 0;
    if (!(IsDigit(c) || c == '-' || c == '+' || c == '.'))
        return s.Fail(p, "Expecting number", err);
    bool bDouble;
    int64_t n;
    if (!s.ReadNumber(bDouble, n, d, err))
        return false;
    if (!bDouble)
        d = static_cast<double>(n);
    return true;
}

bool COrvJsonReader::ReadBool(bool& b, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    if (p >= s.End() || !IsLetter(static_cast<unsigned char>(*p)))
        return s.Fail(p, "Expecting 'true' or 'false'", err);
    const char* q = s.WordEnd(p + 1);
    const size_t n = static_cast<size_t>(q - p);
    if (n == 4 && memcmp(p, "true", 4) == 0) {
        b = true;
    } else if (n == 5 && memcmp(p, "false", 5) == 0) {
        b = false;
    } else {
        COrvStringA strMsg;
        strMsg.Format("Expecting 'true' or 'false', got '%.*s'", static_cast<int>(n < 64 ? n : 64),
                      p);
        return s.Fail(p, strMsg, err);
    }
    s.P() = q;
    return true;
}

bool COrvJsonReader::ReadNull(bool& bIsNull, COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    const char* p = s.P();
    bIsNull = s.End() - p >= 4 && memcmp(p, "null", 4) == 0 && s.WordEnd(p + 4) == p + 4;
    if (bIsNull)
        s.P() = p + 4;
    return true;
}

bool COrvJsonReader::ReadBinary(COrvStringA& bytes, COrvError& err) {
    COrvStringA strText;
    if (!COrvJsonScanner(m_src).SkipSpace(err))
        return false;
    const size_t nAt = m_src.GetPosition();
    if (!ReadString(strText, err))
        return false;
    // Standard Base64; the padding may be left out, nothing may follow it.
    const char* p = strText.GetString();
    const int n = strText.GetLength();
    char* pOut = bytes.GetBufferSetLength(n / 4 * 3 + 3);
    if (pOut == nullptr)
        return COrvJsonScanner(m_src).NoMemory(err);
    int nOut = 0, i = 0, nHave = 0;
    unsigned nBits = 0;
    for (; i < n && p[i] != '='; ++i) {
        const int v = OrvBase64DigitValue(static_cast<unsigned char>(p[i]));
        if (v < 0)
            break;
        nBits = (nBits << 6) | static_cast<unsigned>(v);
        nHave += 6;
        if (nHave >= 8) {
            nHave -= 8;
            pOut[nOut++] = static_cast<char>((nBits >> nHave) & 0xFF);
        }
    }
    const int nData = i;
    int nPad = 0;
    while (i < n && p[i] == '=') {
        ++i;
        ++nPad;
    }
    // A lone last sextet carries no byte; padding must complete a group of four.
    const bool bOk = i == n && nHave < 6 && (nPad == 0 || (nData + nPad) % 4 == 0) && nPad <= 2;
    if (!bOk) {
        bytes.Empty();
        return COrvJsonScanner(m_src).Fail(m_src.m_pBegin + nAt, "Bad base64 encoding", err);
    }
    bytes.ReleaseBuffer(nOut);
    return true;
}

bool COrvJsonReader::ReadValue(int nKind, COrvJsonRoot& out, COrvError& err) {
    out.Reset();
    COrvJsonScanner s(m_src);
    if (nKind < enJsonKindObject || nKind > enJsonKindLiteral)
        return s.Fail(s.P(), "Unsupported value type", err);
    int nFound;
    if (!PeekKind(nFound, err))
        return false;
    if (nFound != nKind) {
        static const char* const kNames[] = {"Expecting object",
                                             "Expecting array",
                                             "Expecting string",
                                             "Expecting number",
                                             "Expecting 'true' or 'false'",
                                             "Expecting literal"};
        return s.Fail(s.P(), kNames[nKind], err);
    }
    COrvJsonArena* pArena = new (std::nothrow) COrvJsonArena(1024);
    if (pArena == nullptr)
        return s.NoMemory(err);
    COrvJsonValue* pValue = nullptr;
    bool bOk;
    {
        COrvJsonBuilder b(m_src, pArena, m_nDepth);
        bOk = b.Read<true>(pValue, err);
    }
    if (!bOk) {
        delete pArena;
        return false;
    }
    out.m_pValue = pValue;
    out.m_pArena = pArena;
    return true;
}

bool COrvJsonReader::Skip(COrvError& err) {
    COrvJsonBuilder b(m_src, nullptr, m_nDepth);
    COrvJsonValue* pNone;
    return b.Read<false>(pNone, err);
}

bool COrvJsonReader::Finish(COrvError& err) {
    COrvJsonScanner s(m_src);
    if (!s.SkipSpace(err))
        return false;
    return s.P() == s.End() || s.Syntax(s.P(), err);
}

// ---- the writer ----

namespace {

// The text being written, straight into the output string's buffer (grown geometrically).
class CJsonOut {
public:
    explicit CJsonOut(COrvStringA& s) : m_s(s) { m_s.Empty(); }
    bool Reserve(size_t n) { return m_nCap - m_nLen >= n || Grow(n); }
    void PutUnchecked(char c) { m_p[m_nLen++] = c; }
    void PutUnchecked(const char* p, size_t n) {
        memcpy(m_p + m_nLen, p, n);
        m_nLen += n;
    }
    bool Put(char c) {
        if (!Reserve(1))
            return false;
        PutUnchecked(c);
        return true;
    }
    bool Put(const char* p, size_t n) {
        if (!Reserve(n))
            return false;
        PutUnchecked(p, n);
        return true;
    }
    void Finish() {
        if (m_p != nullptr)
            m_s.ReleaseBuffer(static_cast<int>(m_nLen));
    }

private:
    bool Grow(size_t n) {
        size_t nCap = m_nCap < 256 ? 512 : m_nCap * 2;
        if (nCap < m_nLen + n)
            nCap = m_nLen + n;
        if (nCap >= INT32_MAX)
            return false;
        char* p = m_s.GetBufferSetLength(static_cast<int>(nCap));
        if (p == nullptr)
            return false;
        m_p = p;
        m_nCap = nCap;
        return true;
    }

    COrvStringA& m_s;
    char* m_p = nullptr;
    size_t m_nLen = 0;
    size_t m_nCap = 0;
};

// Bytes that the string escaping looks at: quotes and backslash, slash, "<", ">", controls and
// every byte from 0x80.
constexpr bool MakeEsc(int c) {
    return c < 32 || c == '"' || c == '\\' || c == '/' || c == '<' || c == '>' || c >= 0x80;
}
#define ORV_E4(c) MakeEsc(c), MakeEsc(c + 1), MakeEsc(c + 2), MakeEsc(c + 3)
#define ORV_E16(c) ORV_E4(c), ORV_E4(c + 4), ORV_E4(c + 8), ORV_E4(c + 12)
#define ORV_E64(c) ORV_E16(c), ORV_E16(c + 16), ORV_E16(c + 32), ORV_E16(c + 48)
constexpr bool kEsc[256] = {ORV_E64(0), ORV_E64(64), ORV_E64(128), ORV_E64(192)};
#undef ORV_E4
#undef ORV_E16
#undef ORV_E64

class CJsonWriter {
public:
    CJsonWriter(COrvStringA& s, unsigned nOptions, COrvError& err)
        : m_out(s), m_nOptions(nOptions), m_err(err) {}

    bool Write(const COrvJsonValue* pRoot) {
        if (!Value(pRoot))
            return false;
        while (!m_frames.Empty()) {
            Frame& f = m_frames.Top();
            const size_t nDepth = m_frames.Size();
            const COrvJsonObject* o = f.pValue->AsObject();
            const size_t nCount =
                o ? o->GetPropList().GetCount() : f.pValue->AsArray()->GetArray().GetCount();
            if (f.i == nCount) {
                m_frames.Pop();
                if (!NewLine(nDepth - 1) || !Put(o ? '}' : ']'))
                    return false;
                continue;
            }
            const size_t i = f.i++;
            if ((i > 0 && !Put(',')) || !NewLine(nDepth))
                return false;
            const COrvJsonValue* pMember;
            if (o != nullptr) {
                const COrvJsonProp& prop = o->GetPropList().GetAt(i);
                if (!Name(prop.m_strName))
                    return false;
                pMember = prop.m_pValue;
            } else {
                pMember = f.pValue->AsArray()->GetArray().GetAt(i);
            }
            if (!Value(pMember))
                return false;
        }
        m_out.Finish();
        return true;
    }

private:
    struct Frame {
        const COrvJsonValue* pValue;
        size_t i;
    };

    bool NoMemory() { return m_err.Set(enNetNoMemory, "JSON write: out of memory"); }
    bool Put(char c) { return m_out.Put(c) || NoMemory(); }
    bool Put(const char* p, size_t n) { return m_out.Put(p, n) || NoMemory(); }

    bool NewLine(size_t nDepth) {
        if (!(m_nOptions & enJsonWriteIndent))
            return true;
        if (!m_out.Reserve(1 + 2 * nDepth))
            return NoMemory();
        m_out.PutUnchecked('\n');
        for (size_t k = 0; k < 2 * nDepth; ++k)
            m_out.PutUnchecked(' ');
        return true;
    }

    // A value; a non-empty container is opened and pushed for the loop of Write to fill.
    bool Value(const COrvJsonValue* v) {
        if (v == nullptr || v->IsUndefined())
            return Put("null", 4);
        if (v->IsObject() || v->IsArray()) {
            const bool bObject = v->IsObject();
            const size_t n = bObject ? v->AsObject()->GetPropList().GetCount()
                                     : v->AsArray()->GetArray().GetCount();
            if (n == 0)
                return Put(bObject ? "{}" : "[]", 2);
            Frame* f = m_frames.Push();
            if (f == nullptr)
                return NoMemory();
            *f = {v, 0};
            return Put(bObject ? '{' : '[');
        }
        if (v->IsNumber())
            return Number(*static_cast<const COrvJsonNumber*>(v));
        const auto* s = static_cast<const COrvJsonString*>(v);
        if (s->IsUnquoted())
            return Bare(s->GetString(), false);
        return String(s->GetString());
    }

    bool Number(const COrvJsonNumber& num) {
        char buf[40];
        if (!num.IsDouble()) {
            char* pEnd = buf + sizeof(buf);
            char* p;
            if (num.GetWidth() == 32)
                p = OrvDecimalBackward(pEnd, static_cast<int64_t>(num.GetLow32()));
            else if (num.GetWidth() == -32)
                p = OrvDecimalBackward(
                    pEnd, static_cast<uint64_t>(static_cast<uint32_t>(num.GetLow32())));
            else
                p = OrvDecimalBackward(pEnd, num.GetInt64());
            return Put(p, static_cast<size_t>(pEnd - p));
        }
        const double d = num.GetDouble();
        if (d != d || d - d != 0) {
            return m_err.SetFormat(enNetBadRequest, "JSON can not represent the number %s",
                                   d != d  ? "NaN"
                                   : d > 0 ? "infinity"
                                           : "-infinity");
        }
        // The shortest text that reads back as the same double; ".0" keeps it a double.
        const std::to_chars_result r = std::to_chars(buf, buf + sizeof(buf) - 2, d);
        size_t n = static_cast<size_t>(r.ptr - buf);
        if (memchr(buf, '.', n) == nullptr && memchr(buf, 'e', n) == nullptr) {
            buf[n++] = '.';
            buf[n++] = '0';
        }
        return Put(buf, n);
    }

    // A bare word or name: [A-Za-z][A-Za-z0-9_]* (names may also start with "_").
    bool Bare(const COrvStringA& str, bool bName) {
        const char* p = str.GetString();
        const int n = str.GetLength();
        for (int i = 0; i < n || i == 0; ++i) {
            const unsigned c = static_cast<unsigned char>(p[i]);
            const bool bOk = i == 0 ? IsLetter(c) || (bName && c == '_') : IsWordChar(c);
            if (bOk)
                continue;
            OrvAssertFailed(__FILE__, __LINE__, 0, "FALSE", 0);
            const char* pszFormat =
                bName ? (i == 0 ? "JSON property name or identifier can not start with char '%c' "
                                  "(%02x)"
                                : "JSON property name or identifier can not hold char '%c' (%02x)")
                      : (i == 0 ? "JSON literal can not start with char '%c' (%02x)"
                                : "JSON literal can not hold char '%c' (%02x)");
            return m_err.SetFormat(enNetBadRequest, pszFormat, Shown(c), c);
        }
        return Put(p, static_cast<size_t>(n));
    }

    bool Name(const COrvStringA& str) {
        if (m_nOptions & enJsonWriteBareNames) {
            if (!Bare(str, true))
                return false;
        } else if (!String(str)) {
            return false;
        }
        return (m_nOptions & enJsonWriteIndent) ? Put(": ", 2) : Put(':');
    }

    bool Hex(unsigned u) {
        static const char kHex[] = "0123456789abcdef";
        if (!m_out.Reserve(6))
            return NoMemory();
        const char a[6] = {
            '\\',        'u', kHex[(u >> 12) & 15], kHex[(u >> 8) & 15], kHex[(u >> 4) & 15],
            kHex[u & 15]};
        m_out.PutUnchecked(a, 6);
        return true;
    }

    bool String(const COrvStringA& str) {
        const char* p = str.GetString();
        const char* e = p + str.GetLength();
        if (!Put('"'))
            return false;
        while (p < e) {
            const char* q = p;
            while (q < e && !kEsc[static_cast<unsigned char>(*q)])
                ++q;
            if (q > p && !Put(p, static_cast<size_t>(q - p)))
                return false;
            if (q == e)
                break;
            const unsigned c = static_cast<unsigned char>(*q);
            p = q + 1;
            if (c >= 0x80) {
                const OrvUtf8Step s = OrvUtf8DecodeOne(q, static_cast<size_t>(e - q));
                if (s.eStatus != enUtfOk) {
                    return m_err.SetFormat(
                        enNetBadRequest, "JSON string is not valid UTF-8 (byte %u of \"%.40s\")",
                        static_cast<unsigned>(q - str.GetString()), str.GetString());
                }
                p = q + s.nLen;
                if (m_nOptions & enJsonWriteKeepUtf8) {
                    if (!Put(q, static_cast<size_t>(s.nLen)))
                        return false;
                } else if (s.c >= 0x10000) {
                    if (!Hex(OrvHighSurrogateOf(s.c)) || !Hex(OrvLowSurrogateOf(s.c)))
                        return false;
                } else if (!Hex(s.c)) {
                    return false;
                }
                continue;
            }
            char chLetter = 0;
            switch (c) {
                case '"':
                    chLetter = '"';
                    break;
                case '\\':
                    chLetter = '\\';
                    break;
                case '/':
                    chLetter = (m_nOptions & enJsonWriteSlashPlain) ? 0 : '/';
                    if (chLetter == 0 && !Put('/'))
                        return false;
                    if (chLetter == 0)
                        continue;
                    break;
                case '\b':
                    chLetter = 'b';
                    break;
                case '\f':
                    chLetter = 'f';
                    break;
                case '\n':
                    chLetter = 'n';
                    break;
                case '\r':
                    chLetter = 'r';
                    break;
                case '\t':
                    chLetter = 't';
                    break;
                default:
                    if (!Hex(c))
                        return false;
                    continue;
            }
            const char a[2] = {'\\', chLetter};
            if (!Put(a, 2))
                return false;
        }
        return Put('"');
    }

    CJsonOut m_out;
    unsigned m_nOptions;
    COrvError& m_err;
    CPodStack<Frame> m_frames;
};

}  // namespace

bool OrvJsonWrite(const COrvJsonValue* pValue, COrvStringA& strOut, unsigned nOptions,
                  COrvError& err) {
    CJsonWriter w(strOut, nOptions, err);
    if (w.Write(pValue))
        return true;
    strOut.Empty();
    return false;
}

// ---- comparison ----

bool OrvJsonEqual(const COrvJsonValue* pA, const COrvJsonValue* pB) {
    struct Pair {
        const COrvJsonValue* a;
        const COrvJsonValue* b;
    };
    CPodStack<Pair> work;
    Pair* pFirst = work.Push();
    if (pFirst == nullptr)
        return false;
    *pFirst = {pA, pB};
    while (!work.Empty()) {
        const Pair pr = work.Top();
        work.Pop();
        const COrvJsonValue* a = pr.a;
        const COrvJsonValue* b = pr.b;
        const bool bUndefA = a == nullptr || a->IsUndefined();
        const bool bUndefB = b == nullptr || b->IsUndefined();
        if (bUndefA || bUndefB) {
            if (bUndefA != bUndefB)
                return false;
            continue;
        }
        if (a->GetKind() != b->GetKind())
            return false;
        if (a->IsNumber()) {
            const auto* x = static_cast<const COrvJsonNumber*>(a);
            const auto* y = static_cast<const COrvJsonNumber*>(b);
            if (x->IsDouble() != y->IsDouble())
                return false;
            const double dx = x->GetDouble(), dy = y->GetDouble();
            if (x->IsDouble() ? memcmp(&dx, &dy, sizeof(dx)) != 0 : x->GetInt64() != y->GetInt64())
                return false;
        } else if (a->IsStringLike()) {
            if (!static_cast<const COrvJsonString*>(a)->GetString().Equals(
                    static_cast<const COrvJsonString*>(b)->GetString()))
                return false;
        } else if (a->IsArray()) {
            const COrvJsonValueList& la = a->AsArray()->GetArray();
            const COrvJsonValueList& lb = b->AsArray()->GetArray();
            if (la.GetCount() != lb.GetCount())
                return false;
            for (size_t i = la.GetCount(); i-- > 0;) {
                Pair* p = work.Push();
                if (p == nullptr)
                    return false;
                *p = {la.GetAt(i), lb.GetAt(i)};
            }
        } else {
            const COrvJsonPropList& la = a->AsObject()->GetPropList();
            const COrvJsonPropList& lb = b->AsObject()->GetPropList();
            if (la.GetCount() != lb.GetCount())
                return false;
            for (size_t i = la.GetCount(); i-- > 0;) {
                if (!la.GetAt(i).m_strName.Equals(lb.GetAt(i).m_strName))
                    return false;
                Pair* p = work.Push();
                if (p == nullptr)
                    return false;
                *p = {la.GetAt(i).m_pValue, lb.GetAt(i).m_pValue};
            }
        }
    }
    return true;
}

// ---- paths ----

namespace {

// A decimal index ([0-9]+, at most 9 digits) of n bytes at p.
bool ParseIndex(const char* p, size_t n, size_t& nIndex) {
    if (n == 0 || n > 9)
        return false;
    nIndex = 0;
    for (size_t k = 0; k < n; ++k) {
        if (!IsDigit(static_cast<unsigned char>(p[k])))
            return false;
        nIndex = nIndex * 10 + static_cast<size_t>(p[k] - '0');
    }
    return true;
}

// The first "." or "[" of the path, or its length.
size_t FindSep(const char* p, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        if (p[k] == '.' || p[k] == '[')
            return k;
    }
    return n;
}

bool IsContainer(const COrvJsonValue* p) {
    if (p->IsObject() || p->IsArray())
        return true;
    OrvAssertFailed(__FILE__, __LINE__, 0, "IsObject() || IsArray()", 0);
    return false;
}

COrvJsonValue* Property(COrvJsonValue* pNode, const char* pName, size_t n) {
    COrvJsonObject* o = pNode->AsObject();
    return o ? o->GetPropList().Find(pName, static_cast<int>(n)) : nullptr;
}

// The most an array is filled past its end by a path.
constexpr size_t kMaxPathGap = 65536;

}  // namespace

const COrvJsonValue* COrvJsonValue::GetAt(const char* pszPath) const {
    return const_cast<COrvJsonValue*>(this)->GetAt(pszPath);
}

COrvJsonValue* COrvJsonValue::GetAt(const char* pszPath) {
    if (!IsContainer(this))
        return nullptr;
    COrvJsonValue* pNode = this;
    const char* p = pszPath ? pszPath : "";
    size_t n = strlen(p);
    while (n > 0 && pNode != nullptr) {
        if (!pNode->IsObject() && !pNode->IsArray())
            return nullptr;
        const size_t nSepPos = FindSep(p, n);
        if (nSepPos == n)
            return Property(pNode, p, n);
        if (p[nSepPos] == '.' || nSepPos > 0) {
            // A name before the separator; a "." itself is passed over.
            pNode = Property(pNode, p, nSepPos);
            const size_t nSkip = p[nSepPos] == '.' ? nSepPos + 1 : nSepPos;
            p += nSkip;
            n -= nSkip;
            continue;
        }
        // "[" at the start: an index or a quoted name up to the next "]".
        const char* pClose = static_cast<const char*>(memchr(p, ']', n));
        const size_t nCloseBrPos = pClose ? static_cast<size_t>(pClose - p) : 0;
        if (!(nCloseBrPos > 0 && nCloseBrPos > nSepPos + 1)) {
            OrvAssertFailed(__FILE__, __LINE__, 0, "FALSE", 0);
            return nullptr;
        }
        const char* pIn = p + 1;
        const size_t nIn = nCloseBrPos - (nSepPos + 1);
        size_t nIndex;
        if ((pIn[0] == '"' || pIn[0] == '\'') && pIn[nIn - 1] == pIn[0] && nIn > 2) {
            pNode = Property(pNode, pIn + 1, nIn - 2);
        } else if (ParseIndex(pIn, nIn, nIndex)) {
            COrvJsonArray* a = pNode->AsArray();
            pNode = a ? a->GetArray().GetAt(nIndex) : nullptr;
        } else {
            OrvAssertFailed(__FILE__, __LINE__, 0, "FALSE", 0);
            return nullptr;
        }
        p += nCloseBrPos + 1;
        n -= nCloseBrPos + 1;
        if (n > 0 && *p == '.') {
            ++p;
            --n;
        }
    }
    return pNode;
}

bool COrvJsonValue::GetObj(const char* pszPath, COrvJsonObject*& pObj, bool bCreate) {
    COrvJsonValue* v = GetAt(pszPath);
    pObj = v ? v->AsObject() : nullptr;
    if (pObj != nullptr || !bCreate || pszPath == nullptr || *pszPath == 0)
        return pObj != nullptr;
    COrvJsonObject* pNew = new COrvJsonObject();
    COrvError err;
    if (pNew == nullptr || !SetAt(pszPath, pNew, err))
        return false;
    pObj = pNew;
    return true;
}

bool COrvJsonValue::GetObjectPropList(const char* pszPath, COrvJsonPropList*& pList, bool bCreate) {
    COrvJsonObject* o;
    const bool bOk = GetObj(pszPath, o, bCreate);
    pList = bOk ? &o->GetPropList() : nullptr;
    return bOk;
}

namespace {

// The element of a at nIndex, after filling the array with null literals up to it when it is
// at or past the end; pNew (owned) replaces the element there. False (pNew destroyed) on a gap
// too large or lack of memory.
bool PutElement(COrvJsonArray* a, size_t nIndex, COrvJsonValue* pNew) {
    COrvJsonValueList& l = a->GetArray();
    if (nIndex > l.GetCount() + kMaxPathGap) {
        delete pNew;
        return false;
    }
    while (l.GetCount() < nIndex) {
        if (!l.Add(COrvJsonString::NewNull())) {
            delete pNew;
            return false;
        }
    }
    return nIndex < l.GetCount() ? l.SetAt(nIndex, pNew) : l.Add(pNew);
}

}  // namespace

bool COrvJsonValue::SetAt(const char* pszPath, COrvJsonValue* pValue, COrvError& err) {
    if (pValue == nullptr)
        return err.Set(enNetNoMemory, "JSON path: out of memory");
    const char* p = pszPath ? pszPath : "";
    size_t n = strlen(p);
    auto fail = [&](const char* pszWhy) {
        delete pValue;
        return err.SetFormat(enNetBadRequest, "JSON path: %s '%s'", pszWhy, pszPath ? pszPath : "");
    };
    if (!IsContainer(this))
        return fail("not an object or array at the start of");
    COrvJsonValue* pNode = this;
    for (;;) {
        const size_t nSepPos = FindSep(p, n);
        if (nSepPos == n || p[nSepPos] == '.' || nSepPos > 0) {
            // A name: the last step, or the container the rest of the path goes into.
            COrvJsonObject* o = pNode->AsObject();
            if (o == nullptr || nSepPos == 0)
                return fail("bad path");
            const COrvStringA strName(p, static_cast<int>(nSepPos));
            if (nSepPos == n)
                return o->GetPropList().Set(strName, pValue) ||
                       err.Set(enNetNoMemory, "JSON path: out of memory");
            const bool bObject = p[nSepPos] == '.';
            COrvJsonValue* pChild = o->GetPropList().Find(p, static_cast<int>(nSepPos));
            if (pChild == nullptr || (bObject ? !pChild->IsObject() : !pChild->IsArray())) {
                pChild = bObject ? static_cast<COrvJsonValue*>(new COrvJsonObject())
                                 : static_cast<COrvJsonValue*>(new COrvJsonArray());
                if (pChild == nullptr || !o->GetPropList().Set(strName, pChild)) {
                    delete pValue;
                    return err.Set(enNetNoMemory, "JSON path: out of memory");
                }
            }
            pNode = pChild;
            const size_t nSkip = bObject ? nSepPos + 1 : nSepPos;
            p += nSkip;
            n -= nSkip;
            if (n == 0)
                return fail("bad path");
            continue;
        }
        // "[n]": an element of the array pNode.
        const char* pClose = static_cast<const char*>(memchr(p, ']', n));
        const size_t nCloseBrPos = pClose ? static_cast<size_t>(pClose - p) : 0;
        size_t nIndex;
        if (!(nCloseBrPos > 0)) {
            OrvAssertFailed(__FILE__, __LINE__, 0, "nCloseBrPos>0", 0);
            return fail("bad path");
        }
        if (!ParseIndex(p + 1, nCloseBrPos - 1, nIndex))
            return fail("bad index in");
        COrvJsonArray* a = pNode->AsArray();
        if (a == nullptr)
            return fail("not an array in");
        p += nCloseBrPos + 1;
        n -= nCloseBrPos + 1;
        if (nIndex > a->GetArray().GetCount() + kMaxPathGap)
            return fail("index too far past the end in");
        if (n == 0)
            return PutElement(a, nIndex, pValue) ||
                   err.Set(enNetNoMemory, "JSON path: out of memory");
        if (*p != '.' && *p != '[') {
            OrvAssertFailed(__FILE__, __LINE__, 0, "FALSE", 0);
            return fail("bad path");
        }
        const bool bObject = *p == '.';
        COrvJsonValue* pChild = a->GetArray().GetAt(nIndex);
        if (pChild == nullptr || (bObject ? !pChild->IsObject() : !pChild->IsArray())) {
            pChild = bObject ? static_cast<COrvJsonValue*>(new COrvJsonObject())
                             : static_cast<COrvJsonValue*>(new COrvJsonArray());
            if (pChild == nullptr || !PutElement(a, nIndex, pChild)) {
                delete pValue;
                return err.Set(enNetNoMemory, "JSON path: out of memory");
            }
        }
        pNode = pChild;
        if (bObject) {
            ++p;
            --n;
            if (n == 0)
                return fail("bad path");
        }
    }
}
