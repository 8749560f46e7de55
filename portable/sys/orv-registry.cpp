#include "orv-registry.h"

#include "orv-registry-os.h"
#include "orv-trace.h"
#include "orv-utf.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include <algorithm>

bool g_orv_reg_use_64bit_view = false;

namespace {

// Units of the first text read; a longer value is read again with the size the store reports.
constexpr uint32_t kFirstReadChars = 260;

size_t Length16(const char16_t* psz) {
    size_t n = 0;
    if (psz != nullptr)
        while (psz[n])
            ++n;
    return n;
}

COrvStringA Narrow(const COrvStringW& s) {
    COrvStringA out;
    if (!OrvUtf16ToUtf8(s.GetString(), out))
        out.Empty();
    return out;
}

const char16_t* OrEmpty(const char16_t* psz) {
    return psz != nullptr ? psz : u"";
}

// Records a failure whose text is in the library's format, where %S takes a UTF-16 text.
bool Fail(COrvError& err, int nCode, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    COrvStringA s;
    s.FormatV(pszFormat, args);
    va_end(args);
    return err.Set(nCode, s);
}

}  // namespace

bool OrvIsWow64Process() {
    // Linux runs a 32-bit program on a 64-bit kernel without a second registry view.
    return false;
}

uint32_t OrvRegViewAccess(uint32_t nAccess, bool bWow64, bool bUse64View) {
    // An access that already names a view keeps it.
    if (bWow64 && bUse64View && (nAccess & (ORV_KEY_WOW64_64KEY | ORV_KEY_WOW64_32KEY)) == 0)
        return nAccess | ORV_KEY_WOW64_64KEY;
    return nAccess;
}

uint32_t OrvRegOtherViewAccess(bool bWow64) {
    return bWow64 ? ORV_KEY_RW_64_VIEW : ORV_KEY_RW_32_VIEW;
}

const char16_t* OrvRegRootName(uint32_t nRoot) {
    switch (nRoot) {
        case enOrvHKeyClassesRoot:
            return u"HKEY_CLASSES_ROOT";
        case enOrvHKeyCurrentUser:
            return u"HKEY_CURRENT_USER";
        case enOrvHKeyLocalMachine:
            return u"HKEY_LOCAL_MACHINE";
        case enOrvHKeyUsers:
            return u"HKEY_USERS";
        default:
            return nullptr;
    }
}

bool COrvRegKey::OpenOrCreate(bool bCreate, const COrvStringA& strBase, bool bMachine,
                              const COrvStringW& strParentPath, const char16_t* pszSubKey,
                              uint32_t nAccess, COrvError& err) {
    Close();
    pszSubKey = OrEmpty(pszSubKey);
    std::string strDir;
    const int r = OrvRegResolve(strBase.GetString(), pszSubKey, bCreate, bMachine, strDir);
    if (r != 0) {
        COrvStringA s;
        s.Format(bCreate ? "Cannot create registry key '%S' in '%S': %s"
                         : "Cannot open registry key '%S' in '%S': %s",
                 pszSubKey, strParentPath.GetString(), OrvErrnoText(r).GetString());
        return err.Set(OrvResultFromErrno(r), s);
    }
    m_strPath = strParentPath;
    if (pszSubKey[0] != u'\0') {
        m_strPath += u"\\";
        m_strPath += pszSubKey;
    }
    m_strFolder = strDir.c_str();
    m_bMachine = bMachine;
    m_nAccess = OrvRegViewAccess(nAccess, OrvIsWow64Process(), g_orv_reg_use_64bit_view);
    m_bOpen = true;
    return true;
}

bool COrvRegKey::Create(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess,
                        COrvError& err) {
    return OpenOrCreateInRoot(true, nRoot, pszSubKey, nAccess, err);
}

bool COrvRegKey::OpenOrCreateInRoot(bool bCreate, uint32_t nRoot, const char16_t* pszSubKey,
                                    uint32_t nAccess, COrvError& err) {
    std::string strBase;
    bool bMachine = false;
    const char16_t* pszRoot = OrvRegRootName(nRoot);
    ORV_ASSERT_TEXT(pszRoot != nullptr, "unknown registry root key");
    const int r = pszRoot ? OrvRegHiveFolder(nRoot, strBase, bMachine) : EINVAL;
    if (r != 0) {
        Close();
        COrvStringA s;
        s.Format("Cannot %s registry key '%S' in '%S': %s", bCreate ? "create" : "open",
                 OrEmpty(pszSubKey), pszRoot ? pszRoot : u"?", OrvErrnoText(r).GetString());
        return err.Set(OrvResultFromErrno(r), s);
    }
    return OpenOrCreate(bCreate, strBase.c_str(), bMachine, pszRoot, pszSubKey, nAccess, err);
}

