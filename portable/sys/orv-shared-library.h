// Shared libraries opened on first use: a module that needs a large library only for some of its
// work (an HTTP engine, a proxy lookup) names the library's versioned file name and the functions
// it calls, so that programs which never do that work never load the library, and a machine
// without it gets an error instead of a program that does not start.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "orv-error.h"

// One function of the library: its name and the function-pointer variable that receives its
// address (made with OrvLibraryFunction, which checks that the variable is a pointer).
struct SOrvLibraryFunction {
    const char* pszName;
    void* pSlot;  // the address of a function-pointer variable
};

// Makes the entry for a function-pointer variable.
template <typename TFn>
constexpr SOrvLibraryFunction OrvLibraryFunction(const char* pszName, TFn* pSlot) {
    static_assert(sizeof(TFn) == sizeof(void*), "TFn must be a pointer to a function");
    return SOrvLibraryFunction{pszName, pSlot};
}

// A library loaded once for the process, with its table of functions. The library is never
// unloaded: its functions may still be in use anywhere until the process ends.
class COrvSharedLibrary {
public:
    // pszFileName: the versioned file name the dynamic loader looks for ("libcurl.so.4").
    // pFunctions: nFunctions entries that stay valid as long as the object.
    COrvSharedLibrary(const char* pszFileName, const SOrvLibraryFunction* pFunctions,
                      size_t nFunctions);
    COrvSharedLibrary(const COrvSharedLibrary&) = delete;
    COrvSharedLibrary& operator=(const COrvSharedLibrary&) = delete;

    // Loads the library and fills every function-pointer variable of the table, the first time;
    // later calls return at once. Fails with enNetNotFound and "Cannot load " + the loader's
    // reason (the file name and why) when the library cannot be opened, or "Cannot load FILE:
    // function NAME is missing" when it lacks a function; the variables are then all null, the
    // library is not kept, and the next call tries again. Blocks while another thread loads it.
    // Any thread.
    [[nodiscard]] bool Load(COrvError& err);
    // True once Load has succeeded. Any thread.
    bool IsLoaded() const { return m_bLoaded.load(std::memory_order_acquire); }

    // Test seam: the file name to load instead of the one given at construction (null puts that
    // back). Effective for loads that have not yet succeeded.
    void SetFileName(const char* pszFileName);

private:
    const char* const m_pszDefaultName;
    const char* m_pszFileName;
    const SOrvLibraryFunction* const m_pFunctions;
    const size_t m_nFunctions;
    std::mutex m_mutex;
    std::atomic<bool> m_bLoaded{false};
};
