#include "orv-test-servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

extern char** environ;

namespace {

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return static_cast<bool>(f);
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

sockaddr_in Loopback(int nPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(nPort));
    return a;
}

}  // namespace

int OrvTestFreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t n = sizeof(a);
    int nPort = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        nPort = ntohs(a.sin_port);
    close(fd);
    return nPort;
}

bool OrvTestPortListening(int nPort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(nPort);
    const bool bOk = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return bOk;
}

std::string OrvTestFindProgram(const std::string& name) {
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/lib/squid";
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(':', i);
        if (j == std::string::npos)
            j = path.size();
        const std::string full = path.substr(i, j - i) + "/" + name;
        if (j > i && access(full.c_str(), X_OK) == 0)
            return full;
        i = j + 1;
    }
    return std::string();
}

int OrvTestRunShell(const std::string& command) {
    const int n = system(command.c_str());
    return n == -1 ? -1 : WEXITSTATUS(n);
}

bool OrvTestProcess::Start(const std::vector<std::string>& argv, const std::string& logPath,
                           std::string& error) {
    Stop();
    if (argv.empty()) {
        error = "no program to start";
        return false;
    }
    std::string program = argv[0];
    if (program.find('/') == std::string::npos)
        program = OrvTestFindProgram(program);
    if (program.empty()) {
        error = argv[0] + " is not installed";
        return false;
    }
    m_logPath = logPath;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + strerror(rc);
        return false;
    }
    m_pid = pid;
    return true;
}

