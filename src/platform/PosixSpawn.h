// Starting a child process of the host: its signals unblocked and at their defaults, its standard
// descriptors as the caller sets them, and no other descriptor of the host's, whether or not the
// code that opened it asked for close-on-exec.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <expected>
#include <string>
#include <vector>

namespace orvanta::platform {

class PosixSpawn {
public:
    // `flags`: posix_spawn flags beyond the signal settings (POSIX_SPAWN_SETSID, POSIX_SPAWN_SETPGROUP ...).
    explicit PosixSpawn(short flags = 0);
    ~PosixSpawn();
    PosixSpawn(const PosixSpawn&) = delete;
    PosixSpawn& operator=(const PosixSpawn&) = delete;

    // The child's `fd` opened on `path`.
    void open(int fd, const char* path, int flags);
    // The child's `to` is the host's `from`.
    void dup2(int from, int to);
    // Starts `arguments[0]` with the arguments, looked up on PATH when `searchPath`; the child's pid,
    // or the error number. Call it once.
    std::expected<pid_t, int> spawn(const std::vector<std::string>& arguments, bool searchPath);

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

}  // namespace orvanta::platform
