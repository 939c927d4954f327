// Which TCP sockets a process holds, from the kernel's tables under /proc: for tests that check
// that a listener or a session does not leak into another process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace orvanta::testing {

// The inodes of the TCP sockets, IPv4 and IPv6, whose local port is `port`.
inline std::set<std::string> tcpSocketInodes(std::uint16_t port) {
    std::set<std::string> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream rows(table);
        std::string line;
        std::getline(rows, line);  // the heading
        while (std::getline(rows, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            const auto colon = local.rfind(':');
            if (inode == "0" || colon == std::string::npos) continue;
            if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) inodes.insert(inode);
        }
    }
    return inodes;
}

// The descriptors of process `pid` ("self" for this one) that are sockets among `inodes`.
inline std::vector<int> socketDescriptors(const std::string& pid, const std::set<std::string>& inodes) {
    std::vector<int> descriptors;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error)) {
        std::error_code ignored;
        const auto target = std::filesystem::read_symlink(entry, ignored).string();
        if (target.starts_with("socket:[") && inodes.contains(target.substr(8, target.size() - 9)))
            descriptors.push_back(std::stoi(entry.path().filename().string()));
    }
    return descriptors;
}

}  // namespace orvanta::testing
