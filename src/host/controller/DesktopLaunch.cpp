#include "host/controller/DesktopLaunch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/PosixSpawn.h"

namespace orvanta::host {

std::expected<std::string, std::string> desktopExec(const std::filesystem::path& entry) {
    std::ifstream file(entry);
    if (!file) return std::unexpected("cannot read " + entry.string());
    bool mainGroup = false;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with('[')) {
            mainGroup = line == "[Desktop Entry]";
        } else if (mainGroup && line.starts_with("Exec=")) {
            return line.substr(5);
        }
    }
    return std::unexpected("no Exec line in " + entry.string());
}

std::expected<std::vector<std::string>, std::string> execArguments(std::string_view exec) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < exec.size()) {
                current += exec[++i];
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = inArgument = true;
        } else if (c == ' ' || c == '\t') {
            if (inArgument) arguments.push_back(std::exchange(current, {}));
            inArgument = false;
        } else if (c == '%' && i + 1 < exec.size()) {
            // A field code stands for files or URLs this launch does not pass; "%%" is a percent.
            if (exec[++i] == '%') current += '%';
            inArgument = inArgument || exec[i] == '%';
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (quoted) return std::unexpected("unbalanced quote in \"" + std::string(exec) + "\"");
    if (inArgument) arguments.push_back(std::move(current));
    if (arguments.empty()) return std::unexpected("no program in \"" + std::string(exec) + "\"");
    return arguments;
}

std::filesystem::path launchOutputFile() {
    // The base-directory convention ignores a relative XDG_STATE_HOME.
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const std::filesystem::path base = state && state[0] == '/' ? std::filesystem::path(state)
                                       : home && home[0] == '/' ? std::filesystem::path(home) / ".local/state"
                                                                : std::filesystem::temp_directory_path();
    return base / "orvanta" / "applications.log";
}

namespace {

constexpr off_t kMaxOutputBytes = 1 << 20;  // beyond it the next launch starts the file afresh

int openOutput(const std::filesystem::path& output) {
    std::error_code ignored;
    std::filesystem::create_directories(output.parent_path(), ignored);
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    struct stat status {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && status.st_size > kMaxOutputBytes) (void)::ftruncate(fd, 0);
    return fd;
}

}  // namespace

std::expected<pid_t, std::string> spawnProgram(const std::vector<std::string>& arguments,
                                               const std::filesystem::path& output) {
    if (arguments.empty()) return std::unexpected("no program");
    platform::PosixSpawn setup(POSIX_SPAWN_SETSID);  // not tied to the host's terminal
    setup.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    const int out = openOutput(output);
    if (out >= 0) {
        setup.dup2(out, STDOUT_FILENO);
        setup.dup2(out, STDERR_FILENO);
    } else {
        setup.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
        setup.open(STDERR_FILENO, "/dev/null", O_WRONLY);
    }
    const auto child = setup.spawn(arguments, true);
    if (out >= 0) ::close(out);
    if (!child) return std::unexpected(arguments.front() + ": " + std::strerror(child.error()));
    // Nothing else tells the host when an application it started ends: a thread per child waits.
    try {
        std::thread([pid = *child] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Out of threads: the application runs all the same, and stays a zombie once it ends.
    }
    return *child;
}

std::set<pid_t> processFamily(const std::set<pid_t>& roots) {
    std::multimap<pid_t, pid_t> children;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc", std::filesystem::directory_options::skip_permission_denied)) {
        const auto name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        // "pid (command) state ppid ...": the command may hold spaces and parentheses.
        const auto close = text.rfind(')');
        if (close == std::string::npos || close + 4 >= text.size()) continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(text.c_str() + close + 2, "%c %ld", &state, &parent) != 2 || state == 'Z') continue;
        children.emplace(static_cast<pid_t>(parent), static_cast<pid_t>(std::stol(name)));
    }
    std::set<pid_t> family;
    for (const pid_t root : roots) {
        if (::kill(root, 0) == 0 || errno == EPERM) family.insert(root);
    }
    std::vector<pid_t> pending(roots.begin(), roots.end());
    while (!pending.empty()) {
        const pid_t parent = pending.back();
        pending.pop_back();
        for (auto [it, end] = children.equal_range(parent); it != end; ++it) {
            if (family.insert(it->second).second) pending.push_back(it->second);
        }
    }
    return family;
}

}  // namespace orvanta::host
