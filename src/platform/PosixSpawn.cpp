#include "platform/PosixSpawn.h"

#include <signal.h>
#include <unistd.h>

extern char** environ;

namespace orvanta::platform {

PosixSpawn::PosixSpawn(short flags) {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
    // The host blocks the signals it waits for in every thread; a child must not inherit that.
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    ::posix_spawnattr_setsigdefault(&attributes_, &all);
    ::posix_spawnattr_setflags(&attributes_,
                               static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
}

PosixSpawn::~PosixSpawn() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
}

void PosixSpawn::open(int fd, const char* path, int flags) {
    ::posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0);
}

void PosixSpawn::dup2(int from, int to) { ::posix_spawn_file_actions_adddup2(&actions_, from, to); }

std::expected<pid_t, int> PosixSpawn::spawn(const std::vector<std::string>& arguments, bool searchPath) {
    if (arguments.empty()) return std::unexpected(EINVAL);
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // Last, so that descriptors the actions above duplicate from are still open for them.
    ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
    pid_t child = 0;
    const int status = searchPath ? ::posix_spawnp(&child, argv[0], &actions_, &attributes_, argv.data(), environ)
                                  : ::posix_spawn(&child, argv[0], &actions_, &attributes_, argv.data(), environ);
    if (status != 0) return std::unexpected(status);
    return child;
}

}  // namespace orvanta::platform
