// Files for tests: a fresh directory per test, removed with its contents when the test ends, and
// whole-file reads and writes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace orvanta::testing {

class TempDir {
public:
    // Named after the process and the running test, so parallel test processes never share one.
    explicit TempDir(std::string_view purpose = "test") {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("orvanta-" + std::string(purpose) + "-" + std::to_string(::getpid()) + "-" +
                 (test ? std::string(test->test_suite_name()) + "." + test->name() : std::string("global")));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::filesystem::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

// An executable /bin/sh script with `body` after the interpreter line.
inline std::string writeScript(const std::filesystem::path& path, std::string_view body) {
    writeFile(path, "#!/bin/sh\n" + std::string(body) + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

}  // namespace orvanta::testing
