#include "host/transport/Support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/ManualExecutor.h"
#include "support/TempDir.h"

namespace orvanta::host {
namespace {

namespace fs = std::filesystem;

using orvanta::testing::readFile;

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { outFd_ = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600); }
    void TearDown() override { ::close(outFd_); }

    orvanta::testing::TempDir temp_{"log"};
    fs::path dir_ = temp_.path();
    fs::path out_ = dir_ / "stdout";
    int outFd_ = -1;
};

TEST(LogFormat, StampsLocalTimeWithMilliseconds) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    using namespace std::chrono;
    const sys_days day = 2026y / December / 9;
    EXPECT_EQ(Logger::formatLine(day + 14h + 3min + 7s + 250ms, "hello"), "14:03:07.250 hello\n");
    EXPECT_EQ(Logger::formatLine(day + 7ms, "a\nb"), "00:00:00.007 a\nb\n");
}

TEST(LogField, EscapesWhatCouldEndTheLineAndCutsLongText) {
    const std::string longText(Log::kMaxFieldBytes + 50, 'a');
    const struct {
        const char* name;
        std::string text;
        std::string field;
    } cases[] = {
        {"plain", "move", "move"},
        {"Japanese", "日本語", "日本語"},
        {"a forged line", "move\n12:00:00.000 paired device x", "move\\u{A}12:00:00.000 paired device x"},
        {"carriage return and tab", "a\rb\tc", "a\\u{D}b\\u{9}c"},
        {"NUL and DEL", std::string("a\0b\x7F", 4), "a\\u{0}b\\u{7F}"},
        {"C1 next line", "a\u0085b", "a\\u{85}b"},
        {"line separator", "a\u2028b", "a\\u{2028}b"},
        {"not UTF-8", "a\xFF\xC3", "a\\xFF\\xC3"},
        {"long", longText, std::string(Log::kMaxFieldBytes, 'a') + "…(250 bytes)"},
    };
    for (const auto& c : cases) EXPECT_EQ(Log::field(c.text), c.field) << c.name;
}

TEST_F(LoggerTest, WritesTheSameLinesToOutputAndFileInOrder) {
    const fs::path file = dir_ / "host.log";
    {
        Logger logger(file, outFd_);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < 50; ++i) logger.info("thread " + std::to_string(t) + " line " + std::to_string(i));
            });
        }
        for (auto& thread : threads) thread.join();
    }
    const std::string logged = readFile(file);
    EXPECT_EQ(logged, readFile(out_));
    std::istringstream lines(logged);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_GE(line.size(), 13u);
        EXPECT_EQ(line[12], ' ');
        EXPECT_EQ(line.substr(13, 7), "thread ");
    }
    EXPECT_EQ(count, 200);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(LoggerTest, AppendsToAnExistingFile) {
    const fs::path file = dir_ / "host.log";
    std::ofstream(file) << "earlier\n";
    Logger(file, outFd_).info("later");
    EXPECT_TRUE(readFile(file).starts_with("earlier\n"));
    EXPECT_TRUE(readFile(file).ends_with(" later\n"));
}

TEST_F(LoggerTest, NeverFollowsASymbolicLink) {
    const fs::path target = dir_ / "target";
    std::ofstream(target) << "untouched";
    fs::create_symlink(target, dir_ / "link.log");
    Logger(dir_ / "link.log", outFd_).info("only to output");
    EXPECT_EQ(readFile(target), "untouched");
    EXPECT_TRUE(readFile(out_).ends_with(" only to output\n"));
}

TEST_F(LoggerTest, NeverBlocksOnAPipeInPlaceOfTheFile) {
    const fs::path pipe = dir_ / "pipe.log";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    for (bool withReader : {false, true}) {
        const int reader = withReader ? ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        Logger logger(pipe, outFd_);
        logger.info("first");
        logger.info("second");
        EXPECT_TRUE(readFile(out_).ends_with(" second\n"));
        if (reader >= 0) {
            char byte;
            EXPECT_LE(::read(reader, &byte, 1), 0);  // the pipe got nothing
            ::close(reader);
        }
    }
}

// A buffer that notes, as it goes, whether the secret it held was wiped before.
struct SecretBuffer {
    SecretBuffer(std::string text, std::shared_ptr<bool> wiped) : bytes(std::move(text)), wipedAtEnd(std::move(wiped)) {}
    SecretBuffer(SecretBuffer&&) = default;
    ~SecretBuffer() {
        if (wipedAtEnd) *wipedAtEnd = std::ranges::all_of(bytes, [](char c) { return c == 0; });
    }
    char* data() { return bytes.data(); }
    std::size_t size() const { return bytes.size(); }
    bool empty() const { return bytes.empty(); }

    std::string bytes;
    std::shared_ptr<bool> wipedAtEnd;
};

TEST(Secret, AHeldSecretIsWipedWhetherItsTaskRunsOrIsDropped) {
    for (const bool runs : {true, false}) {
        auto wiped = std::make_shared<bool>(false);
        {
            testing::ManualExecutor queue;
            auto secret = Secret::wipedOnRelease(SecretBuffer("a long enough password", wiped));
            queue.async([secret] {});
            secret.reset();
            if (runs) {
                queue.runUntilIdle();
            } else {
                queue.stop();
            }
        }
        EXPECT_TRUE(*wiped) << (runs ? "ran" : "dropped");
    }
}

TEST(Secret, DrawsAndComparesBytes) {
    EXPECT_TRUE(Secret::randomBytes(0).empty());
    EXPECT_EQ(Secret::randomBytes(32).size(), 32u);
    EXPECT_TRUE(Secret::constantTimeEqual({}, {}));
    EXPECT_FALSE(Secret::constantTimeEqual(base::Bytes{1}, base::Bytes{1, 0}));
    EXPECT_FALSE(Secret::constantTimeEqual(base::Bytes{1, 2, 3}, base::Bytes{1, 2, 4}));
}

}  // namespace
}  // namespace orvanta::host
