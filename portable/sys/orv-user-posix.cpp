// Accounts on this system: /proc for process ids, the password and group databases, POSIX access
// lists through libacl, PAM for passwords and the kernel's per-thread id calls for impersonation.
#include "orv-user.h"

#include "orv-fd.h"
#include "orv-file.h"
#include "orv-log.h"
#include "orv-sys.h"
#include "orv-user-os.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

const char* g_orv_logon_service = "vexil";

namespace {

// ---- account databases ----

// Database entries are read with buffers that start small and grow by four up to this size.
constexpr size_t kFirstBuffer = 1024;
constexpr size_t kMaxBuffer = 16u << 20;

// Calls fn(buffer, size) with growing buffers while it answers ERANGE. Returns its last answer.
template <class Fn>
int WithGrowingBuffer(std::vector<char>& buf, Fn fn) {
    for (size_t n = kFirstBuffer;; n *= 4) {
        buf.resize(n);
        const int rc = fn(buf.data(), n);
        if (rc != ERANGE || n >= kMaxBuffer)
            return rc;
    }
}

// The reentrant lookups answer "no entry" with 0 and no result, or (some back ends) with one of
// these.
bool IsNoEntry(int rc) {
    return rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM;
}

struct PwEntry {
    struct passwd pw = {};
    std::vector<char> buf;
};
struct GrEntry {
    struct group gr = {};
    std::vector<char> buf;
};

// 0 with bFound set or not, or the errno of a failed lookup.
int GetPwNam(const char* pszName, PwEntry& e, bool& bFound) {
    struct passwd* pRes = nullptr;
    const int rc = WithGrowingBuffer(
        e.buf, [&](char* p, size_t n) { return getpwnam_r(pszName, &e.pw, p, n, &pRes); });
    bFound = rc == 0 && pRes != nullptr;
    return rc == 0 || IsNoEntry(rc) ? 0 : rc;
}
int GetPwUid(uid_t uid, PwEntry& e, bool& bFound) {
    struct passwd* pRes = nullptr;
    const int rc = WithGrowingBuffer(
        e.buf, [&](char* p, size_t n) { return getpwuid_r(uid, &e.pw, p, n, &pRes); });
    bFound = rc == 0 && pRes != nullptr;
    return rc == 0 || IsNoEntry(rc) ? 0 : rc;
}
int GetGrNam(const char* pszName, GrEntry& e, bool& bFound) {
    struct group* pRes = nullptr;
    const int rc = WithGrowingBuffer(
        e.buf, [&](char* p, size_t n) { return getgrnam_r(pszName, &e.gr, p, n, &pRes); });
    bFound = rc == 0 && pRes != nullptr;
    return rc == 0 || IsNoEntry(rc) ? 0 : rc;
}
int GetGrGid(gid_t gid, GrEntry& e, bool& bFound) {
    struct group* pRes = nullptr;
    const int rc = WithGrowingBuffer(
        e.buf, [&](char* p, size_t n) { return getgrgid_r(gid, &e.gr, p, n, &pRes); });
    bFound = rc == 0 && pRes != nullptr;
    return rc == 0 || IsNoEntry(rc) ? 0 : rc;
}

// The groups of a user (primary first), from the group database. 0 or an errno value.
int GetUserGroups(const char* pszUser, gid_t gid, std::vector<uint32_t>& groups) {
    int nCount = 32;
    std::vector<gid_t> list;
    for (int nTry = 0; nTry < 8; ++nTry) {
        list.resize(static_cast<size_t>(nCount));
        int n = nCount;
        if (getgrouplist(pszUser, gid, list.data(), &n) >= 0) {
            groups.assign(list.begin(), list.begin() + n);
            return 0;
        }
        nCount = n > nCount ? n : nCount * 2;
    }
    return ENOMEM;
}

COrvStringA HostName() {
    char szHost[256] = {};
    if (gethostname(szHost, sizeof szHost - 1) == 0 && szHost[0] != '\0')
        return COrvStringA(szHost);
    return COrvStringA("localhost");
}

// ---- processes ----

// Reads and parses /proc/<pid>/status. On failure returns false with err holding pszWhat +
// ("cannot open process: " | "cannot get token info: ") + system text.
bool ReadProcIds(int nPid, OrvProcIds& ids, const char* pszWhat, COrvError& err) {
    char szPath[64];
    snprintf(szPath, sizeof szPath, "/proc/%d/status", nPid);
    COrvStringA sPrefix(pszWhat);
    OrvFd fd(nPid > 0 ? OrvSysOpen(szPath, O_RDONLY) : -1);
    if (!fd) {
        const int nErrno = nPid > 0 ? errno : ESRCH;
        sPrefix += "cannot open process: ";
        if (nErrno == ENOENT || nErrno == ESRCH)
            return err.Set(enNetNotFound, sPrefix + OrvErrnoText(ESRCH));
        return err.SetErrno(nErrno, sPrefix.GetString());
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const long n = OrvSysRead(fd.Get(), buf, sizeof buf);
        if (n < 0) {
            sPrefix += "cannot get token info: ";
            return err.SetErrno(errno, sPrefix.GetString());
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    if (!OrvParseProcStatusIds(text.data(), text.size(), ids)) {
        sPrefix += "cannot get token info: ";
        return err.SetErrno(EPROTO, sPrefix.GetString());
    }
    return true;
}

bool HasRootUid(const OrvProcIds& ids) {
    return ids.anUid[0] == 0 || ids.anUid[1] == 0 || ids.anUid[2] == 0;
}

// ---- per-thread impersonation state ----

struct ThreadIdentity {
    bool bActive = false;
    uid_t euid = 0;
    gid_t egid = 0;
    std::vector<gid_t> groups;
};
thread_local ThreadIdentity t_identity;

// The calling thread's supplementary groups (getgroups asks the kernel for this thread's own).
bool GetThreadGroups(std::vector<gid_t>& groups) {
    const int n = getgroups(0, nullptr);
    if (n < 0)
        return false;
    groups.resize(static_cast<size_t>(n));
    const int m = getgroups(n, groups.data());
    if (m < 0)
        return false;
    groups.resize(static_cast<size_t>(m));
    return true;
}

int SetThreadGroups(const std::vector<gid_t>& groups) {
    return g_orv_sys.thread_setgroups(groups.size(), groups.data());
}

// Whether the calling thread holds both id-changing capabilities in its effective set.
bool CanChangeIds() {
    struct __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &hdr, data) != 0)
        return false;
    const uint32_t nNeeded = (1u << CAP_SETUID) | (1u << CAP_SETGID);
    return (data[0].effective & nNeeded) == nNeeded;
}

constexpr unsigned kKeep = static_cast<unsigned>(-1);

// ---- access lists ----

struct AclOwner {
    acl_t p = nullptr;
    AclOwner() = default;
    explicit AclOwner(acl_t a) : p(a) {}
    ~AclOwner() {
        if (p != nullptr)
            acl_free(p);
    }
    AclOwner(const AclOwner&) = delete;
    AclOwner& operator=(const AclOwner&) = delete;
    acl_t Release() {
        acl_t a = p;
        p = nullptr;
        return a;
    }
};

bool IsNoAclSupport(int nErrno) {
    return nErrno == ENOTSUP || nErrno == ENOSYS;
}

// The access list of a path; on a file system that keeps none, the list its mode bits make.
// Null with errno set on failure.
acl_t GetAccessAcl(const char* pszPath, mode_t nMode) {
    acl_t a = acl_get_file(pszPath, ACL_TYPE_ACCESS);
    if (a == nullptr && IsNoAclSupport(errno))
        a = acl_from_mode(nMode);
    return a;
}

// The default list of a folder, or null (with errno 0) when it has none or its file system keeps
// none. Null with errno set on a real failure.
acl_t GetDefaultAcl(const char* pszPath) {
    acl_t a = acl_get_file(pszPath, ACL_TYPE_DEFAULT);
    if (a == nullptr) {
        if (IsNoAclSupport(errno)) {
            errno = 0;
        }
        return nullptr;
    }
    if (acl_entries(a) <= 0) {
        acl_free(a);
        errno = 0;
        return nullptr;
    }
    return a;
}

// Adds nPerms (ACL_READ | ACL_WRITE | ACL_EXECUTE bits) to every entry. False with errno set.
bool AddPermsToAll(acl_t a, unsigned nPerms) {
    acl_entry_t e;
    for (int nWhich = ACL_FIRST_ENTRY; acl_get_entry(a, nWhich, &e) == 1; nWhich = ACL_NEXT_ENTRY) {
        acl_permset_t ps;
        if (acl_get_permset(e, &ps) != 0)
            return false;
        for (acl_perm_t perm : {ACL_READ, ACL_WRITE, ACL_EXECUTE})
            if ((nPerms & perm) != 0 && acl_add_perm(ps, perm) != 0)
                return false;
        if (acl_set_permset(e, ps) != 0)
            return false;
    }
    return true;
}

// Limits the owner, owning-group (or mask) and other entries of a to the creation mode nMode,
// as the kernel does for an item created under a default list.
bool MaskByCreationMode(acl_t a, mode_t nMode) {
    acl_entry_t e;
    acl_entry_t eGroupObj = nullptr;
    bool bHasMask = false;
    auto limit = [](acl_entry_t ent, unsigned nAllowed) {
        acl_permset_t ps;
        if (acl_get_permset(ent, &ps) != 0)
            return false;
        for (acl_perm_t perm : {ACL_READ, ACL_WRITE, ACL_EXECUTE})
            if ((nAllowed & perm) == 0 && acl_delete_perm(ps, perm) != 0)
                return false;
        return acl_set_permset(ent, ps) == 0;
    };
    for (int nWhich = ACL_FIRST_ENTRY; acl_get_entry(a, nWhich, &e) == 1; nWhich = ACL_NEXT_ENTRY) {
        acl_tag_t tag;
        if (acl_get_tag_type(e, &tag) != 0)
            return false;
        bool bOk = true;
        if (tag == ACL_USER_OBJ)
            bOk = limit(e, (nMode >> 6) & 7);
        else if (tag == ACL_OTHER)
            bOk = limit(e, nMode & 7);
        else if (tag == ACL_MASK) {
            bHasMask = true;
            bOk = limit(e, (nMode >> 3) & 7);
        } else if (tag == ACL_GROUP_OBJ)
            eGroupObj = e;
        if (!bOk)
            return false;
    }
    return bHasMask || eGroupObj == nullptr || limit(eGroupObj, (nMode >> 3) & 7);
}

// Writes an access list and, for a folder, its default list (pDefault null: none). The default
// list goes first and is put back when the access list fails, so that a failure changes nothing.
// 0 or an errno value.
int WriteAcls(const char* pszPath, acl_t pAccess, acl_t pDefault, bool bFolder) {
    AclOwner oldDefault;
    if (bFolder) {
        oldDefault.p = GetDefaultAcl(pszPath);
        if (oldDefault.p == nullptr && errno != 0)
            return errno;
        if (pDefault != nullptr) {
            if (acl_set_file(pszPath, ACL_TYPE_DEFAULT, pDefault) != 0)
                return errno;
        } else if (oldDefault.p != nullptr && acl_delete_def_file(pszPath) != 0) {
            return errno;
        }
    }
    if (acl_set_file(pszPath, ACL_TYPE_ACCESS, pAccess) == 0)
        return 0;
    int nErrno = errno;
    mode_t nMode = 0;
    struct stat st;
    if (IsNoAclSupport(nErrno) && acl_equiv_mode(pAccess, &nMode) == 0 &&
        g_orv_sys.stat(pszPath, &st) == 0) {
        // No access lists here: a list that says no more than mode bits is written as mode bits.
        if (g_orv_sys.chmod(pszPath, (st.st_mode & 07000) | nMode) == 0)
            return 0;
        nErrno = errno;
    }
    if (bFolder) {
        if (oldDefault.p != nullptr)
            (void)acl_set_file(pszPath, ACL_TYPE_DEFAULT, oldDefault.p);
        else if (pDefault != nullptr)
            (void)acl_delete_def_file(pszPath);
    }
    return nErrno;
}

COrvStringA PathError(const char* pszPrefix, const char* pszPath, int nErrno) {
    COrvStringA s;
    s.Format("%s%s: %s", pszPrefix, pszPath, OrvErrnoText(nErrno).GetString());
    return s;
}

bool StatPath(const char* pszPath, struct stat& st) {
    return pszPath != nullptr && OrvSysRetry([&] { return g_orv_sys.stat(pszPath, &st); }) == 0;
}

}  // namespace

