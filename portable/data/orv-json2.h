// JSON: the value tree, the lenient document reader, the typed (pull) reader, the writer and
// access by path such as a.b[2].c or ["x.y"].
//
// Text is UTF-8 (COrvStringA) throughout. Nothing here throws: a fallible operation returns false
// and records enNetBadRequest (6) with a message in a COrvError (enNetNoMemory when memory runs
// out).
//
// Reading. Besides standard JSON the reader accepts single-quoted strings, unquoted property names
// ([A-Za-z_][A-Za-z0-9_]*), "//" line comments wherever white space may stand, a comma before a
// closing "]" or "}", bare words (true, false, null and any other [A-Za-z][A-Za-z0-9_]*), numbers
// with a leading "+", a leading or trailing "." and leading zeros, and raw control characters in
// strings. The document must hold exactly one value (white space and comments around it).
// Decisions that keep bad input from reaching the tree:
// - strings must be valid UTF-8: an invalid byte sequence fails with "invalid UTF-8 sequence";
//   a \u escape of a lone low surrogate fails with "wrong format: wrong UTF16 encoding", a high
//   surrogate not followed by a low one with "wrong format: expecting second part of UTF16
//   surrogate pair" (a "\" followed by anything but "u" or "U" there is a syntax error);
// - an integer (no "." and no exponent) outside the signed 64-bit range fails with
//   "Integer value out of 64-bit range": it is never wrapped and never rounded to a double;
// - a number whose magnitude is too large for a double fails with "Number out of double range";
//   one too small for the smallest denormal reads as zero of its sign;
// - containers nested deeper than kOrvJsonMaxDepth fail with "nesting deeper than 10000 levels";
//   the reader, the writer, the comparison and the destruction of a tree are iterative, so no
//   depth exhausts the stack.
// Messages: a syntax error is "JSON syntax error: unexpected char '%c'(%02x) at position %u,
// line %u" (control characters and bytes from 0x80 on show as '?' in the '%c' place); every other
// error "JSON read error: <text>, at position %u, line %u". The position is the offset in bytes of
// the offending character from the start of the text (0-based), the line is 1-based (LF, CR LF and
// a lone CR each end a line). On failure the partly built tree is destroyed and the output stays
// undefined.
//
// Writing. Compact by default: no white space at all. With enJsonWriteIndent each member of an
// object or array stands on a line of its own, indented by two spaces per level, and ": " follows
// a name; an empty container stays "{}" or "[]". Integers are written in decimal, doubles as the
// shortest text that reads back as the same double (with ".0" added when that text would read as
// an integer); NaN and infinities fail. Strings are escaped as described at OrvJsonWriteOptions.
//
// Threads: values and readers are plain data, for one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "orv-error.h"
#include "orv-string.h"

// Deepest nesting of arrays and objects the readers accept (the document's outermost container is
// level 1).
constexpr int kOrvJsonMaxDepth = 10000;

// The kinds of value, numbered as the typed reader numbers them.
enum OrvJsonKind : int {
    enJsonKindUndefined = -1,
    enJsonKindObject = 0,
    enJsonKindArray = 1,
    enJsonKindString = 2,
    enJsonKindNumber = 3,
    enJsonKindBoolean = 4,
    enJsonKindLiteral = 5,  // a bare word other than true and false, such as null
};

class COrvJsonArena;
class COrvJsonIntern;
class COrvJsonObject;
class COrvJsonArray;
class COrvJsonPropList;

// The base of all values; on its own an undefined value (no value). Values are owned through a
// pointer and destroyed with delete; a container owns its members. Values that the readers build
// live in storage owned by the COrvJsonRoot they fill (delete then runs the destructor only).
class COrvJsonValue {
public:
    // The value type word.
    enum : int32_t {
        enTypeUndefined = 0,
        enTypeString = 1,
        enTypeNumber = 2,
        enTypeArray = 3,
        enTypeObject = 4
    };

