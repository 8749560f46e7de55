// A child program for the console pipe's tests: produces the output cases the shell alone cannot
// produce exactly. The first argument selects the case:
//   silent              writes nothing and exits
//   flood N             writes N bytes: lines of the letters a-z, each line 26 letters and LF
//   bytes HEX           writes the bytes given in hexadecimal ("c3a9" ...) and exits
//   split HEX1 HEX2 PATH  writes HEX1, waits until the file PATH exists, writes HEX2 (two
//                       separate reads for the reader, whatever the timing)
//   fds                 writes "FDS" and the numbers of its open descriptors, then LF
//   close-stay          writes "PID <pid>" and LF, closes its output and error, then runs on until
//                       its input ends, and exits a moment later
//   slow N MS           writes N lines "line <i>", one every MS milliseconds
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

bool WriteAll(int fd, const std::string& s) {
    size_t n = 0;
    while (n < s.size()) {
        const ssize_t r = write(fd, s.data() + n, s.size() - n);
        if (r <= 0) {
            return false;
        }
        n += static_cast<size_t>(r);
    }
    return true;
}

std::string FromHex(const char* psz) {
    std::string out;
    for (size_t i = 0; psz[i] && psz[i + 1]; i += 2) {
        const char sz[3] = {psz[i], psz[i + 1], 0};
        out.push_back(static_cast<char>(strtoul(sz, nullptr, 16)));
    }
    return out;
}

// Reads until LF or the end of input; false at the end.
bool ReadLine() {
    char ch;
    for (;;) {
        const ssize_t r = read(0, &ch, 1);
        if (r <= 0) {
            return false;
        }
        if (ch == '\n') {
            return true;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "silent") {
        return 0;
    }
    if (mode == "flood" && argc > 2) {
        const long n = atol(argv[2]);
        std::string s;
        for (long i = 0; i < n; ++i) {
            s.push_back(i % 27 == 26 ? '\n' : static_cast<char>('a' + i % 27));
        }
        return WriteAll(1, s) ? 0 : 1;
    }
    if (mode == "bytes" && argc > 2) {
        return WriteAll(1, FromHex(argv[2])) ? 0 : 1;
    }
    if (mode == "split" && argc > 4) {
        if (!WriteAll(1, FromHex(argv[2]))) {
            return 1;
        }
        while (access(argv[4], F_OK) != 0) {
            usleep(10 * 1000);
        }
        return WriteAll(1, FromHex(argv[3])) ? 0 : 1;
    }
    if (mode == "fds") {
        std::string s = "FDS";
        DIR* pDir = opendir("/proc/self/fd");
        if (!pDir) {
            return 1;
        }
        const int nOwn = dirfd(pDir);
        while (dirent* pEntry = readdir(pDir)) {
            if (pEntry->d_name[0] == '.' || atoi(pEntry->d_name) == nOwn) {
                continue;
            }
            s += " ";
            s += pEntry->d_name;
        }
        closedir(pDir);
        s += "\n";
        return WriteAll(1, s) ? 0 : 1;
    }
    if (mode == "close-stay") {
        WriteAll(1, "PID " + std::to_string(getpid()) + "\n");
        close(1);
        close(2);
        while (ReadLine()) {
        }
        usleep(200 * 1000);
        return 0;
    }
    if (mode == "slow" && argc > 3) {
        const int n = atoi(argv[2]);
        const int nMs = atoi(argv[3]);
        for (int i = 0; i < n; ++i) {
            if (!WriteAll(1, "line " + std::to_string(i) + "\n")) {
                return 1;
            }
            usleep(static_cast<useconds_t>(nMs) * 1000);
        }
        return 0;
    }
    fprintf(stderr, "pipe-child: unknown case\n");
    return 2;
}
