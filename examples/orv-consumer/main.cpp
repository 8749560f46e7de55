// Splits the URL given as its argument with orv-lib and prints its parts, formatted with the
// library's printf engine; exit status 1 with the reason when the URL cannot be read.
#include <cstdio>

#include "orv-error.h"
#include "orv-string.h"
#include "orv-url.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orv-consumer URL\n");
        return 2;
    }
    COrvUrl url;
    COrvError err;
    if (!url.Crack(argv[1], -1, err)) {
        std::fprintf(stderr, "orv-consumer: %s\n", static_cast<const char*>(err.Text()));
        return 1;
    }
    COrvStringA line;
    if (!line.Format("scheme=%s host=%s port=%d path=%s", url.GetSchemeName(), url.GetHostName(),
                     url.GetPort(), url.GetUrlPath())) {
        return 1;
    }
    std::printf("%s\n", static_cast<const char*>(line));
    return 0;
}