    COrvJsonValue() : COrvJsonValue(enTypeUndefined) {}
    virtual ~COrvJsonValue() = default;
    COrvJsonValue(const COrvJsonValue&) = delete;
    COrvJsonValue& operator=(const COrvJsonValue&) = delete;

    // Null when memory runs out (nothing is constructed then).
    static void* operator new(size_t nBytes) noexcept;
    // Runs the (virtual) destructor and gives the storage back unless it belongs to a reader's
    // storage, which the root frees as a whole.
    void operator delete(COrvJsonValue* p, std::destroying_delete_t);
    static void* operator new(size_t, void* p) noexcept { return p; }
    // For a constructor that throws (callers built with exceptions); deletes go through the
    // destroying form above.
    static void operator delete(void* p) noexcept;
    static void operator delete(void*, void*) noexcept {}

    int GetType() const { return m_nType; }
    bool IsUndefined() const { return m_nType == enTypeUndefined; }
    bool IsObject() const { return m_nType == enTypeObject; }
    bool IsArray() const { return m_nType == enTypeArray; }
    bool IsStringLike() const { return m_nType == enTypeString; }
    bool IsNumber() const { return m_nType == enTypeNumber; }
    // The kind (OrvJsonKind).
    int GetKind() const;

    // The object or array this value is, or null.
    COrvJsonObject* AsObject();
    const COrvJsonObject* AsObject() const;
    COrvJsonArray* AsArray();
    const COrvJsonArray* AsArray() const;

    // ---- access by path ----
    // Paths: "name", "a.b.c", "a[2]", "[0].x", "a['x.y']" or a["x.y"] (a quoted name in brackets
    // may hold dots, not "]"). The node a path is applied to must be an object or an array
    // (reported as the assertion "IsObject() || IsArray()" otherwise).

    // The value at pszPath (the node itself for an empty path); null when a property or element
    // is missing, when a step meets a value of the wrong type, or for a malformed bracket
    // (reported as the assertion "FALSE").
    COrvJsonValue* GetAt(const char* pszPath);
    const COrvJsonValue* GetAt(const char* pszPath) const;
    // The object at pszPath. With bCreate, missing steps are created (see SetAt) and a last step
    // that is missing or not an object becomes an empty object. False (pObj null) when there is
    // none, or on a bad path or lack of memory with bCreate.
    [[nodiscard]] bool GetObj(const char* pszPath, COrvJsonObject*& pObj, bool bCreate);
    // The property list of the object at pszPath, as GetObj.
    [[nodiscard]] bool GetObjectPropList(const char* pszPath, COrvJsonPropList*& pList,
                                         bool bCreate);
    // Stores pValue (owned from now on, also on failure) at pszPath, replacing what was there.
    // Steps: a name followed by "." must name an object: one is created (replacing a value of
    // another type) when it is not. A name or index followed by "[" must be an array, created the
    // same way. "[n]" takes element n of an array; when n is at or past the end the array is
    // filled with null literals up to n, and the element created is an object when the rest of
    // the path starts with "." and an array when it starts with "[". An index more than 65536
    // past the end fails. The last step sets the property (or element) itself. Fails on a
    // malformed path ("JSON path: bad path '%s'"), on a node that is not a container, or on lack
    // of memory.
    [[nodiscard]] bool SetAt(const char* pszPath, COrvJsonValue* pValue, COrvError& err);

protected:
    explicit COrvJsonValue(int32_t nType) : m_nType(nType), m_nFlags(0) {}

    int32_t m_nType;
    uint32_t m_nFlags;  // kFlagInArena and the subclass's bits

    static constexpr uint32_t kFlagInArena = 1;  // storage belongs to a reader's arena
    friend class COrvJsonArena;
    friend class COrvJsonTeardown;
};

