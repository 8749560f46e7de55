// Accounts and security: who a process runs as, users and groups, file owners and access lists,
// checking a user's password and running the calling thread as another user.
//
// On this system an account is a user or a group id from the password and group databases
// (OrvSid); an administrator is a process whose real, effective or saved user id is 0, or that
// belongs to one of the groups "sudo", "wheel" or "admin" (whether or not it has raised its
// privileges); the system account is user id 0. A file's security descriptor is its POSIX access
// list and, on a folder, the default access list that new items in it inherit. Integrity levels
// and labels have no meaning here: those calls fail with a "not supported on this system" text.
#pragma once

#include <cstdint>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"

// ---- process facts ----

// Integrity levels do not exist on this system: false with "OrvGetProcessIntegrityLevel: bad
// arg" when pnLevel is null, otherwise "OrvGetProcessIntegrityLevel: not supported on this
// system" (code of ENOTSUP); *pnLevel is 0. Any thread.
[[nodiscard]] bool OrvGetProcessIntegrityLevel(int nPid, uint32_t* pnLevel, COrvError& err);

// Whether process nPid runs as an administrator (see above), from /proc/<pid>/status. False when
// the process cannot be examined, with "OrvGetProcessIsAdmin: cannot open process: " (a process
// that does not exist gives enNetNotFound), "OrvGetProcessIsAdmin: cannot get token info: " (its
// status cannot be read or parsed) or "OrvGetProcessIsAdmin: cannot LookupAccountSid: " (the
// group database cannot be read) + system text; "OrvGetProcessIsAdmin: bad arg" when pbIsAdmin
// is null. *pbIsAdmin is false on failure. Blocks on /proc; any thread.
[[nodiscard]] bool OrvGetProcessIsAdmin(int nPid, bool* pbIsAdmin, COrvError& err);

// Whether process nPid runs as the system account (effective user id 0). Errors as
// OrvGetProcessIsAdmin with "OrvGetProcessIsSystem: " in front. Any thread.
[[nodiscard]] bool OrvGetProcessIsSystem(int nPid, bool* pbIsSystem, COrvError& err);

// Whether this process runs as the system account: its effective user id, not changed by a
// thread's impersonation, is 0. Logs "OrvIsUserSystem: SystemAccount=%d\n". Any thread.
bool OrvIsUserSystem();

// ---- accounts ----

// A user or a group of the account databases.
struct OrvSid {
    bool bGroup = false;
    uint32_t nId = 0;
};

// What the password database holds of a user.
struct OrvUserInfo {
    COrvStringA sName;
    COrvStringA sFullName;  // first field of the comment (GECOS) field; may be empty
    uint32_t nUid = 0;
    uint32_t nGid = 0;
    COrvStringA sHomeFolder;
    COrvStringA sShell;
    COrvArray<uint32_t> groups;  // primary group first, then the supplementary groups
};

// What the group database holds of a group.
struct OrvGroupInfo {
    COrvStringA sName;
    uint32_t nGid = 0;
    COrvArray<COrvStringA> members;  // listed members (users whose primary group it is are not)
};

// The name of the user the calling thread runs as (its effective user id, so an impersonating
// thread gets the impersonated user). False with "Cannot get user name: " + system text when the
// id has no entry. Any thread.
[[nodiscard]] bool OrvGetUserName(COrvStringA& sName, COrvError& err);
// The same qualified by the host: "host\\user".
[[nodiscard]] bool OrvGetDomainUserName(COrvStringA& sName, COrvError& err);
// The same, with a soft assertion and the texts "-(cannot get UserName)-" and
// "-(cannot get DomainUserName)-" on failure.
COrvStringA OrvGetUserNameOrFallback();
COrvStringA OrvGetDomainUserNameOrFallback();

// The home folder of the user nUid from the password database. False with "user profile not
// found: %u" (enNetNotFound) when the user has no entry or no folder, "Cannot read ProfileList: "
// + system text when the database cannot be read. sFolder is empty on failure. Any thread.
[[nodiscard]] bool OrvGetUserProfileFolder(uint32_t nUid, COrvStringA& sFolder, COrvError& err);

// The account (user first, then group) named pszName, and the host name as its domain. False
// with "Windows User not found: " + name (enNetNotFound) when neither exists, "LookupAccountName
// #1 failed: " + system text when a database cannot be read and "LookupAccountName #2 failed: "
// when an entry does not fit in 16 MiB. Any thread.
[[nodiscard]] bool OrvLookupAccountName(const char* pszName, OrvSid& sid, COrvStringA& sDomain,
                                        COrvError& err);
