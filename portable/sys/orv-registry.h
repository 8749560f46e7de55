// COrvRegKey: keys and values of the settings store, with the registry's error texts and view
// rules.
//
// The store keeps a folder per key under a folder per root (HKEY_CURRENT_USER under the user's
// configuration folder, $XDG_CONFIG_HOME/orv-registry or ~/.config/orv-registry;
// HKEY_LOCAL_MACHINE in /etc/orv-registry; HKEY_CLASSES_ROOT in its Software/Classes key;
// HKEY_USERS in /etc/orv-registry-users). When the environment variable ORV_REGISTRY_ROOT is set,
// every root is the folder of the root's name inside it instead. A key's values live in one text
// file in its folder. Key and value names compare without regard to case and keep the case they
// were created with. Every change replaces the values file atomically and durably under a lock on
// the key's folder, so that concurrent writers of one key (threads or processes) lose no change
// and readers never see a half-written file.
//
// An open key that has read values keeps one descriptor open (the values file it read) so that
// later reads cost one stat while the file is unchanged.
//
// A COrvRegKey object is not itself locked: use one object from one thread at a time (different
// objects for the same key may be used at the same time from any threads and processes).
#pragma once

#include <cstdint>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"

// The root keys.
enum OrvRegRoot : uint32_t {
    enOrvHKeyClassesRoot = 0x80000000u,
    enOrvHKeyCurrentUser = 0x80000001u,
    enOrvHKeyLocalMachine = 0x80000002u,
    enOrvHKeyUsers = 0x80000003u,
};

// Access rights and view bits of the registry. The store grants reads to every open key and
// changes only to keys opened with ORV_KEY_SET_VALUE (for values) or ORV_KEY_CREATE_SUB_KEY
// (for subkeys); the view bits do not change where a key is stored.
constexpr uint32_t ORV_KEY_QUERY_VALUE = 0x0001;
constexpr uint32_t ORV_KEY_SET_VALUE = 0x0002;
constexpr uint32_t ORV_KEY_CREATE_SUB_KEY = 0x0004;
constexpr uint32_t ORV_KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr uint32_t ORV_KEY_WOW64_64KEY = 0x0100;
constexpr uint32_t ORV_KEY_WOW64_32KEY = 0x0200;
constexpr uint32_t ORV_KEY_READ = 0x20019;
constexpr uint32_t ORV_KEY_WRITE = 0x20006;
constexpr uint32_t ORV_KEY_ALL_ACCESS = 0xF003F;
// Read-write access of the both-views functions, in the default view and in the explicit views.
constexpr uint32_t ORV_KEY_RW_DEFAULT_VIEW = 0x2001F;
constexpr uint32_t ORV_KEY_RW_64_VIEW = 0x2011F;
constexpr uint32_t ORV_KEY_RW_32_VIEW = 0x2021F;

// Value types.
constexpr uint32_t ORV_REG_SZ = 1;
constexpr uint32_t ORV_REG_EXPAND_SZ = 2;
constexpr uint32_t ORV_REG_BINARY = 3;
constexpr uint32_t ORV_REG_DWORD = 4;
constexpr uint32_t ORV_REG_MULTI_SZ = 7;
constexpr uint32_t ORV_REG_QWORD = 11;

// Setting of the application: open keys in the 64-bit view when the process is WOW64. Set it
// before keys are opened; read by any thread.
extern bool g_orv_reg_use_64bit_view;
// Whether this process is a 32-bit process on a 64-bit system of the registry's kind. Always
// false on Linux. Any thread.
bool OrvIsWow64Process();
// The access a key is opened with: nAccess plus the 64-bit view bit when the process is WOW64 and
// the 64-bit view is wanted, nAccess unchanged otherwise. Pure.
uint32_t OrvRegViewAccess(uint32_t nAccess, bool bWow64, bool bUse64View);
// The read-write access of the "other" view for the both-views functions: the 64-bit view for a
// WOW64 process, the 32-bit view otherwise. Pure.
uint32_t OrvRegOtherViewAccess(bool bWow64);
// The product's own key under HKEY_CURRENT_USER, where the library reads its switches (socket
// fault injection and the like).
constexpr const char16_t* kOrvProductKey = u"Software\\Tovrin\\vexil";

// The name of a root key ("HKEY_CURRENT_USER" ...), or null for any other number. Pure.
const char16_t* OrvRegRootName(uint32_t nRoot);

// What QueryInfo reports about a key. Lengths are in UTF-16 units, without the NUL.
struct OrvRegKeyInfo {
    uint32_t nSubKeys = 0;
    uint32_t nMaxSubKeyLen = 0;
    uint32_t nValues = 0;
    uint32_t nMaxValueNameLen = 0;
    uint32_t nMaxValueLen = 0;   // bytes
    int64_t nLastWriteTime = 0;  // seconds since 1970 UTC, 0 when unknown
};