// String-like values: strings, and bare words (booleans, null and other literals).
class COrvJsonString : public COrvJsonValue {
public:
    // A string (written in double quotes).
    explicit COrvJsonString(const COrvStringA& str)
        : COrvJsonValue(enTypeString),
          m_str(str),
          m_bUnquoted(false),
          m_bString(true),
          m_bBoolean(false),
          m_chQuote('"') {}
    // A bare word: true or false (a boolean), or a literal such as null.
    static COrvJsonString* NewWord(const char* pszWord);
    static COrvJsonString* NewBool(bool b) { return NewWord(b ? "true" : "false"); }
    static COrvJsonString* NewNull() { return NewWord("null"); }

    const COrvStringA& GetString() const { return m_str; }
    // Written without quotes (a bare word).
    bool IsUnquoted() const { return m_bUnquoted; }
    bool IsRealString() const { return m_bString; }
    bool IsBoolean() const { return m_bBoolean; }
    // For a boolean: whether it is true.
    bool GetBool() const { return m_bBoolean && m_str == "true"; }
    bool IsNull() const { return m_bUnquoted && m_str == "null"; }
    // The quote character the text was read with ('"' or '\'').
    char GetQuote() const { return m_chQuote; }

private:
    friend class COrvJsonBuilder;
    friend class COrvJsonTeardown;
    COrvJsonString() : COrvJsonValue(enTypeString) {}

    COrvStringA m_str;
    bool m_bUnquoted;
    bool m_bString;
    bool m_bBoolean;
    char m_chQuote;
};

// Numbers: a 64-bit integer or a double. Integers set from 32-bit fields are written with the
// 32-bit decimal forms (the same digits).
class COrvJsonNumber : public COrvJsonValue {
public:
    explicit COrvJsonNumber(int64_t n) : COrvJsonValue(enTypeNumber) { SetInt64(n); }
    explicit COrvJsonNumber(double d) : COrvJsonValue(enTypeNumber) { SetDouble(d); }

    bool IsDouble() const { return (m_nFlags & kFlagDouble) != 0; }
    int64_t GetInt64() const { return m_n; }
    int32_t GetLow32() const { return static_cast<int32_t>(m_n); }
    double GetDouble() const { return m_d; }
    // The value as a double whatever its form.
    double AsDouble() const { return IsDouble() ? m_d : static_cast<double>(m_n); }

    void SetInt64(int64_t n) { Set(n, 0); }
    void SetInt32(int32_t n) { Set(n, kFlagInt32); }
    void SetUInt32(uint32_t n) { Set(n, kFlagUInt32); }
    void SetDouble(double d) {
        m_nFlags = (m_nFlags & kFlagInArena) | kFlagDouble;
        m_n = 0;
        m_d = d;
    }
    // 32 (signed), -32 (unsigned 32-bit) or 64: the decimal form integers are written with.
    int GetWidth() const {
        return (m_nFlags & kFlagInt32) ? 32 : (m_nFlags & kFlagUInt32) ? -32 : 64;
    }

private:
    // The form lives in the flag word of the value (beside kFlagInArena).
    static constexpr uint32_t kFlagDouble = 2, kFlagInt32 = 4, kFlagUInt32 = 8;
    void Set(int64_t n, uint32_t nForm) {
        m_nFlags = (m_nFlags & kFlagInArena) | nForm;
        m_n = n;
        m_d = 0;
    }

    int64_t m_n;  // the integer (its low 32 bits are the 32-bit forms' value); 0 for a double
    double m_d;   // the double; 0 for an integer
};

// One property of an object: its name and its owned value.
struct COrvJsonProp {
    COrvStringA m_strName;
    COrvJsonValue* m_pValue;
};

// The members of an array, in order (owned).
class COrvJsonValueList {
public:
    COrvJsonValueList() = default;
    ~COrvJsonValueList();
    COrvJsonValueList(const COrvJsonValueList&) = delete;
    COrvJsonValueList& operator=(const COrvJsonValueList&) = delete;

