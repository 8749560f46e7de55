// The mail sender: quoted-printable encoding of 50 MB of random bytes beside Python's quopri
// module (binascii's C encoder) and coreutils' base64 (for scale), and 200 messages with a 1 MB
// attachment sent to a local SMTP server (aiosmtpd on loopback) beside Python's smtplib sending
// the same messages. The peers run as processes on the same files in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <unistd.h>

#include "orv-mail.h"
#include "orv-test-servers.h"

namespace {

constexpr int kMessages = 200;
std::string s_dir;
std::string s_binary;  // 50 MB
std::string s_binaryFile;
std::string s_attachment;  // 1 MB file
int s_nPort = 0;

void Shell(benchmark::State& state, const std::string& cmd) {
    if (system(cmd.c_str()) != 0)
        state.SkipWithError(("failed: " + cmd).c_str());
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool bOk = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && bOk;
}

void BM_OrvQuotedPrintable(benchmark::State& state) {
    for (auto _ : state) {
        COrvStringA out;
        COrvError err;
        if (!OrvQuotedPrintableEncode(s_binary.data(), s_binary.size(), out, err)) {
            state.SkipWithError(err.Text().GetString());
            return;
        }
        benchmark::DoNotOptimize(out.GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_binary.size()));
}

void BM_PythonQuopri(benchmark::State& state) {
    for (auto _ : state)
        Shell(state,
              "/usr/bin/python3 -c \"import quopri,sys; "
              "quopri.encodestring(open(sys.argv[1],'rb').read())\" " +
                  s_binaryFile);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_binary.size()));
}

void BM_CoreutilsBase64(benchmark::State& state) {
    for (auto _ : state)
        Shell(state, "base64 " + s_binaryFile + " >/dev/null");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_binary.size()));
}

void BM_OrvSendMail(benchmark::State& state) {
    OrvMailSettings settings;
    settings.strSmtpServer = "127.0.0.1";
    settings.nPort = s_nPort;
    settings.strSenderEmail = "bench@orv-mail.test";
    OrvMailMessage msg;
    msg.strRecipients = "to@orv-mail.test";
    msg.strSubject = "bench";
    msg.strBody = "one megabyte attached\n";
    msg.attachments.Add(s_attachment.c_str());
    for (auto _ : state) {
        for (int i = 0; i < kMessages; ++i) {
            COrvError err;
            if (!OrvSendMail(settings, msg, err)) {
                state.SkipWithError(err.Text().GetString());
                return;
            }
        }
    }
    state.counters["msgs/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kMessages, benchmark::Counter::kIsRate);
}

void BM_PythonSmtplib(benchmark::State& state) {
    const std::string script = s_dir + "/send.py";
    WriteFile(script,
              "import smtplib, sys\n"
              "from email.message import EmailMessage\n"
              "port, path, n = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])\n"
              "for i in range(n):\n"
              "    m = EmailMessage()\n"
              "    m['From'] = 'bench@orv-mail.test'\n"
              "    m['To'] = 'to@orv-mail.test'\n"
              "    m['Subject'] = 'bench'\n"
              "    m.set_content('one megabyte attached\\n')\n"
              "    m.add_attachment(open(path, 'rb').read(), maintype='application',\n"
              "                     subtype='octet-stream', filename='one.bin')\n"
              "    with smtplib.SMTP('127.0.0.1', port) as s:\n"
              "        s.send_message(m)\n");
    for (auto _ : state)
        Shell(state, "/usr/bin/python3 " + script + " " + std::to_string(s_nPort) + " " +
                         s_attachment + " " + std::to_string(kMessages));
    state.counters["msgs/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kMessages, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_OrvQuotedPrintable)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_PythonQuopri)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CoreutilsBase64)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_OrvSendMail)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_PythonSmtplib)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    char szDir[] = "/tmp/orv-bench-mail-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    s_dir = szDir;
    std::mt19937 rng(35);
    s_binary.resize(50 * 1000 * 1000);
    for (char& c : s_binary)
        c = static_cast<char>(rng());
    s_binaryFile = s_dir + "/binary.bin";
    s_attachment = s_dir + "/one.bin";
    if (!WriteFile(s_binaryFile, s_binary) ||
        !WriteFile(s_attachment, s_binary.substr(0, 1000 * 1000)))
        return 1;
    OrvTestProcess server;
    std::string error;
    if (!server.Start(
            {"/usr/bin/python3", ORV_SMTP_PEER_SCRIPT, "serve", s_dir, "--discard", "none", "none"},
            s_dir + "/server.log", error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    for (int i = 0; i < 2000 && s_nPort == 0; ++i) {
        const std::string out = server.Output();
        const size_t iPort = out.find("PORT ");
        if (iPort != std::string::npos)
            s_nPort = atoi(out.c_str() + iPort + 5);
        else
            usleep(10000);
    }
    if (s_nPort == 0) {
        fprintf(stderr, "the SMTP server did not start (python3-aiosmtpd?)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.Stop();
    const std::string cmd = "rm -rf '" + s_dir + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
