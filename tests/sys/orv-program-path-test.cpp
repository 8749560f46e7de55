// Tests of OrvGetExecutablePath: the real path, paths longer than the first buffer, failures.
#include "orv-program-path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "orv-sys.h"
#include "support/orv-test-support.h"

namespace {

const auto& Str = OrvStr;

// readlink cuts a result at the buffer's size without saying so: a path of exactly that size or
// longer must make the buffer grow instead of coming back cut.
TEST(ExecutablePath, LongPathsGrowTheBuffer) {
    OrvSysScope scope;
    static std::string s_target;
    g_orv_sys.readlink = [](const char*, char* pBuf, size_t nLen) -> long {
        const size_t n = s_target.size() < nLen ? s_target.size() : nLen;
        std::memcpy(pBuf, s_target.data(), n);
        return static_cast<long>(n);
    };
    for (size_t nLen : {size_t{255}, size_t{256}, size_t{5000}}) {
        s_target = "/" + std::string(nLen - 1, 'p');
        COrvStringA strPath;
        COrvError error;
        ASSERT_TRUE(OrvGetExecutablePath(strPath, error)) << nLen;
        EXPECT_EQ(Str(strPath), s_target) << nLen;
    }
}

}  // namespace
