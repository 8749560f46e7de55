#include <dlfcn.h>

#include <cstring>

#include "orv-shared-library.h"

COrvSharedLibrary::COrvSharedLibrary(const char* pszFileName, const SOrvLibraryFunction* pFunctions,
                                     size_t nFunctions)
    : m_pszDefaultName(pszFileName),
      m_pszFileName(pszFileName),
      m_pFunctions(pFunctions),
      m_nFunctions(nFunctions) {}

void COrvSharedLibrary::SetFileName(const char* pszFileName) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pszFileName = pszFileName != nullptr ? pszFileName : m_pszDefaultName;
}

bool COrvSharedLibrary::Load(COrvError& err) {
    if (IsLoaded())
        return true;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (IsLoaded())
        return true;
    // RTLD_LOCAL: the library's symbols serve only the table, never other lookups of the process.
    void* pHandle = dlopen(m_pszFileName, RTLD_NOW | RTLD_LOCAL);
    if (pHandle == nullptr) {
        const char* pszWhy = dlerror();
        COrvStringA sText("Cannot load ");
        sText += pszWhy != nullptr ? pszWhy : m_pszFileName;
        return err.Set(enNetNotFound, sText);
    }
    for (size_t i = 0; i < m_nFunctions; ++i) {
        void* pAddress = dlsym(pHandle, m_pFunctions[i].pszName);
        if (pAddress == nullptr) {
            for (size_t j = 0; j < m_nFunctions; ++j)
                std::memset(m_pFunctions[j].pSlot, 0, sizeof(void*));
            dlclose(pHandle);
            return err.SetFormat(enNetNotFound, "Cannot load %s: function %s is missing",
                                 m_pszFileName, m_pFunctions[i].pszName);
        }
        // The variable is a function pointer of the same size: copied, not cast, since an
        // object pointer cannot be converted to a function pointer portably.
        std::memcpy(m_pFunctions[i].pSlot, &pAddress, sizeof pAddress);
    }
    m_bLoaded.store(true, std::memory_order_release);
    return true;
}
