#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/PosixProcessRunner.h"
#include "support/TempDir.h"

namespace orvanta::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProcessRunnerTest : public ::testing::Test {
protected:
    std::string script(const std::string& name, const std::string& body) {
        return orvanta::testing::writeScript(dir_ / name, body);
    }

    static std::string text(const ProcessResult& result) { return std::string(base::asText(result.output)); }

    // True when `pid` is no child of ours any more: reaped, not left as a zombie.
    static bool reaped(pid_t pid) {
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
    }

    pid_t readPid(const std::string& name) const {
        std::ifstream in(dir_ / name);
        pid_t pid = 0;
        in >> pid;
        return pid;
    }

    orvanta::testing::TempDir temp_{"process"};
    fs::path dir_ = temp_.path();
    PosixProcessRunner runner_;
};

TEST_F(ProcessRunnerTest, CollectsStandardOutputAndTheExitStatus) {
    struct Case {
        const char* body;
        std::optional<int> exitCode;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"echo out; echo err >&2", 0, "out\n"},
        {"printf 'partial'; exit 3", 3, "partial"},
        {"cat; echo done", 0, "done\n"},  // standard input is empty, never the test's own
        {"echo before; kill -TERM $$", std::nullopt, "before\n"},
        {"head -c 300000 /dev/zero", 0, std::string(300000, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        auto result = runner_.run({script("tool", c.body), {}, 5s, 1 << 20});
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->exitCode, c.exitCode);
        EXPECT_EQ(text(*result), c.output);
    }
}

TEST_F(ProcessRunnerTest, PassesArgumentsUnchanged) {
    auto result =
        runner_.run({script("tool", "for a in \"$@\"; do echo \"[$a]\"; done"), {"status", "--json", "a b", ""}});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(text(*result), "[status]\n[--json]\n[a b]\n[]\n");
}

TEST_F(ProcessRunnerTest, ReportsToolsThatCannotStart) {
    const fs::path plain = dir_ / "plain";
    std::ofstream(plain) << "#!/bin/sh\necho hi\n";
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    struct Case {
        std::string path;
        int error;
    };
    const std::vector<Case> cases = {
        {(dir_ / "missing").string(), ENOENT}, {plain.string(), EACCES}, {dir_.string(), EACCES}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto result = runner_.run({c.path, {}});
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), (ProcessError{ProcessError::Kind::cannotStart, c.path, c.error}));
    }
}

TEST_F(ProcessRunnerTest, KillsAndReapsAToolThatOutlivesItsLimit) {
    struct Case {
        const char* what;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"hangs", "echo $$ > " + (dir_ / "pid").string() + "; echo partial; exec sleep 30"},
        {"closes its output and keeps running", "echo $$ > " + (dir_ / "pid").string() + "; exec >&-; exec sleep 30"},
        {"leaves a child holding the output",
         "echo $$ > " + (dir_ / "pid").string() + "; (sleep 30; echo late) & exit 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto result = runner_.run({script("tool", c.body), {}, 300ms});
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, ProcessError::Kind::timedOut);
        const pid_t pid = readPid("pid");
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(reaped(pid));
    }
}

TEST_F(ProcessRunnerTest, StopsAToolThatPrintsTooMuch) {
    const std::string tool = script("tool", "echo $$ > " + (dir_ / "pid").string() + "; exec cat /dev/zero");
    auto result = runner_.run({tool, {}, 5s, 100000});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ProcessError::Kind::outputTooLarge);
    EXPECT_TRUE(reaped(readPid("pid")));
}

}  // namespace
}  // namespace orvanta::platform
