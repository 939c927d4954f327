// The processes an application started from here runs as. Launchers often exit at once or hand
// over to a running instance, so a launch is followed as its process and every descendant.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>

namespace orvanta::platform {

// The living processes among `roots` and every living descendant of them.
std::set<pid_t> processFamily(const std::set<pid_t>& roots);

// Launches followed over time. Descendants are remembered across looks: a launcher's child
// outlives it, reparented elsewhere.
class LaunchedProcesses {
public:
    // The living processes of the launch whose process was `root`.
    std::set<pid_t> living(pid_t root);
    // Forgets the launches none of whose processes live any more.
    void forgetEnded();

private:
    std::map<pid_t, std::set<pid_t>> families_;  // every process seen in a living launch's family
};

}  // namespace orvanta::platform
