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
// Where launched programs write: $XDG_STATE_HOME/orvanta/applications.log (~/.local/state when
// unset), not the host's own log.
std::filesystem::path launchOutputFile();
// The started process, or why it could not start: in a session of its own, its output appended to
// `output` (or discarded when that cannot be opened), holding none of the host's descriptors. Its
// end is collected in the background, so it never lingers as a zombie.
std::expected<pid_t, std::string> spawnProgram(const std::vector<std::string>& arguments,
                                               const std::filesystem::path& output);
// The living processes among `roots` and every living descendant of them.
std::set<pid_t> processFamily(const std::set<pid_t>& roots);

}  // namespace orvanta::host
