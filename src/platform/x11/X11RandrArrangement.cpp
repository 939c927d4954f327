#include "platform/x11/X11RandrArrangement.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/PrivateFile.h"
#include "platform/VirtualDisplayFactory.h"
#include "platform/x11/X11Randr.h"

namespace orvanta::platform::x11 {
namespace {

using namespace randr;

// A CRTC as saved and compared; where an idle CRTC would sit means nothing, and drivers keep the last place.
RandrArrangement::Crtc crtcState(xcb_randr_crtc_t id, const xcb_randr_get_crtc_info_reply_t* c) {
    if (c->mode == XCB_NONE) return {id, 0, 0, XCB_NONE, XCB_RANDR_ROTATION_ROTATE_0, {}};
    return {id, c->x, c->y, c->mode, c->rotation, crtcOutputs(c)};
}

std::string modeName(const xcb_randr_get_screen_resources_current_reply_t* res, int index) {
    const auto* modes = xcb_randr_get_screen_resources_current_modes(res);
    const char* names = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(res));
    std::size_t offset = 0;
    for (int i = 0; i < index; ++i) offset += modes[i].name_len;
    return {names + offset, modes[index].name_len};
}

}  // namespace

std::string RandrArrangement::toJson() const {
    nlohmann::json j;
    j["width"] = width;
    j["height"] = height;
    j["mmWidth"] = mmWidth;
    j["mmHeight"] = mmHeight;
    j["primary"] = primary;
    j["crtcs"] = nlohmann::json::array();
    for (const auto& c : crtcs) {
        j["crtcs"].push_back(
            {{"id", c.id}, {"x", c.x}, {"y", c.y}, {"mode", c.mode}, {"rotation", c.rotation}, {"outputs", c.outputs}});
    }
    j["monitors"] = nlohmann::json::array();
    for (const auto& m : monitors) {
        j["monitors"].push_back({{"name", m.name},
                                 {"primary", m.primary},
                                 {"x", m.x},
                                 {"y", m.y},
                                 {"width", m.width},
                                 {"height", m.height},
                                 {"mmWidth", m.mmWidth},
                                 {"mmHeight", m.mmHeight},
                                 {"outputs", m.outputs}});
    }
    return j.dump();
}

std::expected<RandrArrangement, std::string> RandrArrangement::fromJson(const std::string& text) {
    try {
        const auto j = nlohmann::json::parse(text);
        RandrArrangement a;
        a.width = j.at("width").get<std::uint32_t>();
        a.height = j.at("height").get<std::uint32_t>();
        a.mmWidth = j.at("mmWidth").get<std::uint32_t>();
        a.mmHeight = j.at("mmHeight").get<std::uint32_t>();
        a.primary = j.at("primary").get<std::uint32_t>();
        for (const auto& c : j.at("crtcs")) {
            a.crtcs.push_back({c.at("id").get<std::uint32_t>(), c.at("x").get<std::int32_t>(),
                               c.at("y").get<std::int32_t>(), c.at("mode").get<std::uint32_t>(),
                               c.at("rotation").get<std::uint16_t>(),
                               c.at("outputs").get<std::vector<std::uint32_t>>()});
        }
        for (const auto& m : j.at("monitors")) {
            a.monitors.push_back({m.at("name").get<std::string>(), m.at("primary").get<bool>(),
                                  m.at("x").get<std::int32_t>(), m.at("y").get<std::int32_t>(),
                                  m.at("width").get<std::uint32_t>(), m.at("height").get<std::uint32_t>(),
                                  m.at("mmWidth").get<std::uint32_t>(), m.at("mmHeight").get<std::uint32_t>(),
                                  m.at("outputs").get<std::vector<std::uint32_t>>()});
        }
        if (a.width == 0 || a.height == 0 || a.width > kMaxSide || a.height > kMaxSide) {
            return std::unexpected("saved screen size " + std::to_string(a.width) + "x" + std::to_string(a.height));
        }
        return a;
    } catch (const nlohmann::json::exception& e) {
        return std::unexpected(std::string("saved arrangement unreadable: ") + e.what());
    }
}

std::expected<RandrArrangement, std::string> readArrangement(XConnection& x) {
    const auto res = resources(x);
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), x.root()), nullptr));
    Reply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(x.get(), xcb_randr_get_output_primary(x.get(), x.root()), nullptr));
    if (!res || !geometry || !primary) return std::unexpected("cannot read the RandR arrangement");
    RandrArrangement a;
    a.width = geometry->width;
    a.height = geometry->height;
    // The core screen record keeps the size the connection started with; ask RandR for the millimetres.
    Reply<xcb_randr_get_screen_info_reply_t> info(
        xcb_randr_get_screen_info_reply(x.get(), xcb_randr_get_screen_info(x.get(), x.root()), nullptr));
    if (info && info->sizeID < xcb_randr_get_screen_info_sizes_length(info.get())) {
        const auto size = xcb_randr_get_screen_info_sizes(info.get())[info->sizeID];
        a.mmWidth = size.mwidth;
        a.mmHeight = size.mheight;
    }
    a.primary = primary->output;
    for (auto crtc : crtcsOf(res.get())) {
        const auto c = crtcInfo(x, crtc, res->config_timestamp);
        if (!c) return std::unexpected("cannot read CRTC " + std::to_string(crtc));
        a.crtcs.push_back(crtcState(crtc, c.get()));
    }
    for (const auto& m : monitors(x, false)) {
        if (m.automatic || carriesVirtualDisplayMark(m.name)) continue;
        a.monitors.push_back({m.name, m.primary, m.bounds.x, m.bounds.y, static_cast<std::uint32_t>(m.bounds.width),
                              static_cast<std::uint32_t>(m.bounds.height), m.mmWidth, m.mmHeight, m.outputs});
    }
    return a;
}

