#include "host/controller/DesktopLaunch.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <utility>

extern char** environ;

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

std::expected<pid_t, std::string> spawnProgram(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);  // not tied to the host's terminal
    pid_t child = 0;
    const int status = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) return std::unexpected(arguments[0] + ": " + std::strerror(status));
    return child;
}

bool exited(pid_t child) {
    int status = 0;
    const pid_t reaped = ::waitpid(child, &status, WNOHANG);
    return reaped == child || (reaped < 0 && errno == ECHILD && ::kill(child, 0) != 0);
}

std::set<pid_t> processFamily(pid_t root) {
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
    if (::kill(root, 0) == 0 || errno == EPERM) family.insert(root);
    std::vector<pid_t> pending{root};
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