struct OrvSecurityDescriptorAccess {
    static acl_t Access(const COrvSecurityDescriptor& sd) {
        return static_cast<acl_t>(sd.m_pAccess);
    }
    static acl_t Default(const COrvSecurityDescriptor& sd) {
        return static_cast<acl_t>(sd.m_pDefault);
    }
    static void Set(COrvSecurityDescriptor& sd, acl_t pAccess, acl_t pDefault) {
        sd.Clear();
        sd.m_pAccess = pAccess;
        sd.m_pDefault = pDefault;
    }
};

// ---- process facts ----

bool OrvGetProcessIntegrityLevel(int nPid, uint32_t* pnLevel, COrvError& err) {
    (void)nPid;
    if (pnLevel == nullptr)
        return err.Set(enNetBadRequest, "OrvGetProcessIntegrityLevel: bad arg");
    *pnLevel = 0;
    return err.SetErrnoText(ENOTSUP, "OrvGetProcessIntegrityLevel: not supported on this system");
}

bool OrvGetProcessIsAdmin(int nPid, bool* pbIsAdmin, COrvError& err) {
    if (pbIsAdmin == nullptr)
        return err.Set(enNetBadRequest, "OrvGetProcessIsAdmin: bad arg");
    *pbIsAdmin = false;
    OrvProcIds ids;
    if (!ReadProcIds(nPid, ids, "OrvGetProcessIsAdmin: ", err))
        return false;
    if (HasRootUid(ids)) {
        *pbIsAdmin = true;
        return true;
    }
    std::vector<uint32_t> groups = ids.groups;
    groups.insert(groups.end(), ids.anGid, ids.anGid + 4);
    for (const char* pszGroup : {"sudo", "wheel", "admin"}) {
        GrEntry e;
        bool bFound = false;
        if (const int rc = GetGrNam(pszGroup, e, bFound); rc != 0)
            return err.SetErrno(rc, "OrvGetProcessIsAdmin: cannot LookupAccountSid: ");
        if (!bFound)
            continue;
        for (uint32_t g : groups) {
            if (g == e.gr.gr_gid) {
                *pbIsAdmin = true;
                return true;
            }
        }
    }
    return true;
}