std::string OrvTestProcess::Output() const {
    std::ifstream f(m_logPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool OrvTestProcess::Running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

void OrvTestProcess::Stop() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

namespace {

// Polls until something accepts connections on 127.0.0.1:nPort; false after nMs milliseconds.
bool WaitForPort(int nPort, int nMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    for (; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (OrvTestPortListening(nPort))
            return true;
    return false;
}

// Starts proc on fresh free ports (written through the pointers before argv() is asked for the
// arguments, so that it can write its configuration), and tries again when one of them was taken
// meanwhile.
bool StartOnFreePorts(OrvTestProcess& proc, std::initializer_list<int*> ports,
                      const std::function<std::vector<std::string>()>& argv,
                      const std::string& logPath, const std::string& failText, std::string& error) {
    for (int nTry = 0; nTry < 5; ++nTry) {
        for (int* p : ports)
            *p = OrvTestFreePort();
        if (!proc.Start(argv(), logPath, error))
            return false;
        bool bUp = true;
        for (int* p : ports)
            bUp = bUp && WaitForPort(*p, 15000);
        if (bUp)
            return true;
        proc.Stop();
    }
    error = failText;
    return false;
}

}  // namespace

bool OrvTestNginx::Start(const std::string& dir, std::string& error) {
    m_dir = dir;
    const std::string nginx = OrvTestFindProgram("nginx");
    const std::string openssl = OrvTestFindProgram("openssl");
    const std::string htpasswd = OrvTestFindProgram("htpasswd");
    if (nginx.empty() || openssl.empty() || htpasswd.empty()) {
        error =
            "nginx, openssl or htpasswd missing: install the packages nginx, openssl and "
            "apache2-utils (scripts/setup.sh)";
        return false;
    }
    for (const char* pszSub : {"", "/dav", "/private", "/zero"})
        mkdir((dir + "/www" + pszSub).c_str(), 0777);
    WriteText(dir + "/www/hello.txt", "Hello from the origin\n");
    WriteText(dir + "/www/private/secret.txt", "the secret\n");
    WriteText(dir + "/www/Z_time_checker.php", "time-checker\n");
    std::string big;
    for (int i = 0; i < 4000; ++i)
        big += "line " + std::to_string(i) + " of a body that compresses well\n";
    WriteText(dir + "/www/big.txt", big);
    if (OrvTestRunShell(Quote(openssl) +
                        " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
                        " -nodes -days 2 -subj /CN=orv-origin.test"
                        " -addext subjectAltName=DNS:orv-origin.test,IP:127.0.0.1 -keyout " +
                        Quote(dir + "/key.pem") + " -out " + Quote(dir + "/cert.pem") +
                        " >/dev/null 2>&1") != 0 ||
        OrvTestRunShell(Quote(htpasswd) + " -bc " + Quote(dir + "/htpasswd") +
                        " alice wonder >/dev/null 2>&1") != 0) {
        error = "cannot make the test certificate or password file";
        return false;
    }
    const auto argv = [&]() -> std::vector<std::string> {
        const std::string p = std::to_string(m_nPort), other = std::to_string(m_nOtherPort);
        std::string conf = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
        if (geteuid() == 0)
            conf += "user root root;\n";
        conf += "pid " + dir + "/nginx.pid;\nerror_log " + dir + "/nginx-error.log warn;\n";
        conf += "events { worker_connections 512; }\nhttp {\n";
        conf += " types { text/plain txt; text/html html; application/octet-stream bin; }\n";
        conf += " default_type text/plain;\n";
        for (const char* pszTemp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf += " " + std::string(pszTemp) + "_temp_path " + dir + "/tmp-" + pszTemp + ";\n";
        conf +=
            " log_format orv '$request_method $request_uri auth=[$http_authorization] "
            "ua=[$http_user_agent] status=$status line=[$request]';\n";
        conf += " keepalive_requests 1000000;\n keepalive_timeout 60s;\n sendfile on;\n";
        conf += " client_max_body_size 0;\n server {\n  listen 127.0.0.1:" + p + ";\n";
        conf += "  listen 127.0.0.1:" + std::to_string(m_nTlsPort) + " ssl;\n";
        conf +=
            "  ssl_certificate " + dir + "/cert.pem;\n ssl_certificate_key " + dir + "/key.pem;\n";
        conf += "  access_log " + dir + "/nginx-access.log orv;\n  root " + dir + "/www;\n";
        conf += "  gzip on;\n  gzip_types text/plain;\n  gzip_min_length 64;\n";
        for (const char* pszCode : {"301", "302", "307", "308"})
            conf += "  location = /r" + std::string(pszCode) + " { return " + pszCode +
                    " /hello.txt; }\n";
        conf += "  location = /r307post { return 307 /post/moved.bin; }\n";
        conf += "  location = /loop { return 302 /loop; }\n  location = /full { return 507; }\n";
        conf +=
            "  location /post/ { proxy_method PUT; proxy_http_version 1.1; proxy_pass "
            "http://127.0.0.1:" +
            p + "/dav/; }\n";
        conf += "  location /dav/ { dav_methods PUT; create_full_put_path on; }\n";
        conf += "  location /private/ { auth_basic orv; auth_basic_user_file " + dir +
                "/htpasswd; error_page 404 =302 http://127.0.0.1:" + other + "/away; }\n }\n";
        conf += " server {\n  listen 127.0.0.1:" + other + ";\n  access_log " + dir +
                "/nginx-other.log orv;\n  location / { auth_basic other; auth_basic_user_file " +
                dir + "/htpasswd; }\n }\n}\n";
        WriteText(dir + "/nginx.conf", conf);
        return {nginx, "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/nginx-error.log"};
    };
    return StartOnFreePorts(m_proc, {&m_nPort, &m_nTlsPort, &m_nOtherPort}, argv,
                            dir + "/nginx-out.log",
                            "nginx did not start; see " + dir + "/nginx-error.log", error);
}

bool OrvTestSquid::Start(const std::string& dir, std::string& error) {
    m_dir = dir;
    const std::string squid = OrvTestFindProgram("squid");
    const std::string ncsa = OrvTestFindProgram("basic_ncsa_auth");
    const std::string htpasswd = OrvTestFindProgram("htpasswd");
    if (squid.empty() || ncsa.empty() || htpasswd.empty()) {
        error =
            "squid, basic_ncsa_auth or htpasswd missing: install the packages squid and "
            "apache2-utils (scripts/setup.sh)";
        return false;
    }
    // squid drops root for its own user, which must be able to write here.
    chmod(dir.c_str(), 0777);
    if (OrvTestRunShell(Quote(htpasswd) + " -bc " + Quote(dir + "/proxy.htpasswd") +
                        " proxyuser proxypass >/dev/null 2>&1") != 0) {
        error = "cannot make the proxy password file";
        return false;
    }
    chmod((dir + "/proxy.htpasswd").c_str(), 0644);
    WriteText(dir + "/hosts", std::string("127.0.0.1 ") + kOrvTestOriginName + "\n");
    chmod((dir + "/hosts").c_str(), 0644);
    const auto argv = [&]() -> std::vector<std::string> {
        std::string conf;
        for (const char* pszName : {"open", "authport"}) {
            const std::string port = std::to_string(*pszName == 'o' ? m_nOpenPort : m_nAuthPort);
            conf += "http_port 127.0.0.1:" + port + " name=" + pszName + "\n";
            conf += "http_port [::1]:" + port + " name=" + pszName + "6\n";
        }
        conf += "pid_filename " + dir + "/squid.pid\naccess_log stdio:" + dir + "/access.log\n";
        conf += "cache_log " + dir + "/cache.log\n";
        conf += "cache_store_log none\ncache deny all\ncoredump_dir " + dir + "\n";
        conf += "hosts_file " + dir + "/hosts\ndns_nameservers 127.0.0.1\n";
        conf += "netdb_filename none\nshutdown_lifetime 0 seconds\nvisible_hostname orv-proxy\n";
        conf += "buffered_logs off\nforwarded_for delete\nvia off\nstrip_query_terms off\n";
        if (m_bNtlm)
            conf += "auth_param ntlm program " + OrvTestFindProgram("ntlm_fake_auth") + "\n";
        conf += "auth_param basic program " + ncsa + " " + dir + "/proxy.htpasswd\n";
        conf += "auth_param basic realm orv-proxy\n";
        conf += "acl open_port myportname open open6\nacl authed proxy_auth REQUIRED\n";
        conf += "http_access allow open_port\nhttp_access allow authed\nhttp_access deny all\n";
        WriteText(dir + "/squid.conf", conf);
        chmod((dir + "/squid.conf").c_str(), 0644);
        return {squid, "-N", "-f", dir + "/squid.conf"};
    };
    return StartOnFreePorts(m_proc, {&m_nOpenPort, &m_nAuthPort}, argv, dir + "/squid-out.log",
                            "squid did not start; see " + dir + "/cache.log", error);
}

bool OrvTestMicrosocks::Start(const std::string& dir, std::string& error) {
    const std::string prog = OrvTestFindProgram("microsocks");
    if (prog.empty()) {
        error = "microsocks is not installed (package microsocks; run scripts/setup.sh)";
        return false;
    }
    return StartOnFreePorts(
        m_proc, {&m_nPort},
        [&]() -> std::vector<std::string> {
            return {prog, "-i", "127.0.0.1", "-p", std::to_string(m_nPort)};
        },
        dir + "/microsocks.log", "microsocks did not start; see " + dir + "/microsocks.log", error);
}
