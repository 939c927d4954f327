#include "platform/gio/GioAppDirectory.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <thread>

namespace orvanta::platform::gio {

namespace {

constexpr const char* kGroup = "Desktop Entry";
constexpr off_t kMaxOutputBytes = 1 << 20;  // beyond it the next launch starts the file afresh

struct KeyFileDeleter {
    void operator()(GKeyFile* file) const { g_key_file_unref(file); }
};
struct ObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};

std::string owned(gchar* text) {
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

std::unexpected<DesktopEntryRefusal> refuse(bool malformed, std::string reason) {
    return std::unexpected(DesktopEntryRefusal{malformed, std::move(reason)});
}

// A theme name, or an absolute path; anything relative to an unknown folder is no icon.
std::string iconValue(std::string icon) {
    if (icon.empty() || icon.front() == '/' || icon.find('/') == std::string::npos) return icon;
    return {};
}

std::string takeMessage(GError*& error, const char* otherwise) {
    std::string message = error ? error->message : otherwise;
    g_clear_error(&error);
    return message;
}

int openOutput(const std::filesystem::path& output) {
    std::error_code ignored;
    std::filesystem::create_directories(output.parent_path(), ignored);
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    struct stat status {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && status.st_size > kMaxOutputBytes) (void)::ftruncate(fd, 0);
    return fd;
}

// In the child, between fork and exec, so async-signal-safe calls only: a session of its own, not
// tied to the host's terminal, and none of the signals the host blocks or handles carried over.
void prepareChild(gpointer) {
    ::setsid();
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
}

void rememberChild(GDesktopAppInfo*, GPid pid, gpointer child) { *static_cast<GPid*>(child) = pid; }

// Nothing else tells the host when an application it started ends: a thread per child waits.
void reapWhenEnded(GPid child) {
    try {
        std::thread([child] {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Out of threads: the application runs all the same, and stays a zombie once it ends.
    }
}

}  // namespace

std::filesystem::path launchOutputFile() {
    // The base-directory convention ignores a relative XDG_STATE_HOME.
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const std::filesystem::path base = state && state[0] == '/' ? std::filesystem::path(state)
                                       : home && home[0] == '/' ? std::filesystem::path(home) / ".local/state"
                                                                : std::filesystem::temp_directory_path();
    return base / "orvanta" / "applications.log";
}

std::expected<DesktopEntry, DesktopEntryRefusal> GioAppDirectory::readEntry(const std::string& path) {
    std::unique_ptr<GKeyFile, KeyFileDeleter> file(g_key_file_new());
    GError* error = nullptr;
    if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, &error)) {
        return refuse(true, takeMessage(error, "unreadable"));
    }
    if (!g_key_file_has_group(file.get(), kGroup)) return refuse(true, "no [Desktop Entry] group");
    auto type = owned(g_key_file_get_string(file.get(), kGroup, "Type", nullptr));
    if (type != "Application") return refuse(type.empty(), type.empty() ? "no Type" : "Type=" + type);
    if (!g_key_file_has_key(file.get(), kGroup, "Name", nullptr)) return refuse(true, "no Name");
    // GIO accepts an application without a command; nothing could start it.
    if (!g_key_file_has_key(file.get(), kGroup, "Exec", nullptr) &&
        !g_key_file_get_boolean(file.get(), kGroup, "DBusActivatable", nullptr)) {
        return refuse(true, "no Exec");
    }

    std::unique_ptr<GDesktopAppInfo, ObjectDeleter> info(g_desktop_app_info_new_from_keyfile(file.get()));
    if (!info) {
        auto tryExec = owned(g_key_file_get_string(file.get(), kGroup, "TryExec", nullptr));
        if (!tryExec.empty()) return refuse(false, "TryExec " + tryExec + " not found");
        return refuse(true, "refused by GIO");
    }
    if (g_desktop_app_info_get_is_hidden(info.get())) return refuse(false, "Hidden");
    if (g_desktop_app_info_get_nodisplay(info.get())) return refuse(false, "NoDisplay");

    DesktopEntry entry;
    entry.name = g_app_info_get_name(G_APP_INFO(info.get()));
    entry.icon = iconValue(owned(g_desktop_app_info_get_string(info.get(), "Icon")));
    if (const char* wmClass = g_desktop_app_info_get_startup_wm_class(info.get())) entry.startupWMClass = wmClass;
    return entry;
}

std::expected<std::int32_t, std::string> GioAppDirectory::launch(const std::string& path) {
    std::unique_ptr<GKeyFile, KeyFileDeleter> file(g_key_file_new());
    GError* error = nullptr;
    if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, &error)) {
        return std::unexpected(path + ": " + takeMessage(error, "unreadable"));
    }
    g_key_file_remove_key(file.get(), kGroup, "DBusActivatable", nullptr);
    std::unique_ptr<GDesktopAppInfo, ObjectDeleter> info(g_desktop_app_info_new_from_keyfile(file.get()));
    if (!info) {
        const auto exec = owned(g_key_file_get_string(file.get(), kGroup, "Exec", nullptr));
        return std::unexpected(exec + ": no program to run (" + path + ")");
    }
    std::unique_ptr<GAppLaunchContext, ObjectDeleter> context(g_app_launch_context_new());
    const int output = openOutput(launchOutput_);
    const int discard = output < 0 ? G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL : 0;
    // Reaped here: left to GLib, it would start the program through an intermediate process and
    // report that one, already gone, instead of the application.
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | discard);
    GPid child = 0;
    const bool started =
        g_desktop_app_info_launch_uris_as_manager_with_fds(info.get(), nullptr, context.get(), flags, prepareChild,
                                                           nullptr, rememberChild, &child, -1, output, output, &error);
    if (output >= 0) ::close(output);
    if (!started) return std::unexpected(takeMessage(error, "cannot start"));
    if (child <= 0) return std::unexpected(path + ": started with no process to follow");
    reapWhenEnded(child);
    return child;
}

}  // namespace orvanta::platform::gio
