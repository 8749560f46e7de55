// Extracts arbitrary bytes as a zip archive into a scratch folder. Whatever the archive holds,
// nothing may appear beside the scratch folder (in its parent or in a sibling folder), a failure
// must come with a text, and the run must not crash.
#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz-check.h"
#include "orv-error.h"
#include "orv-zip-os.h"

namespace {

std::string s_base;

int RemoveItem(const char* pszPath, const struct stat*, int, struct FTW*) {
    return remove(pszPath);
}

// The names in a folder, sorted into one text.
std::string Names(const std::string& folder) {
    std::string s;
    DIR* d = opendir(folder.c_str());
    Check(d != nullptr);
    while (const struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            s += std::string(e->d_name) + "\n";
    closedir(d);
    return s;
}

void RemoveBase() {
    (void)nftw(s_base.c_str(), RemoveItem, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (s_base.empty()) {
        char szTemplate[] = "/tmp/fuzz-unzip-XXXXXX";
        Check(mkdtemp(szTemplate) != nullptr);
        s_base = szTemplate;
        Check(mkdir((s_base + "/sibling").c_str(), 0755) == 0);
        atexit(RemoveBase);
    }
    const std::string target = s_base + "/target";
    Check(mkdir(target.c_str(), 0755) == 0);
    const int fd = memfd_create("archive", MFD_CLOEXEC);
    Check(fd >= 0 && write(fd, pData, nSize) == static_cast<ssize_t>(nSize));
    COrvError err;
    if (!OrvUnzipFromFd(fd, "fuzz.zip", target.c_str(), err, "pw"))
        Check(err.Failed() && !err.Text().IsEmpty());
    close(fd);
    Check(Names(s_base) == "sibling\ntarget\n" || Names(s_base) == "target\nsibling\n");
    Check(Names(s_base + "/sibling").empty());
    Check(nftw(target.c_str(), RemoveItem, 16, FTW_DEPTH | FTW_PHYS) == 0);
    return 0;
}
