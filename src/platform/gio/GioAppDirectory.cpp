#include "platform/gio/GioAppDirectory.h"

#include <gio/gdesktopappinfo.h>

#include <memory>

namespace orvanta::platform::gio {

namespace {

constexpr const char* kGroup = "Desktop Entry";

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

}  // namespace

std::expected<DesktopEntry, DesktopEntryRefusal> GioAppDirectory::readEntry(const std::string& path) {
    std::unique_ptr<GKeyFile, KeyFileDeleter> file(g_key_file_new());
    GError* error = nullptr;
    if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, &error)) {
        std::string reason = error ? error->message : "unreadable";
        g_clear_error(&error);
        return refuse(true, reason);
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

}  // namespace orvanta::platform::gio