bool OrvGetProcessIsSystem(int nPid, bool* pbIsSystem, COrvError& err) {
    if (pbIsSystem == nullptr)
        return err.Set(enNetBadRequest, "OrvGetProcessIsSystem: bad arg");
    *pbIsSystem = false;
    OrvProcIds ids;
    if (!ReadProcIds(nPid, ids, "OrvGetProcessIsSystem: ", err))
        return false;
    *pbIsSystem = ids.anUid[1] == 0;
    return true;
}

bool OrvIsUserSystem() {
    const uid_t euid = t_identity.bActive ? t_identity.euid : geteuid();
    const int nSystem = euid == 0 ? 1 : 0;
    g_orv_log.Printf("OrvIsUserSystem: SystemAccount=%d\n", nSystem);
    return nSystem != 0;
}

// ---- accounts ----

bool OrvGetUserName(COrvStringA& sName, COrvError& err) {
    sName.Empty();
    PwEntry e;
    bool bFound = false;
    const int rc = GetPwUid(geteuid(), e, bFound);
    if (rc != 0 || !bFound)
        return err.SetErrno(rc != 0 ? rc : ENOENT, "Cannot get user name: ");
    sName = e.pw.pw_name;
    return true;
}

bool OrvGetDomainUserName(COrvStringA& sName, COrvError& err) {
    COrvStringA sUser;
    if (!OrvGetUserName(sUser, err)) {
        sName.Empty();
        return false;
    }
    sName = HostName() + "\\" + sUser;
    return true;
}

