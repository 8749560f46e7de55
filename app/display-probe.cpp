#include "display-probe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool VexilDisplayAvailable(int* pfdHeld) {
    if (pfdHeld != nullptr) {
        *pfdHeld = -1;
    }
    const char* pszPlatform = std::getenv("QT_QPA_PLATFORM");
    if (pszPlatform != nullptr && *pszPlatform != 0) {
        return true;
    }
    const char* pszWayland = std::getenv("WAYLAND_DISPLAY");
    if (pszWayland != nullptr && *pszWayland != 0) {
        return true;
    }
    const char* pszDisplay = std::getenv("DISPLAY");
    if (pszDisplay == nullptr || *pszDisplay == 0) {
        return false;
    }
    // ":N" and "unix:N" name a local server: probe its socket, since Qt ends the process when it
    // cannot connect. Other forms (host:N) are left to Qt.
    const char* pszLocal = pszDisplay;
    if (std::strncmp(pszLocal, "unix:", 5) == 0) {
        pszLocal += 4;
    }
    if (pszLocal[0] != ':' || pszLocal[1] < '0' || pszLocal[1] > '9') {
        return true;
    }
    const int nDisplay = std::atoi(pszLocal + 1);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "/tmp/.X11-unix/X%d", nDisplay);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return true;
    }
    int nResult = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (nResult != 0) {
        // the server may listen in the abstract namespace only
        sockaddr_un abstract = addr;
        abstract.sun_path[0] = 0;
        std::memcpy(abstract.sun_path + 1, addr.sun_path, sizeof(abstract.sun_path) - 1);
        const socklen_t nLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                                      std::strlen(addr.sun_path));
        nResult = connect(fd, reinterpret_cast<sockaddr*>(&abstract), nLen);
    }
    if (nResult == 0 && pfdHeld != nullptr) {
        *pfdHeld = fd;
        return true;
    }
    close(fd);
    return nResult == 0;
}
