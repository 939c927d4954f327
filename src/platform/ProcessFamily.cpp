#include "platform/ProcessFamily.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace orvanta::platform {

namespace {

// Every living process by its parent, from /proc.
std::multimap<pid_t, pid_t> childrenByParent() {
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
    return children;
}

}  // namespace

std::set<pid_t> processFamily(const std::set<pid_t>& roots) {
    const auto children = childrenByParent();
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

std::set<pid_t> LaunchedProcesses::living(pid_t root) {
    auto& known = families_[root];
    known.insert(root);
    auto alive = processFamily(known);
    known.insert(alive.begin(), alive.end());
    return alive;
}

void LaunchedProcesses::forgetEnded() {
    std::erase_if(families_, [](const auto& family) { return processFamily(family.second).empty(); });
}

}  // namespace orvanta::platform