bool OrvGetUserProfileFolder(uint32_t nUid, COrvStringA& sFolder, COrvError& err) {
    sFolder.Empty();
    PwEntry e;
    bool bFound = false;
    if (const int rc = GetPwUid(nUid, e, bFound); rc != 0)
        return err.SetErrno(rc, "Cannot read ProfileList: ");
    if (!bFound || e.pw.pw_dir == nullptr || e.pw.pw_dir[0] == '\0')
        return err.SetFormat(enNetNotFound, "user profile not found: %u", nUid);
    sFolder = e.pw.pw_dir;
    return true;
}

bool OrvLookupAccountName(const char* pszName, OrvSid& sid, COrvStringA& sDomain, COrvError& err) {
    sid = OrvSid();
    sDomain.Empty();
    if (pszName == nullptr || *pszName == '\0')
        return err.Set(enNetNotFound, "Windows User not found: ");
    PwEntry pw;
    GrEntry gr;
    bool bFound = false;
    int rc = GetPwNam(pszName, pw, bFound);
    if (rc == 0 && bFound) {
        sid.nId = pw.pw.pw_uid;
    } else if (rc == 0) {
        rc = GetGrNam(pszName, gr, bFound);
        if (rc == 0 && bFound) {
            sid.bGroup = true;
            sid.nId = gr.gr.gr_gid;
        }
    }
    if (rc == ERANGE)
        return err.SetErrno(rc, "LookupAccountName #2 failed: ");
    if (rc != 0)
        return err.SetErrno(rc, "LookupAccountName #1 failed: ");
    if (!bFound)
        return err.SetFormat(enNetNotFound, "Windows User not found: %s", pszName);
    sDomain = HostName();
    return true;
}

bool OrvGetAccountNameBySid(const OrvSid& sid, COrvStringA& sName, COrvStringA& sDomain,
                            COrvError& err) {
    sName.Empty();
    sDomain.Empty();
    bool bFound = false;
    int rc;
    if (sid.bGroup) {
        GrEntry e;
        rc = GetGrGid(sid.nId, e, bFound);
        if (rc == 0 && bFound)
            sName = e.gr.gr_name;
    } else {
        PwEntry e;
        rc = GetPwUid(sid.nId, e, bFound);
        if (rc == 0 && bFound)
            sName = e.pw.pw_name;
    }
    if (rc != 0 || !bFound)
        return err.SetErrno(rc != 0 ? rc : ENOENT, "OrvGetAccountNameBySid: ");
    sDomain = HostName();
    return true;
}

namespace {

bool SetInfoError(COrvError& err, int nErrno) {
    COrvStringA s;
    s.Format("NetUserGetInfo error %d: %s", nErrno, OrvErrnoText(nErrno).GetString());
    return err.SetErrnoText(nErrno, s);
}

}  // namespace

bool OrvGetUserInfo(const char* pszName, OrvUserInfo& info, COrvError& err) {
    info.sName.Empty();
    info.sFullName.Empty();
    info.nUid = info.nGid = 0;
    info.sHomeFolder.Empty();
    info.sShell.Empty();
    info.groups.RemoveAll();
    PwEntry e;
    bool bFound = false;
    int rc = GetPwNam(pszName != nullptr ? pszName : "", e, bFound);
    if (rc == 0 && !bFound)
        rc = ENOENT;
    std::vector<uint32_t> groups;
    if (rc == 0)
        rc = GetUserGroups(e.pw.pw_name, e.pw.pw_gid, groups);
    if (rc != 0)
        return SetInfoError(err, rc);
    info.sName = e.pw.pw_name;
    const char* pszGecos = e.pw.pw_gecos != nullptr ? e.pw.pw_gecos : "";
    const char* pszComma = strchr(pszGecos, ',');
    info.sFullName =
        COrvStringA(pszGecos, pszComma != nullptr ? static_cast<int>(pszComma - pszGecos)
                                                  : static_cast<int>(strlen(pszGecos)));
    info.nUid = e.pw.pw_uid;
    info.nGid = e.pw.pw_gid;
    info.sHomeFolder = e.pw.pw_dir;
    info.sShell = e.pw.pw_shell;
    info.groups.Add(e.pw.pw_gid);
    for (uint32_t g : groups)
        if (g != e.pw.pw_gid)
            info.groups.Add(g);
    return true;
}

