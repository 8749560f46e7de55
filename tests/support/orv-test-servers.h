// Real servers for tests and benchmarks: starting a program with its configuration, waiting
// until it listens on a loopback port, stopping it; and the web peers of the HTTP connection
// suites (an nginx origin with a TLS side, a squid proxy with an open and a Basic-auth port).
//
// Everything listens on 127.0.0.1 only; configuration, pid, log and cache files live in a
// folder of the caller's. No gtest dependency, so that benchmarks can use it too.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A port on 127.0.0.1 that was free a moment ago (bound to port 0 and closed); 0 on failure.
int OrvTestFreePort();
// Whether something accepts connections on 127.0.0.1:nPort now.
bool OrvTestPortListening(int nPort);
// The full path of a program in PATH, /usr/sbin or /sbin; empty when it is not installed.
std::string OrvTestFindProgram(const std::string& name);
// Runs a command through /bin/sh and returns its exit status (-1 when it could not run).
int OrvTestRunShell(const std::string& command);

// A child process: started with an argument vector, its output sent to a log file, stopped
// with SIGTERM (SIGKILL after 5 seconds) by Stop or the destructor.
class OrvTestProcess {
public:
    OrvTestProcess() = default;
    ~OrvTestProcess() { Stop(); }
    OrvTestProcess(const OrvTestProcess&) = delete;
    OrvTestProcess& operator=(const OrvTestProcess&) = delete;

    // Starts argv[0] (a full path, or a name looked up with OrvTestFindProgram) with its stdout
    // and stderr appended to logPath. False with a reason in error when it cannot be started.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath,
               std::string& error);
    // What it wrote so far (the log file's content).
    std::string Output() const;
    // Whether it is still running.
    bool Running();
    void Stop();
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::string m_logPath;
};

// The origin: nginx on a plain and a TLS port (certificate for "orv-origin.test" and
// 127.0.0.1, made with the openssl command), and a second plain port that logs the
// Authorization header it receives (a different origin for redirects).
//   /hello.txt, /big.txt (gzip when asked), /Z_time_checker.php: static files in www/
//   /r301 /r302 /r307 /r308: redirects to /hello.txt; /r307post: 307 to /post/moved.bin
//   /post/NAME: a POST body is stored as www/dav/NAME (201 Created)
//   /private/: Basic auth (user "alice", password "wonder"); /private/away: after auth, a 302
//   to the second origin's /away
//   /zero/NAME: files for the benchmark
class OrvTestNginx {
public:
    // Writes the configuration, the certificate and the files into dir and starts nginx.
    bool Start(const std::string& dir, std::string& error);
    void Stop() { m_proc.Stop(); }
    int Port() const { return m_nPort; }
    int TlsPort() const { return m_nTlsPort; }
    const std::string& Dir() const { return m_dir; }
    std::string CertFile() const { return m_dir + "/cert.pem"; }
    std::string AccessLog() const { return m_dir + "/nginx-access.log"; }
    std::string OtherAccessLog() const { return m_dir + "/nginx-other.log"; }
    std::string Www() const { return m_dir + "/www"; }

private:
    OrvTestProcess m_proc;
    std::string m_dir;
    int m_nPort = 0;
    int m_nTlsPort = 0;
    int m_nOtherPort = 0;
};

// The proxy: squid with an open port and a port
// that wants Basic proxy authentication (user "proxyuser", password "proxypass"). "orv-origin.test"
// resolves to 127.0.0.1 through its own hosts file, and it asks no name server but 127.0.0.1.
class OrvTestSquid {
public:
    bool Start(const std::string& dir, std::string& error);
    void Stop() { m_proc.Stop(); }
    int OpenPort() const { return m_nOpenPort; }
    int AuthPort() const { return m_nAuthPort; }
    std::string AccessLog() const { return m_dir + "/access.log"; }

    // Set before Start: the auth port asks for NTLM too (squid's ntlm_fake_auth, which accepts
    // any user after a complete three-message handshake on one connection).
    bool m_bNtlm = false;

private:
    OrvTestProcess m_proc;
    std::string m_dir;
    int m_nOpenPort = 0;
    int m_nAuthPort = 0;
};

// A SOCKS5 proxy: microsocks on 127.0.0.1, without authentication; its log names the
// destinations it connected to.
class OrvTestMicrosocks {
public:
    bool Start(const std::string& dir, std::string& error);
    void Stop() { m_proc.Stop(); }
    int Port() const { return m_nPort; }
    std::string Log() const { return m_proc.Output(); }

private:
    OrvTestProcess m_proc;
    int m_nPort = 0;
};

// The origin name both peers know.
inline const char* kOrvTestOriginName = "orv-origin.test";
