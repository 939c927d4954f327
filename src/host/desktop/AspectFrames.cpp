#include "host/desktop/AspectFrames.h"

#include <cmath>
#include <fstream>
#include <iterator>

#include "base/Json.h"
#include "base/PrivateFile.h"

namespace orvanta::host {

namespace {

constexpr std::string_view kArrangementPrefix = "randr-arrangement-";
constexpr std::string_view kFramesPrefix = "aspect-windows-";
constexpr std::string_view kFramesKind = "orvanta-aspect-windows";
constexpr int kFramesVersion = 1;
constexpr std::uintmax_t kMaxFramesFileBytes = 1 << 20;
constexpr std::size_t kMaxSavedWindows = 4096;

base::Json toJson(const SavedAspectFrame& saved) {
    const auto& w = saved.window;
    return {
        {"id", w.id},     {"pid", w.pid},           {"app", w.appName},         {"x", w.frame.x},
        {"y", w.frame.y}, {"width", w.frame.width}, {"height", w.frame.height}, {"positionOnly", saved.positionOnly}};
}

std::expected<SavedAspectFrame, std::string> frameFromJson(const base::Json& entry) {
    const auto number = [&](const char* key) -> std::optional<double> {
        if (!entry.contains(key) || !entry[key].is_number()) return std::nullopt;
        const double value = entry[key].get<double>();
        return std::isfinite(value) ? std::optional(value) : std::nullopt;
    };
    if (!entry.is_object()) return std::unexpected("a window entry is not an object");
    const auto id = number("id"), pid = number("pid"), x = number("x"), y = number("y");
    const auto width = number("width"), height = number("height");
    if (!id || !pid || !x || !y || !width || !height || !entry.contains("app") || !entry["app"].is_string() ||
        !entry.contains("positionOnly") || !entry["positionOnly"].is_boolean()) {
        return std::unexpected("a window entry lacks a field or has one of the wrong type");
    }
    if (*id < 1 || *id > UINT32_MAX || *id != std::floor(*id) || *pid < 2 || *pid > INT32_MAX ||
        *pid != std::floor(*pid) || *width < 0 || *height < 0) {
        return std::unexpected("a window entry holds an impossible value");
    }
    return SavedAspectFrame{{static_cast<std::uint32_t>(*id), static_cast<std::int32_t>(*pid),
                             entry["app"].get<std::string>(), Rect{*x, *y, *width, *height}},
                            entry["positionOnly"].get<bool>()};
}

std::expected<std::string, std::string> readSmallFile(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) return std::unexpected("cannot read " + file.string() + ": " + ec.message());
    if (size > kMaxFramesFileBytes) return std::unexpected(file.string() + " is too large");
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) return std::unexpected("cannot read " + file.string());
    return text;
}

}  // namespace

std::filesystem::path aspectFramesFile(const std::filesystem::path& arrangementFile) {
    if (arrangementFile.empty()) return {};
    std::string name = arrangementFile.filename().string();
    if (name.starts_with(kArrangementPrefix)) name.erase(0, kArrangementPrefix.size());
    return arrangementFile.parent_path() / (std::string(kFramesPrefix) + name);
}

std::expected<void, std::string> writeAspectFrames(const std::filesystem::path& file,
                                                   const std::vector<SavedAspectFrame>& frames) {
    base::Json windows = base::Json::array();
    for (const auto& frame : frames) windows.push_back(toJson(frame));
    const std::string text =
        base::Json{{"kind", kFramesKind}, {"version", kFramesVersion}, {"windows", std::move(windows)}}.dump();
    if (file.empty()) return std::unexpected(std::string("no folder to keep the window frames in"));
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (auto written = base::writePrivateFile(file, text); !written)
        return std::unexpected(written.error().description());
    return {};
}

std::expected<std::vector<SavedAspectFrame>, std::string> readAspectFrames(const std::filesystem::path& file) {
    auto text = readSmallFile(file);
    if (!text) return std::unexpected(text.error());
    const auto json = base::Json::parse(*text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::unexpected("not JSON");
    if (json.value("kind", std::string()) != kFramesKind || !json.contains("version") ||
        json["version"] != kFramesVersion) {
        return std::unexpected("not a window frames file of this version");
    }
    if (!json.contains("windows") || !json["windows"].is_array() || json["windows"].size() > kMaxSavedWindows) {
        return std::unexpected("no usable window list");
    }
    std::vector<SavedAspectFrame> frames;
    for (const auto& entry : json["windows"]) {
        auto frame = frameFromJson(entry);
        if (!frame) return std::unexpected(frame.error());
        frames.push_back(std::move(*frame));
    }
    return frames;
}

void removeAspectFrames(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
}

std::size_t recoverAspectWindowsAfterCrash(WindowManager& manager, const std::filesystem::path& file,
                                           const LogFunction& log) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return 0;
    auto frames = readAspectFrames(file);
    if (!frames) {
        // Kept for whoever wants to look at it; it never stands in the way of the next save.
        const auto aside = file.string() + ".bad";
        std::filesystem::rename(file, aside, ec);
        if (ec) std::filesystem::remove(file, ec);
        log("display aspect fit: saved window frames unreadable (" + frames.error() + "), set aside as " + aside);
        return 0;
    }
    std::size_t restored = 0;
    std::vector<SavedAspectFrame> unrestored;
    for (const auto& saved : *frames) {
        const auto live = manager.aspectWindow(saved.window.id);
        if (!live || live->pid != saved.window.pid) continue;
        const auto result = manager.applyAspectFrame({saved.window.pid, saved.window.id}, saved.window.frame,
                                                     saved.positionOnly, false, [] { return true; });
        if (result.matches) {
            ++restored;
        } else {
            unrestored.push_back(saved);
        }
    }
    // A window still there but not back where it was keeps its entry for the next start.
    if (unrestored.empty()) {
        std::filesystem::remove(file, ec);
    } else if (auto kept = writeAspectFrames(file, unrestored); !kept) {
        log("display aspect fit: window frames not saved: " + kept.error());
    }
    log("display aspect fit: restored " + std::to_string(restored) + " of " + std::to_string(frames->size()) +
        " windows left moved by an earlier run");
    return restored;
}

}  // namespace orvanta::host
