// The client screens' pure decisions: which screen shows, menu states, sliders, host names, the
// picker's filter, the theme's colours and the new window's height.
#include "client/ui/ClientScreenRules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client/ui/MacWindowPicker.h"
#include "client/ui/Theme.h"

namespace orvanta::client {
namespace {

using State = SessionState;
using Kind = HostListStore::Kind;

TEST(ClientScreenRulesTest, ChoosesBetweenTheConnectScreenAndTheSession) {
    struct Case {
        bool visible, immersive, showingConnectScreen;
        State state;
        bool list, shown;
    };
    const Case cases[] = {
        {true, false, false, State::disconnected, true, false},
        {true, false, true, State::connected, true, false},
        {true, false, false, State::connected, false, true},
        {true, false, false, State::takenOver, false, true},
        {true, false, true, State::takenOver, true, false},
        {true, false, false, State::authFailed, true, false},
        {true, false, false, State::revoked, true, false},
        {true, true, false, State::disconnected, false, false},
        {true, true, true, State::connected, false, false},
        {false, false, false, State::disconnected, false, false},
        {false, false, false, State::connected, false, true},
    };
    for (const auto& c : cases) {
        const auto what = std::string(ConnectionManager::rawValue(c.state)) + (c.visible ? " visible" : " hidden") +
                          (c.immersive ? " immersive" : "") + (c.showingConnectScreen ? " asked for the list" : "");
        EXPECT_EQ(showingList(c.visible, c.immersive, c.showingConnectScreen, c.state), c.list) << what;
        EXPECT_EQ(sessionShown(c.state, c.showingConnectScreen), c.shown) << what;
    }
}

TEST(ClientScreenRulesTest, EnablesTheSessionItemsOnlyDuringASession) {
    const ConnectionMenu none{};
    const ConnectionMenu all{true, true, true, true};
    EXPECT_EQ(connectionMenu(State::disconnected, false), none);
    EXPECT_EQ(connectionMenu(State::takenOver, false), none) << "the session view is up, but the session has ended";
    EXPECT_EQ(connectionMenu(State::revoked, false), none);
    EXPECT_EQ(connectionMenu(State::connected, false), all);
    EXPECT_EQ(connectionMenu(State::busy, false), all);
    EXPECT_EQ(connectionMenu(State::connected, true), (ConnectionMenu{false, true, true, true}))
        << "this computer's own host offers no window list";
}

TEST(ClientScreenRulesTest, ShowsTheDisplayScaleAtTheNearestChoice) {
    struct Case {
        double scale;
        std::size_t index;
        const char* text;
    };
    const Case cases[] = {
        {0.3, 1, "0.3倍"},     {0.375, 1, "0.375倍"}, {1.0, 4, "1倍"},   {0.75, 3, "0.75倍"},
        {1.125, 4, "1.125倍"}, {2.0, 8, "2倍"},       {0.1, 0, "0.1倍"}, {0.30000001, 1, "0.3倍"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nearestScaleIndex(c.scale), c.index) << c.scale;
        EXPECT_EQ(timesText(c.scale), c.text) << c.scale;
    }
}

TEST(ClientScreenRulesTest, RoundsTheShownCursorScaleToAQuarter) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, double> cases[] = {
        {3, 2},        {2, 2},        {0.2, 0.5}, {0.5, 0.5},        {1.1, 1}, {1.13, 1.25},
        {1.125, 1.25}, {0.625, 0.75}, {1.0, 1},   {std::nan(""), 1}, {inf, 1}, {-inf, 1},
    };
    for (const auto& [stored, shown] : cases) EXPECT_EQ(shownCursorScale(stored), shown) << stored;
    EXPECT_EQ(timesText(shownCursorScale(1.13)), "1.25倍");
}

HostListStore::Entry entry(std::string id, std::string name, std::string baseURL, Kind kind = Kind::mac) {
    HostListStore::Entry e;
    e.id = std::move(id);
    e.displayName = std::move(name);
    e.baseURL = std::move(baseURL);
    e.kind = kind;
    return e;
}

TEST(ClientScreenRulesTest, NamesSavedHostsAndTellsEqualNamesApart) {
    const auto alpha = entry("A", "studio", "https://alpha:8443", Kind::mac);
    const auto beta = entry("B", "studio", "http://beta:8767/x", Kind::windows);
    const auto other = entry("C", "office", "https://gamma:8443");
    const std::vector<HostListStore::Entry> entries{alpha, beta, other};
    EXPECT_EQ(distinction(alpha, entries), "alpha:8443 · Mac");
    EXPECT_EQ(distinction(beta, entries), "beta:8767/x · Windows");
    EXPECT_EQ(distinction(other, entries), std::nullopt);

    const auto blank = entry("D", "   ", "https://delta");
    const auto invisible = entry("E", "\u200B", "https://[::1]:8443");
    const auto hostless = entry("F", "", "mailto:nobody");
    const std::vector<HostListStore::Entry> unnamed{blank, invisible, hostless};
    EXPECT_EQ(hostName(blank), "名前のない端末");
    EXPECT_EQ(hostName(invisible), "名前のない端末");
    EXPECT_EQ(distinction(blank, unnamed), "delta · Mac");
    EXPECT_EQ(distinction(invisible, unnamed), "[::1]:8443 · Mac");
    EXPECT_EQ(distinction(hostless, unnamed), std::nullopt) << "no host, no second line";
    EXPECT_EQ(hostName(entry("G", " Mac mini ", "https://g")), " Mac mini ") << "shown as it is, untrimmed";

    EXPECT_EQ(nearbyTitle("\u200B"), "名前のない端末");
    EXPECT_EQ(nearbyTitle("   "), "   ") << "ordinary spaces are visible";
}

TEST(ClientScreenRulesTest, LaysOutTwoColumnsFrom720Points) {
    EXPECT_FALSE(wideLayout(719));
    EXPECT_TRUE(wideLayout(720));
}

TEST(ClientScreenRulesTest, OpensANewWindowAsHighAsItsContentWithinTheScreen) {
    EXPECT_EQ(newWindowHeight(120.2, 1000, 28), 300);
    EXPECT_EQ(newWindowHeight(512.3, 1000, 28), 513);
    EXPECT_EQ(newWindowHeight(2000, 875, 28), 847) << "the visible height less a title bar";
    EXPECT_EQ(newWindowHeight(2000, std::nullopt, 28), 2000) << "no screen, no cap";
}

TEST(ClientScreenRulesTest, FiltersThePickerCaseInsensitivelyOnTrimmedText) {
    using protocol::AppListEntry;
    using protocol::WindowListEntry;
    const std::vector<WindowListEntry> windows{{1, "Safari", "Start Page"}, {2, "Terminal", ""}, {3, "Mail", "SAFE"}};
    const std::vector<AppListEntry> apps{{"com.a.notes", "Notes", false, false},
                                         {"com.a.safari", "Safari", true, true},
                                         {"org.x.saf", "Xcode", false, false}};
    const auto ids = [](const std::vector<WindowListEntry>& shown) {
        std::vector<std::uint32_t> out;
        for (const auto& w : shown) out.push_back(w.windowId);
        return out;
    };
    const auto names = [](const std::vector<AppListEntry>& shown) {
        std::vector<std::string> out;
        for (const auto& a : shown) out.push_back(a.name);
        return out;
    };
    EXPECT_EQ(ids(WindowPickerFilter::windows(windows, " \n ")), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(names(WindowPickerFilter::applications(apps, "   ")), (std::vector<std::string>{"Notes", "Xcode"}))
        << "running applications are never offered";
    EXPECT_EQ(ids(WindowPickerFilter::windows(windows, "saf")), (std::vector<std::uint32_t>{1, 3}));
    EXPECT_EQ(ids(WindowPickerFilter::windows(windows, " page ")), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(names(WindowPickerFilter::applications(apps, "NOTES")), (std::vector<std::string>{"Notes"}));
    EXPECT_TRUE(WindowPickerFilter::applications(apps, "saf").empty()) << "the bundle identifier is not searched";
}

TEST(ClientScreenRulesTest, ResolvesThemeColoursPerAppearance) {
    EXPECT_EQ(Theme::colourScheme("dark"), ColourScheme::dark);
    EXPECT_EQ(Theme::colourScheme("light"), ColourScheme::light);
    EXPECT_EQ(Theme::colourScheme("Dark"), std::nullopt) << "the comparison is exact";
    EXPECT_EQ(Theme::colourScheme("system"), std::nullopt);
    EXPECT_EQ(Theme::appearance(ColourScheme::light, true, false), Appearance::light);
    EXPECT_EQ(Theme::appearance(std::nullopt, true, false), Appearance::dark);
    EXPECT_EQ(Theme::appearance(std::nullopt, false, true), Appearance::highContrastLight);

    using Value = std::variant<Rgb, SystemColour>;
    EXPECT_EQ(Theme::resolve(ThemeColour::bg, Appearance::dark), Value(Rgb{0, 0, 0}));
    EXPECT_EQ(Theme::resolve(ThemeColour::bg, Appearance::light), Value(Rgb{0xED, 0xED, 0xF2}));
    EXPECT_EQ(Theme::resolve(ThemeColour::bg, Appearance::highContrastDark), Value(SystemColour::windowBackground));
    EXPECT_EQ(Theme::resolve(ThemeColour::keyFace, Appearance::light), Value(Rgb{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Theme::resolve(ThemeColour::accent, Appearance::light), Value(Rgb{0xB5, 0x89, 0x00}));
    EXPECT_EQ(Theme::resolve(ThemeColour::danger, Appearance::dark), Value(Rgb{0xFF, 0x45, 0x3A}));
}

}  // namespace
}  // namespace orvanta::client