bool COrvRegKey::Create(const COrvRegKey& parent, const char16_t* pszSubKey, uint32_t nAccess,
                        COrvError& err) {
    if (!parent.m_bOpen) {
        Close();
        COrvStringA s;
        s.Format("Create: No parent for registry key '%S'", OrEmpty(pszSubKey));
        return err.Set(enNetNotReady, s);
    }
    const COrvStringA strBase = parent.m_strFolder;
    const COrvStringW strPath = parent.m_strPath;
    return OpenOrCreate(true, strBase, parent.m_bMachine, strPath, pszSubKey, nAccess, err);
}

bool COrvRegKey::Open(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess, COrvError& err) {
    return OpenOrCreateInRoot(false, nRoot, pszSubKey, nAccess, err);
}

bool COrvRegKey::Open(const COrvRegKey& parent, const char16_t* pszSubKey, uint32_t nAccess,
                      COrvError& err) {
    if (!parent.m_bOpen) {
        Close();
        COrvStringA s;
        s.Format("Could not create parent registry key '%s' for key '%S'",
                 Narrow(parent.m_strPath).GetString(), OrEmpty(pszSubKey));
        return err.Set(enNetNotReady, s);
    }
    const COrvStringA strBase = parent.m_strFolder;
    const COrvStringW strPath = parent.m_strPath;
    return OpenOrCreate(false, strBase, parent.m_bMachine, strPath, pszSubKey, nAccess, err);
}

bool COrvRegKey::Create(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess,
                        COrvStringA& strError) {
    COrvError err;
    const bool bOk = Create(nRoot, pszSubKey, nAccess, err);
    strError = err.Text();
    return bOk;
}

bool COrvRegKey::Open(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess,
                      COrvStringA& strError) {
    COrvError err;
    const bool bOk = Open(nRoot, pszSubKey, nAccess, err);
    strError = err.Text();
    return bOk;
}

void COrvRegKey::Close() {
    m_bOpen = false;
    m_bMachine = false;
    m_nAccess = 0;
    m_strPath.Empty();
    m_strFolder.Empty();
    delete m_pCache;
    m_pCache = nullptr;
}

// Reads a value like the registry's query: with pData null, only the size (and type); with a
// buffer too small, EOVERFLOW and the size needed in *pnBytes. 0 or an errno value.
int COrvRegKey::QueryRaw(const char16_t* pszName, uint32_t* pnType, void* pData,
                         uint32_t* pnBytes) {
    if (m_pCache == nullptr)
        m_pCache = new OrvRegValuesCache;
    const std::vector<OrvRegFileValue>* pValues = nullptr;
    const int r = OrvRegReadValuesCached(m_strFolder.GetString(), *m_pCache, &pValues);
    if (r != 0)
        return r;
    const char16_t* pszN = OrEmpty(pszName);
    const int i = OrvRegFileFind(*pValues, pszN, Length16(pszN));
    if (i < 0)
        return ENOENT;
    const OrvRegFileValue& v = (*pValues)[static_cast<size_t>(i)];
    if (pnType != nullptr)
        *pnType = v.nType;
    const uint32_t nSize = static_cast<uint32_t>(v.data.size());
    if (pData != nullptr && *pnBytes < nSize) {
        *pnBytes = nSize;
        return EOVERFLOW;
    }
    *pnBytes = nSize;
    if (pData != nullptr && nSize > 0)
        memcpy(pData, v.data.data(), nSize);
    return 0;
}

