#include "host/desktop/WindowOwner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace orvanta::host {
namespace {

// A child that stops itself; killed and reaped when the test ends.
class StoppedChild {
public:
    StoppedChild() {
        pid_ = fork();
        if (pid_ == 0) {
            raise(SIGSTOP);
            for (;;) pause();
        }
        int status = 0;
        waitpid(pid_, &status, WUNTRACED);
    }
    ~StoppedChild() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    bool running() const {
        int status = 0;
        return waitpid(pid_, &status, WCONTINUED | WNOHANG) == pid_ && WIFCONTINUED(status);
    }

private:
    pid_t pid_ = -1;
};

TEST(WindowOwnerTest, ResumesAStoppedOwnerButNotAnotherProcessWithItsPid) {
    StoppedChild child;
    auto owner = WindowOwner::of(child.pid());
    ASSERT_TRUE(owner.startTime);
    std::vector<std::string> lines;
    auto log = [&](std::string_view line) { lines.emplace_back(line); };

    auto impostor = owner;
    impostor.startTime->seconds += 1;
    impostor.resumeIfStopped("Edit", log);
    EXPECT_FALSE(child.running());
    EXPECT_TRUE(lines.empty());

    owner.resumeIfStopped("Edit", log);
    EXPECT_TRUE(child.running());
    EXPECT_EQ(lines,
              (std::vector<std::string>{"window fit: resumed stopped app Edit pid " + std::to_string(child.pid())}));
}

TEST(WindowOwnerTest, NoStartTimeForInitOrOurselves) {
    EXPECT_FALSE(WindowOwner::of(1).startTime);
    EXPECT_FALSE(WindowOwner::of(getpid()).startTime);
    EXPECT_TRUE(WindowOwner::of(getppid()).startTime);
    EXPECT_NE(WindowOwner::of(getppid()), (WindowOwner{getppid(), WindowOwner::StartTime{0, 0}}));
}

}  // namespace
}  // namespace orvanta::host