// The name of an account and the host name as its domain. False with "OrvGetAccountNameBySid: "
// + system text (enNetNotFound when the id has no entry). Any thread.
[[nodiscard]] bool OrvGetAccountNameBySid(const OrvSid& sid, COrvStringA& sName,
                                          COrvStringA& sDomain, COrvError& err);
// The details of the user pszName. False with "NetUserGetInfo error %d" (errno; 2 with
// enNetNotFound for a missing user) + ": " + system text. Any thread.
[[nodiscard]] bool OrvGetUserInfo(const char* pszName, OrvUserInfo& info, COrvError& err);
// The details of the group pszName. Errors as OrvGetUserInfo. Any thread.
[[nodiscard]] bool OrvGetGroupInfo(const char* pszName, OrvGroupInfo& info, COrvError& err);

// The user's e-mail address: the text value "UserEmail" of the product's key under
// HKEY_CURRENT_USER, else $EMAIL. Logs "TvSysUserEmail: Got E-mail: %s\n" when found; otherwise
// logs "TvSysUserEmail: Cannot open UserExtendedProperties: %s\n" (the key cannot be opened) or
// "TvSysUserEmail: Cannot load UserExtendedProperties: %s\n" (the value cannot be read) and
// returns the empty string. Any thread.
COrvStringA TvSysUserEmail();

// ---- files ----

// A file's access list and, for a folder, its default access list. Owns its lists.
class COrvSecurityDescriptor {
public:
    COrvSecurityDescriptor() = default;
    ~COrvSecurityDescriptor() { Clear(); }
    COrvSecurityDescriptor(const COrvSecurityDescriptor&) = delete;
    COrvSecurityDescriptor& operator=(const COrvSecurityDescriptor&) = delete;
    COrvSecurityDescriptor(COrvSecurityDescriptor&& other) noexcept;
    COrvSecurityDescriptor& operator=(COrvSecurityDescriptor&& other) noexcept;

    bool IsEmpty() const { return m_pAccess == nullptr; }
    bool HasDefault() const { return m_pDefault != nullptr; }
    void Clear();

private:
    friend struct OrvSecurityDescriptorAccess;
    void* m_pAccess = nullptr;   // the access list
    void* m_pDefault = nullptr;  // the default list, null when there is none
};

// Reads the access list of pszPath (and its default list when it has one). A file system
// without access lists gives the list of the mode bits. False with "Cannot read access list of
// '%s': " + system text. Any thread.
[[nodiscard]] bool OrvGetFileSecurityDescriptor(const char* pszPath, COrvSecurityDescriptor& sd,
                                                COrvError& err);
// Writes sd to pszPath: its access list and, for a folder, its default list (removed when sd has
// none; a folder's default list is set before its access list, and put back when the access list
// cannot be written). False with "Cannot write access list of '%s': " + system text; a file
// system without access lists refuses anything beyond the mode bits with the text of ENOTSUP.
// Any thread.
[[nodiscard]] bool OrvSetFileSecurityDescriptor(const char* pszPath,
                                                const COrvSecurityDescriptor& sd, COrvError& err);

// The text form of sd: the entries of the access list ("user::rw-,group::r--,other::r--",
// named users and groups by name when they have one), then those of the default list each with
// "default:" in front, separated by ",". False with "OrvSecurityDescriptorToString: " + system
// text for an empty or broken descriptor. Any thread.
[[nodiscard]] bool OrvSecurityDescriptorToString(const COrvSecurityDescriptor& sd,
                                                 COrvStringA& sText, COrvError& err);
// Parses the text form (entries separated by "," or line ends; "d:" or "default:" marks a
// default entry; numeric ids allowed; names must exist). Both lists must be complete (owner,
// group and other entries; a mask when there are named entries). False with
// "OrvStringToSecurityDescriptor: " + the reason (code enNetBadRequest); sd is empty then.
[[nodiscard]] bool OrvStringToSecurityDescriptor(const char* pszText, COrvSecurityDescriptor& sd,
                                                 COrvError& err);