bool OrvGetGroupInfo(const char* pszName, OrvGroupInfo& info, COrvError& err) {
    info.sName.Empty();
    info.nGid = 0;
    info.members.RemoveAll();
    GrEntry e;
    bool bFound = false;
    int rc = GetGrNam(pszName != nullptr ? pszName : "", e, bFound);
    if (rc == 0 && !bFound)
        rc = ENOENT;
    if (rc != 0)
        return SetInfoError(err, rc);
    info.sName = e.gr.gr_name;
    info.nGid = e.gr.gr_gid;
    for (char** pp = e.gr.gr_mem; pp != nullptr && *pp != nullptr; ++pp)
        info.members.Add(COrvStringA(*pp));
    return true;
}

// ---- security descriptors ----

COrvSecurityDescriptor::COrvSecurityDescriptor(COrvSecurityDescriptor&& other) noexcept
    : m_pAccess(other.m_pAccess), m_pDefault(other.m_pDefault) {
    other.m_pAccess = nullptr;
    other.m_pDefault = nullptr;
}

COrvSecurityDescriptor& COrvSecurityDescriptor::operator=(COrvSecurityDescriptor&& other) noexcept {
    if (this != &other) {
        Clear();
        m_pAccess = other.m_pAccess;
        m_pDefault = other.m_pDefault;
        other.m_pAccess = nullptr;
        other.m_pDefault = nullptr;
    }
    return *this;
}

void COrvSecurityDescriptor::Clear() {
    if (m_pAccess != nullptr)
        acl_free(m_pAccess);
    if (m_pDefault != nullptr)
        acl_free(m_pDefault);
    m_pAccess = nullptr;
    m_pDefault = nullptr;
}

bool OrvGetFileSecurityDescriptor(const char* pszPath, COrvSecurityDescriptor& sd, COrvError& err) {
    sd.Clear();
    struct stat st;
    auto fail = [&](int nErrno) {
        COrvStringA s;
        s.Format("Cannot read access list of '%s': %s", pszPath != nullptr ? pszPath : "",
                 OrvErrnoText(nErrno).GetString());
        return err.SetErrnoText(nErrno, s);
    };
    if (!StatPath(pszPath, st))
        return fail(pszPath == nullptr ? EINVAL : errno);
    AclOwner access(GetAccessAcl(pszPath, st.st_mode));
    if (access.p == nullptr)
        return fail(errno);
    AclOwner def;
    if (S_ISDIR(st.st_mode)) {
        def.p = GetDefaultAcl(pszPath);
        if (def.p == nullptr && errno != 0)
            return fail(errno);
    }
    OrvSecurityDescriptorAccess::Set(sd, access.Release(), def.Release());
    return true;
}

bool OrvSetFileSecurityDescriptor(const char* pszPath, const COrvSecurityDescriptor& sd,
                                  COrvError& err) {
    struct stat st;
    int nErrno = EINVAL;
    if (!sd.IsEmpty() && StatPath(pszPath, st)) {
        nErrno = WriteAcls(pszPath, OrvSecurityDescriptorAccess::Access(sd),
                           OrvSecurityDescriptorAccess::Default(sd), S_ISDIR(st.st_mode));
        if (nErrno == 0)
            return true;
    } else if (!sd.IsEmpty()) {
        nErrno = errno;
    }
    COrvStringA s;
    s.Format("Cannot write access list of '%s': %s", pszPath != nullptr ? pszPath : "",
             OrvErrnoText(nErrno).GetString());
    return err.SetErrnoText(nErrno, s);
}

bool OrvSecurityDescriptorToString(const COrvSecurityDescriptor& sd, COrvStringA& sText,
                                   COrvError& err) {
    sText.Empty();
    if (sd.IsEmpty())
        return err.SetErrno(EINVAL, "OrvSecurityDescriptorToString: ");
    char* pszAccess = acl_to_any_text(OrvSecurityDescriptorAccess::Access(sd), nullptr, ',', 0);
    if (pszAccess == nullptr)
        return err.SetErrno(errno, "OrvSecurityDescriptorToString: ");
    sText = pszAccess;
    acl_free(pszAccess);
    if (sd.HasDefault()) {
        char* pszDefault =
            acl_to_any_text(OrvSecurityDescriptorAccess::Default(sd), "default:", ',', 0);
        if (pszDefault == nullptr) {
            sText.Empty();
            return err.SetErrno(errno, "OrvSecurityDescriptorToString: ");
        }
        sText += ",";
        sText += pszDefault;
        acl_free(pszDefault);
    }
    return true;
}

