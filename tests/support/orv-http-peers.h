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
        return system(cmd.c_str()) == 0 || Fail("openssl req failed (package openssl): " +
                                                OrvReadFileBytes(m_dir.File("openssl.log")));
    }

    // Writes a file of the document root (created on first use).
    bool WriteDoc(const std::string& name, const std::string& bytes) {
        mkdir(m_dir.File("www").c_str(), 0700);
        return OrvWriteFileBytes(m_dir.File("www/" + name), bytes);
    }
    std::string DocPath(const std::string& name) const { return m_dir.File("www/" + name); }

    // Starts nginx with a plain and a TLS server over the document root (the origin of
    // orv-test-servers.h, which puts its own files beside the caller's). False with Error().
    bool StartNginx() { return m_nginx.Start(m_dir.Path(), m_error); }

    // Starts the scripted server. False with Error().
    bool StartScript(const std::string& script) {
        const std::string portFile = m_dir.File("peer.port");
        if (!m_script.Start(
                {"python3", script, portFile, m_dir.File("cert.pem"), m_dir.File("key.pem")},
                m_dir.File("peer.out")))
            return Fail("cannot start python3 (package python3)");
        if (!OrvWaitFor([&] { return !OrvReadFileBytes(portFile).empty(); }, 10000))
            return Fail("the scripted server does not start: " + m_script.Output());
        // The port is written once the server listens.
        m_nScriptPort = atoi(OrvReadFileBytes(portFile).c_str());
        return true;
    }

    int NginxPort() const { return m_nginx.Port(); }
    int NginxTlsPort() const { return m_nginx.TlsPort(); }
    int ScriptPort() const { return m_nScriptPort; }
    const std::string& Error() const { return m_error; }
    const OrvTempDir& Dir() const { return m_dir; }

private:
    bool Fail(const std::string& s) {
        m_error = s;
        return false;
    }

    OrvTempDir m_dir;
    OrvTestNginx m_nginx;
    OrvPeerProcess m_script;
    int m_nScriptPort = 0;
    std::string m_error;
};
