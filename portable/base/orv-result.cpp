// Library result codes for Windows system error numbers (a pure table, kept for a Windows half).
#include "orv-result.h"

int OrvResultFromWinError(long nWinError) {
    switch (nWinError) {
        case 112:  // ERROR_DISK_FULL
            return enNetResources;
        case 53:    // ERROR_BAD_NETPATH
        case 55:    // ERROR_DEV_NOT_EXIST
        case 64:    // ERROR_NETNAME_DELETED
        case 121:   // ERROR_SEM_TIMEOUT
        case 1231:  // ERROR_NETWORK_UNREACHABLE
            return enNetConnection;
        case 5:     // ERROR_ACCESS_DENIED
        case 86:    // ERROR_INVALID_PASSWORD
        case 1272:  // ERROR_NO_SUCH_LOGON_SESSION (insecure guest logon blocked)
        case 1307:  // ERROR_INVALID_OWNER
        case 1312:  // ERROR_NO_SUCH_LOGON_SESSION
        case 1314:  // ERROR_PRIVILEGE_NOT_HELD
        case 1326:  // ERROR_LOGON_FAILURE
        case 2202:  // ERROR_BAD_USERNAME
            return enNetAccessDenied;
        case 32:  // ERROR_SHARING_VIOLATION
        case 33:  // ERROR_LOCK_VIOLATION
            return enNetSharing;
        case 2:   // ERROR_FILE_NOT_FOUND
        case 3:   // ERROR_PATH_NOT_FOUND
        case 18:  // ERROR_NO_MORE_FILES
            return enNetNotFound;
        case 21:  // ERROR_NOT_READY
            return enNetNotReady;
        case 145:  // ERROR_DIR_NOT_EMPTY
            return enNetFolderNotEmpty;
        case 183:  // ERROR_ALREADY_EXISTS
            return enNetAlreadyExists;
        case 1223:  // ERROR_CANCELLED
            return enNetCancelled;
        default:
            return enNetBadRequest;
    }
}