// The owner of pszPath (links followed) as "host\\user" (an owner id without a name is an
// error), and, when psDescriptor is given, its descriptor's text. False with
// "OrvGetFileOwner: cannot GetNamedSecurityInfo: " (stat fails), "OrvGetFileOwner: cannot
// LookupAccountSid: " or "OrvGetFileOwner: cannot OrvSecurityDescriptorToString: " + reason.
[[nodiscard]] bool OrvGetFileOwner(const char* pszPath, COrvStringA& sOwner, COrvError& err,
                                   COrvStringA* psDescriptor = nullptr);

// Gives everyone read and write access to pszPath (and traversal to a folder): every entry of
// its access list gets them (the owner, the owning group, named users and groups, the mask and
// "other"), so that no entry narrower than "other" shuts anyone out. A folder also gets a default
// list with read, write and traversal for all, so that items created in it later inherit them
// (files get read and write from their creation mode). Existing items inside a folder are not
// changed. Nothing is changed when it fails: "GetDacl: " (reading), "AddAllowedAce: " (building)
// or "AtlSetDacl: " (writing; a folder on a file system without access lists gives the ENOTSUP
// text) + path + ": " + system text. Logs "OrvMakeFileWriteableToAll: OK: path=%s\n" or
// "OrvMakeFileWriteableToAll: ERR: path=%s err=%s\n". Any thread.
[[nodiscard]] bool OrvMakeFileWriteableToAll(const char* pszPath, COrvError& err);

// Resets the access list of pszPath to what an item created in its folder now would get: the
// folder's default list masked by the creation mode (0666 for a file, 0777 for a folder, which
// also takes the default list as its own), or, when the folder has none, the creation mode less
// the process's umask and no extra entries (a folder loses its default list). Owner and the
// set-id and sticky bits are kept. False with "InitializeAcl failed: %s" (the folder's list or
// the umask cannot be read) or "SetNamedSecurityInfo failed: %s" (writing). Any thread.
[[nodiscard]] bool OrvResetFileAccessList(const char* pszPath, COrvError& err);

// Integrity labels do not exist on this system: false with "Cannot set integrity label of '%s':
// not supported on this system" (code of ENOTSUP). The descriptor form names the file "fd %d".
[[nodiscard]] bool OrvSetFileIntegrityLabel(const char* pszPath, bool bLow, COrvError& err);
[[nodiscard]] bool OrvSetHandleIntegrityLabel(int fd, bool bLow, COrvError& err);

// ---- logging on and impersonation ----

// PAM service under which OrvLogonUser checks passwords; "vexil" (a system without its own
// configuration for it uses the "other" service). Set at start-up.
extern const char* g_orv_logon_service;

// Who a successful logon is.
struct OrvLogonToken {
    COrvStringA sUser;
    uint32_t nUid = 0;
    uint32_t nGid = 0;
    COrvArray<uint32_t> groups;  // supplementary groups, the primary group included
};

// Checks pszPassword for pszUser through PAM (authentication, then account validity) and fills
// token with the user's ids. pszPassword is wiped (every byte up to its NUL set to 0) before the
// call returns, whatever the result; PAM gets its own copy. False with "LogonUser: " + PAM's
// text (enNetAuth for a wrong password or an unknown user, enNetAccessDenied for an expired or
// locked account) or "LogonUser: " + system text when the user's ids cannot be read. Blocks (PAM
// may wait a few seconds after a wrong password); any thread.
[[nodiscard]] bool OrvLogonUser(const char* pszUser, char* pszPassword, OrvLogonToken& token,
                                COrvError& err);

// Makes the calling thread, and only it, act as token's user: its effective user id, effective
// group id and supplementary groups (file access goes by them). Other threads keep their ids.
// The process needs the rights to change ids (root); without them it fails with "Cannot acquire
// privileges: " + the reason and the text of EPERM (enNetAccessDenied) and changes nothing. A
// thread that already impersonates first goes back to its own ids. A failure of one step undoes the
// steps before it and gives "ImpersonateLoggedOnUser: " + system text. Do not call the C library's
// id-changing functions (setuid and the like) while a thread impersonates: they change every
// thread of the process.
[[nodiscard]] bool OrvImpersonateLoggedOnUser(const OrvLogonToken& token, COrvError& err);
// Gives the calling thread back the ids it had before OrvImpersonateLoggedOnUser; true at once
// when it does not impersonate. False with "RevertImpersonation: " + system text.
[[nodiscard]] bool OrvRevertImpersonation(COrvError& err);
// Whether the calling thread impersonates.
bool OrvIsImpersonating();