    size_t GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    // The member at i, null when i is not below the count.
    COrvJsonValue* GetAt(size_t i) const { return i < m_nCount ? m_ppItems[i] : nullptr; }
    // Appends pValue (owned from now on; destroyed when memory runs out, with false).
    [[nodiscard]] bool Add(COrvJsonValue* pValue);
    // Replaces the member at i (the old one is destroyed); false (pValue destroyed) when i is not
    // below the count.
    [[nodiscard]] bool SetAt(size_t i, COrvJsonValue* pValue);
    // Removes and destroys the member at i; false when there is none.
    bool RemoveAt(size_t i);
    void RemoveAll();

private:
    friend class COrvJsonBuilder;
    friend class COrvJsonTeardown;
    bool Grow(size_t nNeed);

    COrvJsonValue** m_ppItems = nullptr;
    uint32_t m_nCount = 0;
    uint32_t m_nCapacity = 0;
    bool m_bArenaItems = false;  // m_ppItems belongs to a reader's arena
};

// The properties of an object in insertion order (owned). Duplicate names are kept as read;
// lookups find the first.
class COrvJsonPropList {
public:
    COrvJsonPropList() = default;
    ~COrvJsonPropList();
    COrvJsonPropList(const COrvJsonPropList&) = delete;
    COrvJsonPropList& operator=(const COrvJsonPropList&) = delete;

    size_t GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    // The property at i (i below the count).
    const COrvJsonProp& GetAt(size_t i) const { return m_pProps[i]; }
    // The value of the first property named pszName, or null. nLen: bytes of the name, -1 up to
    // the NUL.
    COrvJsonValue* Find(const char* pszName, int nLen = -1) const;
    // Appends a property without looking for the name (pValue owned from now on; destroyed when
    // memory runs out, with false).
    [[nodiscard]] bool Add(const COrvStringA& strName, COrvJsonValue* pValue);
    // Replaces the value of the first property of that name (destroying the old one), or appends.
    [[nodiscard]] bool Set(const COrvStringA& strName, COrvJsonValue* pValue);
    // Removes and destroys the first property of that name; false when there is none.
    bool Remove(const char* pszName);
    void RemoveAll();

private:
    friend class COrvJsonBuilder;
    friend class COrvJsonTeardown;
    bool Grow(size_t nNeed);

    COrvJsonProp* m_pProps = nullptr;
    uint32_t m_nCount = 0;
    uint32_t m_nCapacity = 0;
    bool m_bArenaItems = false;
};

class COrvJsonArray : public COrvJsonValue {
public:
    COrvJsonArray() : COrvJsonValue(enTypeArray) {}
    ~COrvJsonArray() override;
    COrvJsonValueList& GetArray() { return m_list; }
    const COrvJsonValueList& GetArray() const { return m_list; }

private:
    friend class COrvJsonBuilder;
    friend class COrvJsonTeardown;
    COrvJsonValueList m_list;
};

class COrvJsonObject : public COrvJsonValue {
public:
    COrvJsonObject() : COrvJsonValue(enTypeObject) {}
    ~COrvJsonObject() override;
    COrvJsonPropList& GetPropList() { return m_props; }
    const COrvJsonPropList& GetPropList() const { return m_props; }

private:
    friend class COrvJsonBuilder;
    friend class COrvJsonTeardown;
    COrvJsonPropList m_props;
};

// Owns one value tree (and the storage a reader built it in). Empty: undefined.
class COrvJsonRoot {
public:
    COrvJsonRoot() = default;
    ~COrvJsonRoot() { Reset(); }
    COrvJsonRoot(const COrvJsonRoot&) = delete;
    COrvJsonRoot& operator=(const COrvJsonRoot&) = delete;
    COrvJsonRoot(COrvJsonRoot&& other) noexcept
        : m_pValue(other.m_pValue), m_pArena(other.m_pArena) {
        other.m_pValue = nullptr;
        other.m_pArena = nullptr;
    }
    COrvJsonRoot& operator=(COrvJsonRoot&& other) noexcept;

