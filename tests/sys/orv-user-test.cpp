// Accounts and access lists against the real system: users and groups made by the tests
// (useradd, newusers, gpasswd, chpasswd), processes under their ids (setpriv), access lists read
// back with getfacl, passwords checked by PAM.
#include "orv-user.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "orv-sys.h"
#include "orv-test-support.h"
#include "orv-user-os.h"

namespace {

#define NEED_ROOT()     \
    if (geteuid() != 0) \
    GTEST_SKIP() << "needs root: the test makes users and groups or mounts a file system"

int Shell(const std::string& cmd) {
    const int rc = system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The entries getfacl lists for a path (owner and effective-rights comments left out).
std::set<std::string> Facl(const std::string& path) {
    std::set<std::string> entries;
    std::istringstream in(OrvRunCapture("getfacl -cpE '" + path + "' 2>/dev/null"));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            entries.insert(line);
    return entries;
}

uint32_t Uid(const std::string& user) {
    return static_cast<uint32_t>(strtoul(OrvRunCapture("id -u " + user).c_str(), nullptr, 10));
}

// Users and groups made for one test, removed (with their own groups) when it ends, whatever
// its result.
class Accounts {
public:
    ~Accounts() {
        for (const std::string& cmd : m_undo)
            Shell(cmd);
    }
    // A new user with its own group, in further groups when given ("sudo").
    std::string AddUser(const std::string& suffix, const std::string& groups = "") {
        const std::string name = Name(suffix);
        EXPECT_EQ(0, Shell("useradd -M -U -d /nonexistent " +
                           (groups.empty() ? "" : "-G " + groups + " ") + name));
        m_undo.push_back("userdel -f " + name);
        return name;
    }
    std::string AddGroup(const std::string& suffix) {
        const std::string name = Name(suffix);
        EXPECT_EQ(0, Shell("groupadd " + name));
        m_undo.push_back("groupdel " + name);
        return name;
    }
    // "ovx" + pid + suffix: unique on a machine shared with other runs.
    static std::string Name(const std::string& suffix) {
        return "ovx" + std::to_string(getpid()) + suffix;
    }

private:
    std::vector<std::string> m_undo;  // the commands that remove what was made
};

// A process that runs under a user's ids (setpriv with its groups), stopped at the end.
class ProcessAs {
public:
    explicit ProcessAs(const std::string& user) {
        m_pid = fork();
        if (m_pid == 0) {
            execlp("setpriv", "setpriv", "--reuid", user.c_str(), "--regid", user.c_str(),
                   "--init-groups", "sleep", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        const uint32_t uid = Uid(user);
        // setpriv changes its ids before it runs sleep.
        EXPECT_TRUE(OrvWaitFor([&] {
            const std::string status =
                OrvReadFileBytes("/proc/" + std::to_string(m_pid) + "/status");
            OrvProcIds ids;
            return OrvParseProcStatusIds(status.data(), status.size(), ids) && ids.anUid[0] == uid;
        })) << "setpriv did not change to "
            << user;
    }
    ~ProcessAs() {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    int Pid() const { return m_pid; }

private:
    int m_pid = -1;
};

TEST(OrvUserProcStatus, ParsesIdsAndRejectsBrokenLines) {
    struct Case {
        const char* pszText;
        bool bOk;
        uint32_t nEuid;
        size_t nGroups;
    };
    const Case cases[] = {
        {"Name:\tsh\nUmask:\t0022\nUid:\t1000\t1001\t1002\t1003\nGid:\t5\t6\t7\t8\nGroups:\t27 "
         "100 4294967295 \n",
         true, 1001, 3},
        {"Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:\t\n", true, 0, 0},
        {"Uid:\t0\t0\t0\t0\nGroups:\t1\n", false, 0, 0},                      // no Gid line
        {"Uid:\t0\t4294967296\t0\t0\nGid:\t0\t0\t0\t0\n", false, 0, 0},       // 2^32
        {"Uid:\t1\t2\t3\t4\nGid:\t0\t0\t0\t0\nGroups:\t1 x\n", false, 0, 0},  // bad group
        {"Uid:\t1\t2\t3\t4\nGid:\t0\t0\t0\t0\nUmask:\t0089\n", false, 0, 0},  // not octal
    };
    for (const Case& c : cases) {
        OrvProcIds ids;
        EXPECT_EQ(c.bOk, OrvParseProcStatusIds(c.pszText, strlen(c.pszText), ids)) << c.pszText;
        if (c.bOk) {
            EXPECT_EQ(c.nEuid, ids.anUid[1]);
            EXPECT_EQ(c.nGroups, ids.groups.size());
            EXPECT_EQ(c.nGroups == 0 ? 0u : 022u, ids.nUmask);
        }
    }
}

TEST(OrvUserProcess, AdministratorAndSystemForRootSudoMemberAndPlainUser) {
    NEED_ROOT();
    ASSERT_EQ(0, Shell("getent group sudo")) << "the group sudo is missing";
    Accounts accounts;
    const std::string admin = accounts.AddUser("a", "sudo");
    const std::string plain = accounts.AddUser("p");
    ProcessAs adminProc(admin);
    ProcessAs plainProc(plain);

    struct Case {
        int nPid;
        bool bAdmin;
        bool bSystem;
    };
    for (const Case& c : {Case{getpid(), true, true}, Case{adminProc.Pid(), true, false},
                          Case{plainProc.Pid(), false, false}}) {
        bool bAdmin = !c.bAdmin;
        bool bSystem = !c.bSystem;
        COrvError err;
        ASSERT_TRUE(OrvGetProcessIsAdmin(c.nPid, &bAdmin, err) &&
                    OrvGetProcessIsSystem(c.nPid, &bSystem, err));
        EXPECT_TRUE(c.bAdmin == bAdmin && c.bSystem == bSystem) << "pid " << c.nPid;
    }
    const pid_t pid = fork();  // reaped below: the id then names no process
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    bool bAdmin = true;
    COrvError err;
    EXPECT_FALSE(OrvGetProcessIsAdmin(pid, &bAdmin, err));
    EXPECT_TRUE(!bAdmin && err.Code() == enNetNotFound);
}

class OrvUserAcl : public ::testing::Test {
protected:
    void SetUp() override {
        if (Shell("getfacl --version") != 0)
            GTEST_FAIL() << "getfacl is missing: install the package acl";
        chmod(m_dir.Path().c_str(), 0755);
    }
    // A file made the way a program makes one: open with 0666 under the process's umask.
    static void Touch(const std::string& path) {
        const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0666);
        ASSERT_GE(fd, 0) << path;
        close(fd);
    }
    OrvTempDir m_dir;
};

TEST_F(OrvUserAcl, WriteableToAllFolderAndFileAndWhatNewFilesInherit) {
    const std::string dir = m_dir.File("shared");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0750));
    COrvError err;
    ASSERT_TRUE(OrvMakeFileWriteableToAll(dir.c_str(), err)) << err.Text().GetString();
    Touch(dir + "/later.txt");
    EXPECT_EQ((std::set<std::string>{"user::rw-", "group::rw-", "other::rw-"}),
              Facl(dir + "/later.txt"));

    // A named entry narrower than "other" would shut its user out: it is widened as well.
    const std::string file = m_dir.File("narrow.txt");
    Touch(file);
    ASSERT_EQ(0, Shell("setfacl -m u:nobody:r--,o::--- " + file));
    ASSERT_TRUE(OrvMakeFileWriteableToAll(file.c_str(), err)) << err.Text().GetString();
    EXPECT_EQ((std::set<std::string>{"user::rw-", "user:nobody:rw-", "group::rw-", "mask::rw-",
                                     "other::rw-"}),
              Facl(file));
}

TEST_F(OrvUserAcl, ResetGivesWhatANewItemInTheFolderGets) {
    // A folder with a default list, and one without: the kernel's own creation is the reference.
    const std::string inherit = m_dir.File("inherit");
    const std::string plain = m_dir.File("plain");
    ASSERT_EQ(0, mkdir(inherit.c_str(), 0755));
    ASSERT_EQ(0, mkdir(plain.c_str(), 0755));
    ASSERT_EQ(0, Shell("setfacl -d -m u:nobody:rwx,g::r-x,o::r-- " + inherit));
    for (const std::string& folder : {inherit, plain}) {
        const std::string file = folder + "/f";
        const std::string sub = folder + "/d";
        Touch(file);
        ASSERT_EQ(0, mkdir(sub.c_str(), 0777));
        COrvError err;
        ASSERT_TRUE(OrvMakeFileWriteableToAll(file.c_str(), err));
        ASSERT_TRUE(OrvMakeFileWriteableToAll(sub.c_str(), err));
        ASSERT_EQ(0, Shell("setfacl -m u:daemon:rwx " + file));
        ASSERT_TRUE(OrvResetFileAccessList(file.c_str(), err)) << err.Text().GetString();
        ASSERT_TRUE(OrvResetFileAccessList(sub.c_str(), err)) << err.Text().GetString();
        Touch(folder + "/fresh-file");
        ASSERT_EQ(0, mkdir((folder + "/fresh-dir").c_str(), 0777));
        EXPECT_EQ(Facl(folder + "/fresh-file"), Facl(file)) << folder;
        EXPECT_EQ(Facl(folder + "/fresh-dir"), Facl(sub)) << folder;
    }
}

TEST_F(OrvUserAcl, DescriptorTextMatchesGetfaclAndWritesBack) {
    const std::string src = m_dir.File("src");
    const std::string dst = m_dir.File("dst");
    ASSERT_EQ(0, mkdir(src.c_str(), 0755));
    ASSERT_EQ(0, mkdir(dst.c_str(), 0700));
    ASSERT_EQ(0, Shell("setfacl -m u:nobody:r-x,g:daemon:rwx " + src));
    ASSERT_EQ(0, Shell("setfacl -d -m u:nobody:rwx " + src));

    COrvError err;
    COrvSecurityDescriptor sd;
    COrvStringA sText;
    ASSERT_TRUE(OrvGetFileSecurityDescriptor(src.c_str(), sd, err)) << err.Text().GetString();
    ASSERT_TRUE(OrvSecurityDescriptorToString(sd, sText, err));

    COrvSecurityDescriptor parsed;
    ASSERT_TRUE(OrvStringToSecurityDescriptor(sText.GetString(), parsed, err))
        << err.Text().GetString();
    ASSERT_TRUE(OrvSetFileSecurityDescriptor(dst.c_str(), parsed, err)) << err.Text().GetString();
    EXPECT_EQ(Facl(src), Facl(dst));

    // Without default entries the folder loses its default list.
    COrvSecurityDescriptor accessOnly;
    ASSERT_TRUE(
        OrvStringToSecurityDescriptor("u::rwx\n g::r-x # owner's group\n o::---", accessOnly, err));
    ASSERT_TRUE(OrvSetFileSecurityDescriptor(dst.c_str(), accessOnly, err));
    EXPECT_EQ((std::set<std::string>{"user::rwx", "group::r-x", "other::---"}), Facl(dst));

    for (const char* psz :
         {"", "u::rwz,g::r-x,o::---", "u:no-such-user-ovx:rwx,u::rwx,g::r-x,o::---,m::rwx"}) {
        COrvSecurityDescriptor out;
        EXPECT_FALSE(OrvStringToSecurityDescriptor(psz, out, err) || !out.IsEmpty()) << psz;
    }
}

TEST_F(OrvUserAcl, FileSystemWithoutAccessLists) {
    NEED_ROOT();
    // tmpfs without access lists when the kernel allows it, else ramfs (which keeps none).
    const std::string mnt = m_dir.File("mnt");
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "noacl,size=1m") != 0 &&
        mount("ramfs", mnt.c_str(), "ramfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount a file system without access lists: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{mnt};

    const std::string dir = mnt + "/d";
    const std::string file = mnt + "/f";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0750));
    Touch(file);
    ASSERT_EQ(0, chmod(file.c_str(), 0600));
    COrvError err;
    EXPECT_FALSE(OrvMakeFileWriteableToAll(dir.c_str(), err));
    // A file needs no more than its mode bits for this.
    ASSERT_TRUE(OrvMakeFileWriteableToAll(file.c_str(), err)) << err.Text().GetString();
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 07777);
}

