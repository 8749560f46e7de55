#include "orv-test-support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

OrvTempDir::OrvTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orv-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr) << "cannot create a temporary folder";
    m_path = tmpl;
}

OrvTempDir::~OrvTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string OrvReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool OrvWriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}