    bool IsUndefined() const { return m_pValue == nullptr || m_pValue->IsUndefined(); }
    COrvJsonValue* Get() const { return m_pValue; }
    COrvJsonValue* operator->() const { return m_pValue; }
    // Destroys the tree; with pValue (made with new, owned from now on) holds that one instead.
    void Reset(COrvJsonValue* pValue = nullptr);

private:
    friend bool OrvJsonParse(const char*, size_t, COrvJsonRoot&, COrvError&);
    friend class COrvJsonReader;
    COrvJsonValue* m_pValue = nullptr;
    COrvJsonArena* m_pArena = nullptr;
};

// Reads the document text (nLen bytes) into a tree. On failure out is undefined and err holds
// enNetBadRequest and the message (see the top of this file).
[[nodiscard]] bool OrvJsonParse(const char* pText, size_t nLen, COrvJsonRoot& out, COrvError& err);
[[nodiscard]] inline bool OrvJsonParse(const COrvStringA& str, COrvJsonRoot& out, COrvError& err) {
    return OrvJsonParse(str.GetString(), static_cast<size_t>(str.GetLength()), out, err);
}

// Options of the writer (bits).
enum OrvJsonWriteOptions : unsigned {
    // Strings are escaped thus: double quote, backslash, slash, BS, FF, LF, CR and TAB as "\" and
    // their letter; "<", ">" and other characters below 32 as "\u%04x"; characters from U+0080
    // on as "\u%04x" of each UTF-16 unit (two escapes for a supplementary character). A string
    // that is not valid UTF-8 fails ("JSON string is not valid UTF-8").
    enJsonWriteDefault = 0,
    enJsonWriteSlashPlain = 1,  // "/" stays "/"
    enJsonWriteKeepUtf8 = 2,    // characters from U+0080 on are written as their UTF-8 bytes
    enJsonWriteIndent = 4,      // one member per line, two spaces per level
    // Property names are written without quotes; each must then be [A-Za-z_][A-Za-z0-9_]*, else
    // writing fails with "JSON property name or identifier can not start with char '%c' (%02x)".
    enJsonWriteBareNames = 8,
};

// Writes the tree as text, replacing strOut. Fails (strOut empty) on a double that is NaN or
// infinite, a bare word that does not start with a letter ("JSON literal can not start with char
// '%c' (%02x)"), a bad bare name, invalid UTF-8 or lack of memory. Undefined values are written
// as null.
[[nodiscard]] bool OrvJsonWrite(const COrvJsonValue* pValue, COrvStringA& strOut, unsigned nOptions,
                                COrvError& err);

// Whether two trees hold the same values: same types and kinds, equal strings and words, equal
// integers, doubles with the same bits, the same property names and values in the same order.
bool OrvJsonEqual(const COrvJsonValue* pA, const COrvJsonValue* pB);

// The character source of the readers: a text in memory with one character of push-back.
class COrvJsonSource {
public:
    COrvJsonSource(const char* pText, size_t nLen)
        : m_pBegin(pText), m_p(pText), m_pEnd(pText + nLen) {}
    // The next character (0..255), or -1 at the end.
    int Get() {
        m_bPushedBack = false;
        return m_p < m_pEnd ? static_cast<unsigned char>(*m_p++) : -1;
    }
    // Pushes the last character read back; a second push-back before the next Get fails with
    // "cannot unget char" (and nothing moves), as does one at the start.
    [[nodiscard]] bool Unget(COrvError& err);
    // Characters read so far.
    size_t GetPosition() const { return static_cast<size_t>(m_p - m_pBegin); }
    // 1-based line of the next character.
    unsigned GetLine() const;

private:
    friend class COrvJsonScanner;
    friend class COrvJsonReader;
    const char* m_pBegin;
    const char* m_p;
    const char* m_pEnd;
    bool m_bPushedBack = false;
};

