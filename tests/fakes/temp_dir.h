// A fresh directory under the test's build folder, removed at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kelvex::testing {

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& prefix = "sim")
    {
        std::string pattern = std::string(KELVEX_TEST_BINARY_DIR) + "/" + prefix + ".XXXXXX";
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

}  // namespace kelvex::testing