bool OrvStringToSecurityDescriptor(const char* pszText, COrvSecurityDescriptor& sd,
                                   COrvError& err) {
    sd.Clear();
    std::string access;
    std::string def;
    const std::string text = pszText != nullptr ? pszText : "";
    size_t nPos = 0;
    while (nPos <= text.size()) {
        size_t nEnd = text.find_first_of(",\n", nPos);
        if (nEnd == std::string::npos)
            nEnd = text.size();
        std::string entry = text.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        if (const size_t nHash = entry.find('#'); nHash != std::string::npos)
            entry.resize(nHash);
        const size_t nFirst = entry.find_first_not_of(" \t\r");
        if (nFirst == std::string::npos)
            continue;
        entry = entry.substr(nFirst, entry.find_last_not_of(" \t\r") - nFirst + 1);
        std::string* pList = &access;
        for (const char* pszMark : {"default:", "d:"}) {
            if (entry.compare(0, strlen(pszMark), pszMark) == 0) {
                entry.erase(0, strlen(pszMark));
                pList = &def;
                break;
            }
        }
        if (entry.empty())
            return err.SetFormat(enNetBadRequest, "OrvStringToSecurityDescriptor: bad entry '%s'",
                                 entry.c_str());
        if (!pList->empty())
            *pList += ',';
        *pList += entry;
    }
    if (access.empty())
        return err.Set(enNetBadRequest, "OrvStringToSecurityDescriptor: no access list entries");
    auto parse = [&](const std::string& list, const char* pszWhich, AclOwner& out) {
        out.p = acl_from_text(list.c_str());
        if (out.p == nullptr)
            return err.SetFormat(enNetBadRequest,
                                 "OrvStringToSecurityDescriptor: bad %s list '%s': %s", pszWhich,
                                 list.c_str(), OrvErrnoText(errno).GetString());
        if (acl_valid(out.p) != 0)
            return err.SetFormat(enNetBadRequest,
                                 "OrvStringToSecurityDescriptor: incomplete %s list '%s'", pszWhich,
                                 list.c_str());
        return true;
    };
    AclOwner accessAcl;
    AclOwner defaultAcl;
    if (!parse(access, "access", accessAcl) || (!def.empty() && !parse(def, "default", defaultAcl)))
        return false;
    OrvSecurityDescriptorAccess::Set(sd, accessAcl.Release(), defaultAcl.Release());
    return true;
}

bool OrvGetFileOwner(const char* pszPath, COrvStringA& sOwner, COrvError& err,
                     COrvStringA* psDescriptor) {
    sOwner.Empty();
    if (psDescriptor != nullptr)
        psDescriptor->Empty();
    struct stat st;
    if (!StatPath(pszPath, st)) {
        const int nErrno = pszPath == nullptr ? EINVAL : errno;
        return err.SetErrnoText(nErrno, PathError("OrvGetFileOwner: cannot GetNamedSecurityInfo: ",
                                                  pszPath ? pszPath : "", nErrno));
    }
    OrvSid sid;
    sid.nId = st.st_uid;
    COrvStringA sName;
    COrvStringA sDomain;
    COrvError errName;
    if (!OrvGetAccountNameBySid(sid, sName, sDomain, errName)) {
        COrvStringA s;
        s.Format(
            "OrvGetFileOwner: cannot LookupAccountSid: %s: uid %u: %s", pszPath,
            static_cast<unsigned>(st.st_uid),
            OrvErrnoText(errName.SystemError() != 0 ? errName.SystemError() : ENOENT).GetString());
        return err.SetErrnoText(errName.SystemError() != 0 ? errName.SystemError() : ENOENT, s);
    }
    if (psDescriptor != nullptr) {
        COrvSecurityDescriptor sd;
        COrvError errSd;
        if (!OrvGetFileSecurityDescriptor(pszPath, sd, errSd) ||
            !OrvSecurityDescriptorToString(sd, *psDescriptor, errSd)) {
            errSd.AddContext("OrvGetFileOwner: cannot OrvSecurityDescriptorToString: ");
            err.Set(errSd.Code(), errSd.Text());
            return false;
        }
    }
    sOwner = sDomain + "\\" + sName;
    return true;
}

bool OrvMakeFileWriteableToAll(const char* pszPath, COrvError& err) {
    const char* pszShown = pszPath != nullptr ? pszPath : "";
    COrvError errStep;
    struct stat st;
    AclOwner access;
    AclOwner def;
    bool bFolder = false;
    auto fail = [&](const char* pszPrefix, int nErrno) {
        errStep.SetErrnoText(nErrno, PathError(pszPrefix, pszShown, nErrno));
        return false;
    };
    auto run = [&]() {
        if (!StatPath(pszPath, st))
            return fail("GetDacl: ", pszPath == nullptr ? EINVAL : errno);
        bFolder = S_ISDIR(st.st_mode);
        access.p = GetAccessAcl(pszPath, st.st_mode);
        if (access.p == nullptr)
            return fail("GetDacl: ", errno);
        if (bFolder) {
            def.p = GetDefaultAcl(pszPath);
            if (def.p == nullptr && errno != 0)
                return fail("GetDacl: ", errno);
        }
        const unsigned nPerms = ACL_READ | ACL_WRITE | (bFolder ? ACL_EXECUTE : 0);
        if (!AddPermsToAll(access.p, nPerms))
            return fail("AddAllowedAce: ", errno);
        if (bFolder) {
            if (def.p == nullptr)
                def.p = acl_dup(access.p);
            if (def.p == nullptr || !AddPermsToAll(def.p, ACL_READ | ACL_WRITE | ACL_EXECUTE))
                return fail("AddAllowedAce: ", errno);
        }
        if (const int nErrno = WriteAcls(pszPath, access.p, def.p, bFolder); nErrno != 0)
            return fail("AtlSetDacl: ", nErrno);
        return true;
    };
    if (run()) {
        g_orv_log.Printf("OrvMakeFileWriteableToAll: OK: path=%s\n", pszShown);
        return true;
    }
    g_orv_log.Printf("OrvMakeFileWriteableToAll: ERR: path=%s err=%s\n", pszShown,
                     errStep.Text().GetString());
    err.Set(errStep.Code(), errStep.Text());
    return false;
}