template <class T>
bool COrvRegKey::QueryFixedValue(const char16_t* pszName, uint32_t nWantType, T& nValue,
                                 COrvError& err) {
    nValue = 0;
    if (!m_bOpen)
        return Fail(err, enNetNotReady,
                    "Cannot get registry value '%S' in '%s': parent was not created",
                    OrEmpty(pszName), Narrow(m_strPath).GetString());
    uint32_t nType = 0, nBytes = sizeof(T);
    T n = 0;
    int r = QueryRaw(pszName, &nType, &n, &nBytes);
    if ((r == 0 || r == EOVERFLOW) && (nType != nWantType || nBytes != sizeof(T)))
        r = EINVAL;
    if (r != 0)
        return Fail(err, OrvResultFromErrno(r), "Cannot read registry value '%S' in '%s': err=%d",
                    OrEmpty(pszName), Narrow(m_strPath).GetString(), r);
    nValue = n;
    return true;
}

bool COrvRegKey::QueryDWORDValue(const char16_t* pszName, uint32_t& nValue, COrvError& err) {
    return QueryFixedValue(pszName, ORV_REG_DWORD, nValue, err);
}

bool COrvRegKey::QueryQWORDValue(const char16_t* pszName, uint64_t& nValue, COrvError& err) {
    return QueryFixedValue(pszName, ORV_REG_QWORD, nValue, err);
}

bool COrvRegKey::QueryStringValue(const char16_t* pszName, COrvStringW& strValue, COrvError& err) {
    strValue.Empty();
    if (!m_bOpen)
        return Fail(err, enNetNotReady,
                    "Cannot get registry value '%S' in '%S': parent was not created",
                    OrEmpty(pszName), m_strPath.GetString());
    // First into a buffer of 260 units; when the value is longer, again with the size reported
    // (and again, should a writer have made it longer in between).
    std::u16string buf(kFirstReadChars, u'\0');
    uint32_t nType = 0;
    uint32_t nBytes = kFirstReadChars * 2;
    int r = QueryRaw(pszName, &nType, buf.data(), &nBytes);
    for (int nTry = 0; r == EOVERFLOW && nTry < 8; ++nTry) {
        buf.assign((nBytes + 1) / 2, u'\0');
        nBytes = static_cast<uint32_t>(buf.size() * 2);
        r = QueryRaw(pszName, &nType, buf.data(), &nBytes);
    }
    if (r == 0 && nType != ORV_REG_SZ && nType != ORV_REG_EXPAND_SZ)
        r = EINVAL;
    if (r != 0)
        return Fail(err, OrvResultFromErrno(r), "Cannot read registry value '%S' in '%S'",
                    OrEmpty(pszName), m_strPath.GetString());
    // The text ends at its first NUL (a value stored without one ends with its data).
    size_t nChars = nBytes / 2;
    const size_t nNul = buf.find(u'\0');
    if (nNul < nChars)
        nChars = nNul;
    if (!strValue.SetString(buf.data(), static_cast<int>(nChars)))
        return Fail(err, enNetNoMemory, "Cannot read registry value '%S' in '%S'", OrEmpty(pszName),
                    m_strPath.GetString());
    return true;
}

bool COrvRegKey::QueryStringValueA(const char16_t* pszName, COrvStringA& strValue, COrvError& err) {
    strValue.Empty();
    const COrvStringA strPath = Narrow(m_strPath);
    if (!m_bOpen)
        return Fail(err, enNetNotReady,
                    "Cannot get registry value '%S' in '%s': parent was not created",
                    OrEmpty(pszName), strPath.GetString());
    COrvError errWide;
    COrvStringW strWide;
    if (!QueryStringValue(pszName, strWide, errWide))
        return Fail(err, errWide.Code(), "Cannot read registry value '%S' in '%s'",
                    OrEmpty(pszName), strPath.GetString());
    if (!OrvUtf16ToUtf8(strWide.GetString(), strWide.GetLength(), strValue))
        return Fail(err, enNetNoMemory, "Cannot read registry value '%S' in '%s'", OrEmpty(pszName),
                    strPath.GetString());
    return true;
}

bool COrvRegKey::QueryBinaryValue(const char16_t* pszName, void* pData, uint32_t& nBytes,
                                  COrvError& err, uint32_t* pnType) {
    if (!m_bOpen) {
        nBytes = 0;
        return Fail(err, enNetNotReady,
                    "Cannot get registry value '%S' in '%S': parent was not created",
                    OrEmpty(pszName), m_strPath.GetString());
    }
    uint32_t nType = 0;
    const int r = QueryRaw(pszName, &nType, pData, &nBytes);
    if (r != 0) {
        if (r != EOVERFLOW)
            nBytes = 0;
        return Fail(err, OrvResultFromErrno(r), "Cannot read registry value '%S' in '%S'",
                    OrEmpty(pszName), m_strPath.GetString());
    }
    if (pnType != nullptr)
        *pnType = nType;
    return true;
}