std::expected<void, std::string> restoreArrangement(XConnection& x, const RandrArrangement& saved) {
    ServerGrab grab(x);
    const auto res = resources(x);
    if (!res) return std::unexpected("cannot read the RandR arrangement");
    const auto ts = res->config_timestamp;
    std::expected<void, std::string> result;
    const auto note = [&](std::expected<void, std::string> step) {
        if (!step && result) result = step;
    };

    for (const auto& m : monitors(x, false)) {
        if (!m.automatic)
            note(check(x, xcb_randr_delete_monitor_checked(x.get(), x.root(), m.atom), "deleting a monitor"));
    }
    // CRTCs that differ go off first, so that the screen can shrink; then each is set back.
    std::vector<const RandrArrangement::Crtc*> toSet;
    for (auto crtc : crtcsOf(res.get())) {
        const auto current = crtcInfo(x, crtc, ts);
        if (!current) continue;
        const RandrArrangement::Crtc now = crtcState(crtc, current.get());
        const auto want =
            std::find_if(saved.crtcs.begin(), saved.crtcs.end(), [&](const auto& c) { return c.id == crtc; });
        const bool wantOn = want != saved.crtcs.end() && want->mode != 0;
        if (want != saved.crtcs.end() && *want == now) continue;
        if (now.mode != 0) note(setCrtc(x, crtc, ts, 0, 0, XCB_NONE, XCB_RANDR_ROTATION_ROTATE_0, {}));
        if (wantOn) toSet.push_back(&*want);
    }
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), x.root()), nullptr));
    if (geometry && (geometry->width != saved.width || geometry->height != saved.height)) {
        const std::uint32_t mmWidth = saved.mmWidth ? saved.mmWidth : millimetres(saved.width, 0, 0);
        const std::uint32_t mmHeight = saved.mmHeight ? saved.mmHeight : millimetres(saved.height, 0, 0);
        note(check(x,
                   xcb_randr_set_screen_size_checked(x.get(), x.root(), static_cast<std::uint16_t>(saved.width),
                                                     static_cast<std::uint16_t>(saved.height), mmWidth, mmHeight),
                   "restoring the screen size"));
    }
    for (const auto* c : toSet) note(setCrtc(x, c->id, ts, c->x, c->y, c->mode, c->rotation, c->outputs));
    note(check(x, xcb_randr_set_output_primary_checked(x.get(), x.root(), saved.primary),
               "restoring the primary output"));

    // Our modes: off every output, then gone.
    const auto* modes = xcb_randr_get_screen_resources_current_modes(res.get());
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(res.get()); ++i) {
        if (!carriesVirtualDisplayMark(modeName(res.get(), i))) continue;
        for (auto output : outputsOf(res.get())) {
            const auto info = outputInfo(x, output, ts);
            if (!info) continue;
            const auto* own = xcb_randr_get_output_info_modes(info.get());
            if (std::find(own, own + xcb_randr_get_output_info_modes_length(info.get()), modes[i].id) !=
                own + xcb_randr_get_output_info_modes_length(info.get())) {
                note(check(x, xcb_randr_delete_output_mode_checked(x.get(), output, modes[i].id), "removing a mode"));
            }
        }
        note(check(x, xcb_randr_destroy_mode_checked(x.get(), modes[i].id), "destroying a mode"));
    }
    for (const auto& m : saved.monitors) {
        note(setMonitor(x, m.name, m.primary, {m.x, m.y, m.width, m.height}, m.mmWidth, m.mmHeight, m.outputs));
    }
    return result;
}

std::expected<void, std::string> saveArrangement(const std::filesystem::path& path,
                                                 const RandrArrangement& arrangement) {
    if (path.empty())
        return std::unexpected("no folder to keep the display arrangement in (neither $XDG_STATE_HOME nor $HOME)");
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (auto written = base::writePrivateFile(path, arrangement.toJson()); !written)
        return std::unexpected(written.error().description());
    return {};
}

bool carriesOurMarks(XConnection& x) {
    const auto res = resources(x);
    if (!res) return false;
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(res.get()); ++i) {
        if (carriesVirtualDisplayMark(modeName(res.get(), i))) return true;
    }
    return std::ranges::any_of(monitors(x, false), [](const Monitor& m) { return carriesVirtualDisplayMark(m.name); });
}

}  // namespace orvanta::platform::x11
