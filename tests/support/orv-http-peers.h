// HTTP peers of the client suites and benchmarks, on 127.0.0.1 only: nginx serving static files
// (plain and TLS, gzip, keep-alive) and the scripted server of tests/http/orv-http-peer.py. Config,
// certificates, logs and files live in one temporary folder.
#pragma once

#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "orv-net-test-util.h"
#include "orv-test-support.h"

class OrvHttpPeers {
public:
    // Makes a self-signed certificate for 127.0.0.1 and localhost. False with Error() set.
    bool MakeCertificate() {
        const std::string cmd =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
            "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
            m_dir.File("key.pem") + " -out " + m_dir.File("cert.pem") + " >" +
            m_dir.File("openssl.log") + " 2>&1";
        if (system(cmd.c_str()) != 0)
            return Fail("openssl req failed (package openssl): " +
                        OrvReadFileBytes(m_dir.File("openssl.log")));
        return true;
    }

    // Writes a file of the document root (created on first use).
    bool WriteDoc(const std::string& name, const std::string& bytes) {
        mkdir(m_dir.File("www").c_str(), 0700);
        return OrvWriteFileBytes(m_dir.File("www/" + name), bytes);
    }
    std::string DocPath(const std::string& name) const { return m_dir.File("www/" + name); }

    // Starts nginx with a plain and a TLS server over the document root. False with Error().
    bool StartNginx() {
        if (!OrvHaveProgram("nginx") && access("/usr/sbin/nginx", X_OK) != 0)
            return Fail("nginx is not installed (package nginx)");
        mkdir(m_dir.File("www").c_str(), 0700);
        mkdir(m_dir.File("tmp").c_str(), 0700);
        m_nNginxPort = OrvFreeLoopbackPort();
        m_nNginxTlsPort = OrvFreeLoopbackPort();
        const std::string d = m_dir.Path();
        const std::string conf =
            "worker_processes 1;\nmaster_process off;\ndaemon off;\n"
            "error_log " +
            d + "/nginx-error.log warn;\npid " + d +
            "/nginx.pid;\n"
            "events { worker_connections 256; }\n"
            "http {\n  access_log off;\n"
            "  client_body_temp_path " +
            d + "/tmp/body;\n  proxy_temp_path " + d +
            "/tmp/proxy;\n"
            "  fastcgi_temp_path " +
            d + "/tmp/fcgi;\n  uwsgi_temp_path " + d +
            "/tmp/uwsgi;\n"
            "  scgi_temp_path " +
            d +
            "/tmp/scgi;\n"
            "  keepalive_requests 1000000;\n  keepalive_timeout 120s;\n"
            "  sendfile on;\n  tcp_nopush on;\n"
            "  types { text/plain txt; application/octet-stream bin; }\n"
            "  default_type application/octet-stream;\n"
            "  gzip on;\n  gzip_types text/plain;\n  gzip_min_length 20;\n"
            "  server {\n    listen 127.0.0.1:" +
            std::to_string(m_nNginxPort) +
            ";\n"
            "    root " +
            d +
            "/www;\n  }\n"
            "  server {\n    listen 127.0.0.1:" +
            std::to_string(m_nNginxTlsPort) +
            " ssl;\n"
            "    ssl_certificate " +
            d + "/cert.pem;\n    ssl_certificate_key " + d +
            "/key.pem;\n"
            "    root " +
            d + "/www;\n  }\n}\n";
        if (!OrvWriteFileBytes(m_dir.File("nginx.conf"), conf))
            return Fail("cannot write nginx.conf");
        const std::string nginx = OrvHaveProgram("nginx") ? "nginx" : "/usr/sbin/nginx";
        if (!m_nginx.Start(
                {nginx, "-p", d, "-e", d + "/nginx-error.log", "-c", m_dir.File("nginx.conf")},
                m_dir.File("nginx.out")))
            return Fail("cannot start nginx");
        if (!OrvWaitFor(
                [&] {
                    return OrvLoopbackListening(m_nNginxPort) &&
                           OrvLoopbackListening(m_nNginxTlsPort);
                },
                10000))
            return Fail("nginx does not listen: " + m_nginx.Output() +
                        OrvReadFileBytes(m_dir.File("nginx-error.log")));
        return true;
    }

    // Starts the scripted server. False with Error().
    bool StartScript(const std::string& script) {
        if (!OrvHaveProgram("python3"))
            return Fail("python3 is not installed (package python3)");
        const std::string portFile = m_dir.File("peer.port");
        if (!m_script.Start(
                {"python3", script, portFile, m_dir.File("cert.pem"), m_dir.File("key.pem")},
                m_dir.File("peer.out")))
            return Fail("cannot start python3");
        if (!OrvWaitFor([&] { return !OrvReadFileBytes(portFile).empty(); }, 10000))
            return Fail("the scripted server does not start: " + m_script.Output());
        m_nScriptPort = atoi(OrvReadFileBytes(portFile).c_str());
        if (!OrvWaitFor([&] { return OrvLoopbackListening(m_nScriptPort); }, 10000))
            return Fail("the scripted server does not listen");
        return true;
    }

    int NginxPort() const { return m_nNginxPort; }
    int NginxTlsPort() const { return m_nNginxTlsPort; }
    int ScriptPort() const { return m_nScriptPort; }
    const std::string& Error() const { return m_error; }
    const OrvTempDir& Dir() const { return m_dir; }
    std::string CertPath() const { return m_dir.File("cert.pem"); }

private:
    bool Fail(const std::string& s) {
        m_error = s;
        return false;
    }

    OrvTempDir m_dir;
    OrvPeerProcess m_nginx;
    OrvPeerProcess m_script;
    int m_nNginxPort = 0;
    int m_nNginxTlsPort = 0;
    int m_nScriptPort = 0;
    std::string m_error;
};