bool COrvRegKey::QueryMultiStringValue(const char16_t* pszName, COrvArray<COrvStringW>& items,
                                       COrvError& err) {
    items.RemoveAll();
    if (!m_bOpen)
        return Fail(err, enNetNotReady,
                    "Cannot get registry value '%S' in '%S': parent was not created",
                    OrEmpty(pszName), m_strPath.GetString());
    // The size first, then the data; again should a writer have made the value longer between.
    uint32_t nType = 0, nBytes = 0;
    std::u16string units;
    int r = QueryRaw(pszName, &nType, nullptr, &nBytes);
    for (int nTry = 0; r == 0 && nTry < 8; ++nTry) {
        units.assign(nBytes / 2 + 1, u'\0');
        nBytes = static_cast<uint32_t>(units.size() * 2);
        r = QueryRaw(pszName, &nType, units.data(), &nBytes);
        if (r != EOVERFLOW)
            break;
        r = nTry < 7 ? 0 : EAGAIN;
    }
    if (r == 0 && nType != ORV_REG_MULTI_SZ)
        r = EINVAL;
    if (r != 0)
        return Fail(err, OrvResultFromErrno(r), "Cannot read registry value '%S' in '%S'",
                    OrEmpty(pszName), m_strPath.GetString());
    units.resize(nBytes / 2);
    size_t nStart = 0;
    while (nStart < units.size()) {
        size_t nEnd = units.find(u'\0', nStart);
        if (nEnd == std::u16string::npos)
            nEnd = units.size();
        if (nEnd == nStart)
            break;  // the empty text that ends the list
        COrvStringW s;
        if (!s.SetString(units.data() + nStart, static_cast<int>(nEnd - nStart)) ||
            items.Add(s) == COrvArray<COrvStringW>::kNoIndex) {
            items.RemoveAll();
            return Fail(err, enNetNoMemory, "Cannot read registry value '%S' in '%S'",
                        OrEmpty(pszName), m_strPath.GetString());
        }
        nStart = nEnd + 1;
    }
    return true;
}

bool COrvRegKey::Update(const char16_t* pszName, bool bDelete, uint32_t nType, const void* pData,
                        uint32_t nBytes, COrvError& err) {
    const char* pszFormat = bDelete ? "Cannot delete registry value '%S' in '%S': %s"
                                    : "Cannot write registry value '%S' in '%S': %s";
    pszName = OrEmpty(pszName);
    int r = 0;
    if (!m_bOpen)
        r = EBADF;
    else if ((m_nAccess & ORV_KEY_SET_VALUE) == 0)
        r = EACCES;
    else if (Length16(pszName) > kOrvRegNameMax)
        r = EINVAL;
    std::string strDetail;
    if (r == 0) {
        const size_t nNameLen = Length16(pszName);
        r = OrvRegUpdateValues(
            m_strFolder.GetString(), m_bMachine,
            [&](std::vector<OrvRegFileValue>& values, bool&) -> int {
                const int i = OrvRegFileFind(values, pszName, nNameLen);
                if (bDelete) {
                    if (i < 0)
                        return ENOENT;
                    values.erase(values.begin() + i);
                    return 0;
                }
                OrvRegFileValue* pV;
                if (i >= 0) {
                    pV = &values[static_cast<size_t>(i)];
                } else {
                    values.emplace_back();
                    pV = &values.back();
                    pV->sName.assign(pszName, nNameLen);
                }
                pV->nType = nType;
                pV->data.assign(static_cast<const char*>(pData), nBytes);
                return 0;
            },
            &strDetail);
    }
    if (r == 0)
        return true;
    COrvStringA strCause = OrvErrnoText(r);
    if (!strDetail.empty()) {
        strCause += ", ";
        strCause += strDetail.c_str();
    }
    COrvStringA s;
    s.Format(pszFormat, pszName, m_strPath.GetString(), strCause.GetString());
    return err.Set(OrvResultFromErrno(r), s);
}

