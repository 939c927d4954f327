// Starting an installed application from its desktop entry: the entry's command line split as the
// desktop-entry format quotes it, its field codes removed, and the program spawned directly with no
// shell in between. Launchers often exit at once or hand over to a running instance, so the
// application is followed as the spawned process and its descendants.
#pragma once

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::host {

// The "Exec" value of an entry's main group; the reason when there is none or it cannot be read.
std::expected<std::string, std::string> desktopExec(const std::filesystem::path& entry);
// The program and its arguments, field codes ("%f", "%U", ...) removed and "%%" kept as "%"; the
// reason when the quoting is broken or no program remains.
std::expected<std::vector<std::string>, std::string> execArguments(std::string_view exec);
// The started process, or why it could not start. The child is reaped by `exited`.
std::expected<pid_t, std::string> spawnProgram(const std::vector<std::string>& arguments);
// Reaps the child when it has ended; true once it has.
bool exited(pid_t child);
// The process and every living descendant of it.
std::set<pid_t> processFamily(pid_t root);

}  // namespace orvanta::host