struct OrvRegValuesCache;

class COrvRegKey {
public:
    COrvRegKey() = default;
    ~COrvRegKey() { Close(); }
    COrvRegKey(const COrvRegKey&) = delete;
    COrvRegKey& operator=(const COrvRegKey&) = delete;

    // Creates (or opens, when it exists) pszSubKey under a root or an open key, creating every
    // missing folder on the way, and opens it with nAccess (after the view rule). pszSubKey
    // separates levels with '\\'; empty levels are skipped; each level is at most 255 units.
    // On failure the key is closed and err holds "Cannot create registry key '%S' in '%S': %s"
    // (subkey, parent path, system text) or, when the parent is not open, "Create: No parent for
    // registry key '%S'". Blocks on the file system; any thread.
    [[nodiscard]] bool Create(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess,
                              COrvError& err);
    [[nodiscard]] bool Create(const COrvRegKey& parent, const char16_t* pszSubKey, uint32_t nAccess,
                              COrvError& err);
    // Opens an existing key; as Create otherwise. Errors "Cannot open registry key '%S' in '%S':
    // %s" (a missing key gives the "not found" system text and enNetNotFound) and, when the parent
    // is not open, "Could not create parent registry key '%s' for key '%S'".
    [[nodiscard]] bool Open(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess,
                            COrvError& err);
    [[nodiscard]] bool Open(const COrvRegKey& parent, const char16_t* pszSubKey, uint32_t nAccess,
                            COrvError& err);
    // The older shape: the error text only.
    bool Create(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess, COrvStringA& strError);
    bool Open(uint32_t nRoot, const char16_t* pszSubKey, uint32_t nAccess, COrvStringA& strError);

    // Reads a 32-bit value (type dword). nValue is 0 on failure. Errors "Cannot read registry
    // value '%S' in '%s': err=%d" (err: the system error number; a value of another type gives
    // EINVAL) and "Cannot get registry value '%S' in '%s': parent was not created".
    [[nodiscard]] bool QueryDWORDValue(const char16_t* pszName, uint32_t& nValue, COrvError& err);
    // Reads a 64-bit value (type qword); errors as QueryDWORDValue.
    [[nodiscard]] bool QueryQWORDValue(const char16_t* pszName, uint64_t& nValue, COrvError& err);
    // Reads a text value (sz or expand_sz, not expanded): first into 260 units, then, when the
    // value is longer, again with the size the store reports. strValue is empty on failure.
    // Errors "Cannot read registry value '%S' in '%S'" with the code of the cause, and "Cannot get
    // registry value '%S' in '%S': parent was not created".
    [[nodiscard]] bool QueryStringValue(const char16_t* pszName, COrvStringW& strValue,
                                        COrvError& err);
    // The same as UTF-8 (the texts name the key with '%s').
    [[nodiscard]] bool QueryStringValueA(const char16_t* pszName, COrvStringA& strValue,
                                         COrvError& err);
    // Reads a multi-text value into its texts (emptied first).
    [[nodiscard]] bool QueryMultiStringValue(const char16_t* pszName, COrvArray<COrvStringW>& items,
                                             COrvError& err);
    // Reads a value's bytes, whatever its type, like the registry's query: with pData null,
    // stores the size in nBytes; with a buffer of nBytes bytes too small for the value, fails
    // (code enNetBadRequest, the text below) and stores the size needed in nBytes; otherwise
    // copies the data and stores its size. pnType (optional) receives the type on success.
    // nBytes is 0 after any other failure. Errors as QueryStringValue.
    [[nodiscard]] bool QueryBinaryValue(const char16_t* pszName, void* pData, uint32_t& nBytes,
                                        COrvError& err, uint32_t* pnType = nullptr);

    // Writes a value, replacing one of the same name (whose stored case is kept). Needs
    // ORV_KEY_SET_VALUE. Error "Cannot write registry value '%S' in '%S': %s". Durable when it
    // returns true. Blocks while another writer holds the key.
    [[nodiscard]] bool SetValue(const char16_t* pszName, uint32_t nType, const void* pData,
                                uint32_t nBytes, COrvError& err);
    [[nodiscard]] bool SetDWORDValue(const char16_t* pszName, uint32_t nValue, COrvError& err);
    [[nodiscard]] bool SetQWORDValue(const char16_t* pszName, uint64_t nValue, COrvError& err);
    // Writes a text value of type ORV_REG_SZ or ORV_REG_EXPAND_SZ (stored with its NUL).
    [[nodiscard]] bool SetStringValue(const char16_t* pszName, const char16_t* pszValue,
                                      COrvError& err, uint32_t nType = ORV_REG_SZ);
    // Writes a multi-text value; empty texts cannot be stored in one and are refused.
    [[nodiscard]] bool SetMultiStringValue(const char16_t* pszName,
                                           const COrvArray<COrvStringW>& items, COrvError& err);
    // Deletes a value. Error "Cannot delete registry value '%S' in '%S': %s" (a missing value
    // gives the "not found" text).
    [[nodiscard]] bool DeleteValue(const char16_t* pszName, COrvError& err);