bool COrvRegKey::SetValue(const char16_t* pszName, uint32_t nType, const void* pData,
                          uint32_t nBytes, COrvError& err) {
    static const char s_empty = 0;
    return Update(pszName, false, nType, nBytes ? pData : &s_empty, nBytes, err);
}

bool COrvRegKey::SetDWORDValue(const char16_t* pszName, uint32_t nValue, COrvError& err) {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<unsigned char>(nValue >> (8 * i));
    return SetValue(pszName, ORV_REG_DWORD, b, 4, err);
}

bool COrvRegKey::SetQWORDValue(const char16_t* pszName, uint64_t nValue, COrvError& err) {
    unsigned char b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<unsigned char>(nValue >> (8 * i));
    return SetValue(pszName, ORV_REG_QWORD, b, 8, err);
}

bool COrvRegKey::SetStringValue(const char16_t* pszName, const char16_t* pszValue, COrvError& err,
                                uint32_t nType) {
    ASSERT(nType == ORV_REG_SZ || nType == ORV_REG_EXPAND_SZ);
    const char16_t* p = OrEmpty(pszValue);
    return SetValue(pszName, nType, p, static_cast<uint32_t>((Length16(p) + 1) * 2), err);
}

bool COrvRegKey::SetMultiStringValue(const char16_t* pszName, const COrvArray<COrvStringW>& items,
                                     COrvError& err) {
    std::u16string units;
    for (size_t i = 0; i < items.GetCount(); ++i) {
        if (items[i].IsEmpty()) {
            COrvStringA s;
            s.Format("Cannot write registry value '%S' in '%S': %s", OrEmpty(pszName),
                     m_strPath.GetString(), OrvErrnoText(EINVAL).GetString());
            return err.Set(OrvResultFromErrno(EINVAL), s);
        }
        units.append(items[i].GetString(), static_cast<size_t>(items[i].GetLength()));
        units += u'\0';
    }
    units += u'\0';
    return SetValue(pszName, ORV_REG_MULTI_SZ, units.data(),
                    static_cast<uint32_t>(units.size() * 2), err);
}

bool COrvRegKey::DeleteValue(const char16_t* pszName, COrvError& err) {
    return Update(pszName, true, 0, nullptr, 0, err);
}

bool COrvRegKey::EnumKey(uint32_t nIndex, COrvStringW& strName, COrvError& err) {
    strName.Empty();
    const COrvStringA strPath = Narrow(m_strPath);
    if (!m_bOpen)
        return Fail(err, enNetNotReady, "Cannot enum registry key in '%s': parent was not created",
                    strPath.GetString());
    std::vector<std::u16string> names;
    const int r = OrvRegListSubKeys(m_strFolder.GetString(), names);
    if (r != 0)
        return Fail(err, OrvResultFromErrno(r), "Cannot enum registry key '%s': %s",
                    strPath.GetString(), OrvErrnoText(r).GetString());
    if (nIndex >= names.size())
        return Fail(err, enNetEndOfStream, "Cannot enum registry key '%s': no more items",
                    strPath.GetString());
    const std::u16string& n = names[nIndex];
    if (!strName.SetString(n.data(), static_cast<int>(n.size())))
        return Fail(err, enNetNoMemory, "Cannot enum registry key '%s'", strPath.GetString());
    return true;
}

bool COrvRegKey::EnumValue(uint32_t nIndex, COrvStringW& strName, COrvError& err,
                           uint32_t* pnType) {
    strName.Empty();
    const COrvStringA strPath = Narrow(m_strPath);
    if (!m_bOpen)
        return Fail(err, enNetNotReady,
                    "Cannot enum registry value in '%s': parent was not created",
                    strPath.GetString());
    std::vector<OrvRegFileValue> values;
    std::string strDetail;
    const int r = OrvRegReadValues(m_strFolder.GetString(), values, &strDetail);
    if (r != 0)
        return Fail(err, OrvResultFromErrno(r), "Cannot enum registry value '%s': %s",
                    strPath.GetString(), OrvErrnoText(r).GetString());
    if (nIndex >= values.size())
        return Fail(err, enNetEndOfStream, "Cannot enum registry value '%s': no more items",
                    strPath.GetString());
    const OrvRegFileValue& v = values[nIndex];
    if (!strName.SetString(v.sName.data(), static_cast<int>(v.sName.size())))
        return Fail(err, enNetNoMemory, "Cannot enum registry value '%s'", strPath.GetString());
    if (pnType != nullptr)
        *pnType = v.nType;
    return true;
}