// The calling thread's ids as the kernel reports them.
std::string ThreadIds() {
    const std::string s = OrvReadFileBytes("/proc/thread-self/status");
    const size_t nUid = s.find("\nUid:"), nGroups = s.find("\nGroups:");
    return s.substr(nUid, s.find("\nFDSize:") - nUid) +
           s.substr(nGroups, s.find('\n', nGroups + 1) - nGroups);
}

TEST(OrvUserLogon, PasswordWipedImpersonationOnlyOnTheCallingThreadAndUndone) {
    NEED_ROOT();
    Accounts accounts;
    const std::string user = accounts.AddUser("l");
    ASSERT_EQ(0, Shell("gpasswd -a " + user + " " + accounts.AddGroup("x")));
    ASSERT_EQ(0, Shell("echo '" + user + ":S3cret-pass word' | chpasswd"));
    OrvTempDir dir;
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0777));
    OrvLogonToken token;
    COrvError err;
    for (std::string pass : {"wrong password", "S3cret-pass word"}) {
        const size_t nLen = pass.size();
        EXPECT_EQ(OrvLogonUser(user.c_str(), pass.data(), token, err), nLen != 14);
        EXPECT_EQ(pass, std::string(nLen, '\0'));  // the password is wiped either way
    }
    EXPECT_EQ(Uid(user), token.nUid);
    EXPECT_EQ(token.groups.GetSize(), 2u);  // its own group and the extra one
    const std::string before = ThreadIds();

    // Another thread watches its own ids the whole time the main thread acts as the user.
    std::atomic<bool> bDone{false};
    std::atomic<bool> bOtherChanged{false};
    std::thread other([&] {
        while (!bDone.load())
            if (ThreadIds() != before)
                bOtherChanged = true;
    });
    ASSERT_TRUE(OrvImpersonateLoggedOnUser(token, err)) << err.Text().GetString();
    // A second call starts again from the thread's own ids.
    ASSERT_TRUE(OrvImpersonateLoggedOnUser(token, err)) << err.Text().GetString();
    EXPECT_TRUE(OrvIsImpersonating());
    const std::string file = dir.File("made-as-user");
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    ASSERT_TRUE(OrvRevertImpersonation(err)) << err.Text().GetString();
    bDone = true;
    other.join();
    EXPECT_FALSE(bOtherChanged.load());
    EXPECT_EQ(before, ThreadIds());
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_TRUE(token.nUid == st.st_uid && token.nGid == st.st_gid);

    // A failure half way undoes the earlier steps.
    for (bool bFailGid : {true, false}) {
        OrvSysScope scope;
        auto fail = [](unsigned, unsigned, unsigned) {
            errno = EAGAIN;
            return -1;
        };
        (bFailGid ? g_orv_sys.thread_setresgid : g_orv_sys.thread_setresuid) = fail;
        EXPECT_FALSE(OrvImpersonateLoggedOnUser(token, err));
        EXPECT_EQ(before, ThreadIds()) << (bFailGid ? "gid" : "uid") << " step";
        EXPECT_FALSE(OrvIsImpersonating());
    }
}

}  // namespace