bool OrvResetFileAccessList(const char* pszPath, COrvError& err) {
    const char* pszShown = pszPath != nullptr ? pszPath : "";
    auto fail = [&](const char* pszFormat, int nErrno) {
        COrvStringA s;
        s.Format(pszFormat, PathError("", pszShown, nErrno).GetString());
        return err.SetErrnoText(nErrno, s);
    };
    struct stat st;
    if (!StatPath(pszPath, st))
        return fail("InitializeAcl failed: %s", pszPath == nullptr ? EINVAL : errno);
    const bool bFolder = S_ISDIR(st.st_mode);
    std::string parent(pszPath);
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    const size_t nSlash = parent.rfind('/');
    parent =
        nSlash == std::string::npos ? std::string(".") : parent.substr(0, nSlash == 0 ? 1 : nSlash);
    const mode_t nCreate = bFolder ? 0777 : 0666;
    AclOwner parentDefault(GetDefaultAcl(parent.c_str()));
    if (parentDefault.p == nullptr && errno != 0)
        return fail("InitializeAcl failed: %s", errno);
    AclOwner access;
    if (parentDefault.p != nullptr) {
        access.p = acl_dup(parentDefault.p);
        if (access.p == nullptr || !MaskByCreationMode(access.p, nCreate))
            return fail("InitializeAcl failed: %s", errno);
    } else {
        OrvProcIds ids;
        COrvError errIds;
        if (!ReadProcIds(getpid(), ids, "", errIds) || !ids.bHasUmask)
            return fail("InitializeAcl failed: %s",
                        errIds.SystemError() != 0 ? errIds.SystemError() : EPROTO);
        access.p = acl_from_mode(nCreate & ~static_cast<mode_t>(ids.nUmask));
        if (access.p == nullptr)
            return fail("InitializeAcl failed: %s", errno);
    }
    const int nErrno = WriteAcls(pszPath, access.p, bFolder ? parentDefault.p : nullptr, bFolder);
    if (nErrno != 0)
        return fail("SetNamedSecurityInfo failed: %s", nErrno);
    return true;
}

bool OrvSetFileIntegrityLabel(const char* pszPath, bool bLow, COrvError& err) {
    (void)bLow;
    COrvStringA s;
    s.Format("Cannot set integrity label of '%s': not supported on this system",
             pszPath != nullptr ? pszPath : "");
    return err.SetErrnoText(ENOTSUP, s);
}

bool OrvSetHandleIntegrityLabel(int fd, bool bLow, COrvError& err) {
    (void)bLow;
    COrvStringA s;
    s.Format("Cannot set integrity label of 'fd %d': not supported on this system", fd);
    return err.SetErrnoText(ENOTSUP, s);
}

// ---- logging on ----