// The typed reader: reads a document directly into the caller's fields, one value at a time, in
// document order, without building a tree. Typical use:
//
//   COrvJsonReader r(text, len);
//   if (!r.BeginObject(err)) return false;
//   for (;;) {
//       bool bHave; COrvStringA name;
//       if (!r.NextProperty(bHave, name, err)) return false;
//       if (!bHave) break;
//       if (name == "id") { if (!r.ReadInt64(s.id, err)) return false; }
//       else if (!r.Skip(err)) return false;
//   }
//   return r.Finish(err);
//
// Every failure records enNetBadRequest and a message with the position and line, as the document
// reader does; after a failure the reader should not be used further. Nesting deeper than
// kOrvJsonMaxDepth fails.
class COrvJsonReader {
public:
    COrvJsonReader(const char* pText, size_t nLen) : m_src(pText, nLen) {}
    explicit COrvJsonReader(const COrvStringA& str)
        : m_src(str.GetString(), static_cast<size_t>(str.GetLength())) {}
    ~COrvJsonReader();
    COrvJsonReader(const COrvJsonReader&) = delete;
    COrvJsonReader& operator=(const COrvJsonReader&) = delete;

    // The kind (OrvJsonKind) of the next value, without reading it; a character that starts no
    // value is a syntax error.
    [[nodiscard]] bool PeekKind(int& nKind, COrvError& err);
    // "{" then the properties one by one: NextProperty gives the next name (the caller then reads
    // or skips its value) or bHave false after the closing "}".
    [[nodiscard]] bool BeginObject(COrvError& err);
    [[nodiscard]] bool NextProperty(bool& bHave, COrvStringA& strName, COrvError& err);
    // "[" then the elements one by one: bHave false after the closing "]".
    [[nodiscard]] bool BeginArray(COrvError& err);
    [[nodiscard]] bool NextElement(bool& bHave, COrvError& err);

    // Fields. Each fails with "Expecting <kind>" when the next value is of another kind.
    [[nodiscard]] bool ReadString(COrvStringA& str, COrvError& err);
    // Integers: a number without "." and exponent. 32-bit fields fail with "Integer value out of
    // range" outside -2147483648..2147483647 (unsigned: 0..4294967295).
    [[nodiscard]] bool ReadInt32(int32_t& n, COrvError& err);
    [[nodiscard]] bool ReadUInt32(uint32_t& n, COrvError& err);
    [[nodiscard]] bool ReadInt64(int64_t& n, COrvError& err);
    // Any number.
    [[nodiscard]] bool ReadDouble(double& d, COrvError& err);
    // The bare words true and false only: "Expecting 'true' or 'false', got '%s'", or "Expecting
    // 'true' or 'false'" when no word stands there.
    [[nodiscard]] bool ReadBool(bool& b, COrvError& err);
    // A string of standard Base64 (padding optional) decoded into bytes: "Bad base64 encoding".
    [[nodiscard]] bool ReadBinary(COrvStringA& bytes, COrvError& err);
    // A null literal: bIsNull true and the literal read; otherwise nothing is read.
    [[nodiscard]] bool ReadNull(bool& bIsNull, COrvError& err);
    // The next value as a tree; nKind names the kind expected (OrvJsonKind 0..5; any other is
    // "Unsupported value type").
    [[nodiscard]] bool ReadValue(int nKind, COrvJsonRoot& out, COrvError& err);
    // Skips the next value whole.
    [[nodiscard]] bool Skip(COrvError& err);
    // Only white space and comments remain.
    [[nodiscard]] bool Finish(COrvError& err);

    size_t GetPosition() const { return m_src.GetPosition(); }

private:
    bool Next(bool& bHave, char chClose, COrvError& err);
    bool Begin(char chOpen, COrvError& err);
    bool ReadInteger(int64_t& n, COrvError& err);

    COrvJsonSource m_src;
    COrvJsonIntern* m_pNames = nullptr;  // property names read so far, shared
    size_t m_nNumberAt = 0;              // where the last integer read started
    int m_nDepth = 0;
    bool m_bFirst = false;  // the next Next* call is for the first member of its container
};