bool COrvRegKey::QueryInfo(OrvRegKeyInfo& info, COrvError& err) {
    info = OrvRegKeyInfo();
    const COrvStringA strPath = Narrow(m_strPath);
    if (!m_bOpen)
        return Fail(err, enNetNotReady, "Cannot query info key in '%s': parent was not created",
                    strPath.GetString());
    std::vector<std::u16string> names;
    std::vector<OrvRegFileValue> values;
    int64_t nTime = 0;
    int r = OrvRegListSubKeys(m_strFolder.GetString(), names, &nTime);
    if (r == 0)
        r = OrvRegReadValues(m_strFolder.GetString(), values);
    if (r != 0)
        return Fail(err, OrvResultFromErrno(r), "Cannot query registry key '%s': %s",
                    strPath.GetString(), OrvErrnoText(r).GetString());
    info.nSubKeys = static_cast<uint32_t>(names.size());
    for (const std::u16string& n : names)
        info.nMaxSubKeyLen = std::max(info.nMaxSubKeyLen, static_cast<uint32_t>(n.size()));
    info.nValues = static_cast<uint32_t>(values.size());
    for (const OrvRegFileValue& v : values) {
        info.nMaxValueNameLen =
            std::max(info.nMaxValueNameLen, static_cast<uint32_t>(v.sName.size()));
        info.nMaxValueLen = std::max(info.nMaxValueLen, static_cast<uint32_t>(v.data.size()));
    }
    info.nLastWriteTime = nTime;
    return true;
}

bool COrvRegKey::DeleteSubKey(const char16_t* pszSubKey, COrvError& err) {
    pszSubKey = OrEmpty(pszSubKey);
    int r = 0;
    std::string strDir;
    if (!m_bOpen)
        r = EBADF;
    else if ((m_nAccess & (ORV_KEY_SET_VALUE | ORV_KEY_CREATE_SUB_KEY)) == 0)
        r = EACCES;
    else if (Length16(pszSubKey) == 0)
        r = EINVAL;  // a key deletes its subkeys, never itself
    if (r == 0)
        r = OrvRegResolve(m_strFolder.GetString(), pszSubKey, false, m_bMachine, strDir);
    // A subkey of separators only ("\\") names the key itself, which is never deleted here.
    if (r == 0 && strDir == m_strFolder.GetString())
        r = EINVAL;
    if (r == 0)
        r = OrvRegDeleteKeyFolder(strDir);
    if (r == 0)
        return true;
    COrvStringA s;
    s.Format("Cannot delete key '%S' in '%S': '%s'", pszSubKey, m_strPath.GetString(),
             OrvErrnoText(r).GetString());
    return err.Set(OrvResultFromErrno(r), s);
}

bool OrvRegSetValueBothViews(uint32_t nRoot, const char16_t* pszSubKey, const char16_t* pszName,
                             uint32_t nType, const void* pData, uint32_t nBytes, COrvError& err) {
    const uint32_t aAccess[2] = {ORV_KEY_RW_DEFAULT_VIEW,
                                 OrvRegOtherViewAccess(OrvIsWow64Process())};
    for (uint32_t nAccess : aAccess) {
        COrvRegKey key;
        if (!key.Create(nRoot, pszSubKey, nAccess, err) ||
            !key.SetValue(pszName, nType, pData, nBytes, err))
            return false;
    }
    return true;
}

bool OrvRegDeleteValueBothViews(uint32_t nRoot, const char16_t* pszSubKey, const char16_t* pszName,
                                COrvError& err) {
    const uint32_t aAccess[2] = {ORV_KEY_RW_DEFAULT_VIEW,
                                 OrvRegOtherViewAccess(OrvIsWow64Process())};
    for (uint32_t nAccess : aAccess) {
        COrvRegKey key;
        COrvError errStep;
        if ((!key.Open(nRoot, pszSubKey, nAccess, errStep) || !key.DeleteValue(pszName, errStep)) &&
            errStep.Code() != enNetNotFound) {
            err.Set(errStep.Code(), errStep.Text());
            return false;
        }
    }
    return true;
}