    // Name of the subkey at nIndex (subkeys in order of their case-folded names). Past the last
    // one: false with enNetEndOfStream. Errors "Cannot enum registry key '%s'" + ": " + system
    // text, and "Cannot enum registry key in '%s': parent was not created".
    [[nodiscard]] bool EnumKey(uint32_t nIndex, COrvStringW& strName, COrvError& err);
    // Name (and optionally type) of the value at nIndex (values in the order they were first
    // written); as EnumKey otherwise, with "Cannot enum registry value '%s'" and "Cannot enum
    // registry value in '%s': parent was not created".
    [[nodiscard]] bool EnumValue(uint32_t nIndex, COrvStringW& strName, COrvError& err,
                                 uint32_t* pnType = nullptr);
    // Counts and longest names of the key. Errors "Cannot query registry key '%s'" + ": " +
    // system text, and "Cannot query info key in '%s': parent was not created".
    [[nodiscard]] bool QueryInfo(OrvRegKeyInfo& info, COrvError& err);
    // Deletes the subkey pszSubKey (one level or a path) with its values; a subkey that has
    // subkeys of its own is refused (folder not empty). Needs ORV_KEY_SET_VALUE or
    // ORV_KEY_CREATE_SUB_KEY. An empty subkey, or one of separators only, names this key itself and
    // is refused (invalid argument). Error "Cannot delete key '%S' in '%S': '%s'".
    [[nodiscard]] bool DeleteSubKey(const char16_t* pszSubKey, COrvError& err);

    // Closes the key and clears its path. Never fails.
    void Close();
    // True while the key is open.
    bool IsOpen() const { return m_bOpen; }
    // Path for messages: the root's name, then "\\" and each subkey as given.
    const COrvStringW& GetPath() const { return m_strPath; }
    // The access the key was opened with (after the view rule).
    uint32_t GetAccess() const { return m_nAccess; }
    // The key's folder (UTF-8), empty when closed. For diagnostics and tests.
    const COrvStringA& GetFolder() const { return m_strFolder; }

private:
    // Reads a 32- or 64-bit value of type nWantType into nValue (0 on failure).
    template <class T>
    bool QueryFixedValue(const char16_t* pszName, uint32_t nWantType, T& nValue, COrvError& err);
    // Create or Open under a root key: the root's folder, then OpenOrCreate.
    bool OpenOrCreateInRoot(bool bCreate, uint32_t nRoot, const char16_t* pszSubKey,
                            uint32_t nAccess, COrvError& err);
    bool OpenOrCreate(bool bCreate, const COrvStringA& strBase, bool bMachine,
                      const COrvStringW& strParentPath, const char16_t* pszSubKey, uint32_t nAccess,
                      COrvError& err);
    int QueryRaw(const char16_t* pszName, uint32_t* pnType, void* pData, uint32_t* pnBytes);
    bool Update(const char16_t* pszName, bool bDelete, uint32_t nType, const void* pData,
                uint32_t nBytes, COrvError& err);

    bool m_bOpen = false;
    bool m_bMachine = false;  // folders and files are made readable by all
    uint32_t m_nAccess = 0;
    COrvStringW m_strPath;
    COrvStringA m_strFolder;
    // The values last read, with their file held open (one descriptor per key that has read).
    OrvRegValuesCache* m_pCache = nullptr;
};

// Writes a value under a root and subkey (created when missing) first with read-write access in
// the default view, then in the other view (OrvRegOtherViewAccess), so that 32-bit and 64-bit
// programs see the same value. Returns false with the first failure's text. Blocks.
[[nodiscard]] bool OrvRegSetValueBothViews(uint32_t nRoot, const char16_t* pszSubKey,
                                           const char16_t* pszName, uint32_t nType,
                                           const void* pData, uint32_t nBytes, COrvError& err);
// Deletes a value in both views; a value or key already missing counts as deleted.
[[nodiscard]] bool OrvRegDeleteValueBothViews(uint32_t nRoot, const char16_t* pszSubKey,
                                              const char16_t* pszName, COrvError& err);