namespace {

struct ConvData {
    const char* pszUser;
    const char* pszPassword;
};

// PAM's questions: the password for a hidden prompt, the user name for a shown one; messages
// are dropped. Every answer is PAM's to free.
int Converse(int nCount, const struct pam_message** ppMsg, struct pam_response** ppResp,
             void* pData) {
    if (nCount <= 0 || nCount > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    const ConvData* pConv = static_cast<const ConvData*>(pData);
    auto* pResp = static_cast<struct pam_response*>(
        calloc(static_cast<size_t>(nCount), sizeof(struct pam_response)));
    if (pResp == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < nCount; ++i) {
        const char* pszAnswer = nullptr;
        if (ppMsg[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            pszAnswer = pConv->pszPassword;
        else if (ppMsg[i]->msg_style == PAM_PROMPT_ECHO_ON)
            pszAnswer = pConv->pszUser;
        if (pszAnswer == nullptr)
            continue;
        pResp[i].resp = strdup(pszAnswer);
        if (pResp[i].resp == nullptr) {
            for (int j = 0; j < i; ++j) {
                if (pResp[j].resp != nullptr) {
                    explicit_bzero(pResp[j].resp, strlen(pResp[j].resp));
                    free(pResp[j].resp);
                }
            }
            free(pResp);
            return PAM_BUF_ERR;
        }
    }
    *ppResp = pResp;
    return PAM_SUCCESS;
}

void WipePassword(char* pszPassword) {
    if (pszPassword != nullptr)
        explicit_bzero(pszPassword, strlen(pszPassword));
}

int PamResultCode(int nPam) {
    switch (nPam) {
        case PAM_ACCT_EXPIRED:
        case PAM_NEW_AUTHTOK_REQD:
        case PAM_PERM_DENIED:
            return enNetAccessDenied;
        case PAM_BUF_ERR:
            return enNetNoMemory;
        case PAM_AUTHINFO_UNAVAIL:
        case PAM_SYSTEM_ERR:
        case PAM_ABORT:
            return enNetServer;
        default:
            return enNetAuth;
    }
}

}  // namespace

bool OrvLogonUser(const char* pszUser, char* pszPassword, OrvLogonToken& token, COrvError& err) {
    token.sUser.Empty();
    token.nUid = token.nGid = 0;
    token.groups.RemoveAll();
    struct Wiper {
        char* p;
        ~Wiper() { WipePassword(p); }
    } wiper{pszPassword};
    if (pszUser == nullptr || *pszUser == '\0' || pszPassword == nullptr)
        return err.Set(enNetAuth, "LogonUser: no user name or password");
    ConvData data{pszUser, pszPassword};
    const struct pam_conv conv = {Converse, &data};
    pam_handle_t* pPam = nullptr;
    int rc = pam_start(g_orv_logon_service, pszUser, &conv, &pPam);
    if (rc != PAM_SUCCESS) {
        WipePassword(pszPassword);
        COrvStringA s("LogonUser: ");
        s += pam_strerror(pPam, rc);
        return err.Set(PamResultCode(rc), s);
    }
    rc = pam_authenticate(pPam, PAM_DISALLOW_NULL_AUTHTOK);
    // PAM holds its own copy from here on.
    WipePassword(pszPassword);
    if (rc == PAM_SUCCESS)
        rc = pam_acct_mgmt(pPam, PAM_DISALLOW_NULL_AUTHTOK);
    // A module may map the name it was given to another account: the ids are that account's.
    const void* pItem = nullptr;
    std::string user(pszUser);
    if (rc == PAM_SUCCESS && pam_get_item(pPam, PAM_USER, &pItem) == PAM_SUCCESS &&
        pItem != nullptr)
        user = static_cast<const char*>(pItem);
    COrvStringA sPamText(pam_strerror(pPam, rc));
    pam_end(pPam, rc);
    if (rc != PAM_SUCCESS)
        return err.Set(PamResultCode(rc), COrvStringA("LogonUser: ") + sPamText);

    PwEntry e;
    bool bFound = false;
    int nErrno = GetPwNam(user.c_str(), e, bFound);
    if (nErrno == 0 && !bFound)
        nErrno = ENOENT;
    std::vector<uint32_t> groups;
    if (nErrno == 0)
        nErrno = GetUserGroups(e.pw.pw_name, e.pw.pw_gid, groups);
    if (nErrno != 0)
        return err.SetErrno(nErrno, "LogonUser: ");
    token.sUser = e.pw.pw_name;
    token.nUid = e.pw.pw_uid;
    token.nGid = e.pw.pw_gid;
    for (uint32_t g : groups)
        token.groups.Add(g);
    return true;
}

// ---- impersonation ----

bool OrvImpersonateLoggedOnUser(const OrvLogonToken& token, COrvError& err) {
    if (t_identity.bActive && !OrvRevertImpersonation(err))
        return false;
    if (!CanChangeIds())
        return err.SetErrnoText(
            EPERM, COrvStringA("Cannot acquire privileges: the process may not change user and "
                               "group ids: ") +
                       OrvErrnoText(EPERM));
    ThreadIdentity saved;
    saved.euid = geteuid();
    saved.egid = getegid();
    if (!GetThreadGroups(saved.groups))
        return err.SetErrno(errno, "Cannot OpenThreadToken: ");
    std::vector<gid_t> groups(token.groups.GetData(),
                              token.groups.GetData() + token.groups.GetSize());
    if (SetThreadGroups(groups) != 0)
        return err.SetErrno(errno, "ImpersonateLoggedOnUser: ");
    if (g_orv_sys.thread_setresgid(kKeep, token.nGid, kKeep) != 0) {
        const int nErrno = errno;
        (void)SetThreadGroups(saved.groups);
        return err.SetErrno(nErrno, "ImpersonateLoggedOnUser: ");
    }
    if (g_orv_sys.thread_setresuid(kKeep, token.nUid, kKeep) != 0) {
        const int nErrno = errno;
        (void)g_orv_sys.thread_setresgid(kKeep, saved.egid, kKeep);
        (void)SetThreadGroups(saved.groups);
        return err.SetErrno(nErrno, "ImpersonateLoggedOnUser: ");
    }
    saved.bActive = true;
    t_identity = std::move(saved);
    return true;
}

bool OrvRevertImpersonation(COrvError& err) {
    if (!t_identity.bActive)
        return true;
    // The user id first: it gives the thread back the rights to set the others.
    if (g_orv_sys.thread_setresuid(kKeep, t_identity.euid, kKeep) != 0 ||
        g_orv_sys.thread_setresgid(kKeep, t_identity.egid, kKeep) != 0 ||
        SetThreadGroups(t_identity.groups) != 0)
        return err.SetErrno(errno, "RevertImpersonation: ");
    t_identity = ThreadIdentity();
    return true;
}

bool OrvIsImpersonating() {
    return t_identity.bActive;
}
