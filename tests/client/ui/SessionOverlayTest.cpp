#include "client/ui/SessionOverlay.h"

#include <gtest/gtest.h>

namespace orvanta::client {
namespace {

using State = ConnectionManager::State;
using B = OverlayButton;

TEST(SessionOverlayTest, EveryStateHasItsTitleAndColour) {
    const struct {
        State state;
        std::string_view title;
        StateTone tone;
    } cases[] = {
        {State::disconnected, "未接続", StateTone::danger},
        {State::connecting, "接続中…", StateTone::muted},
        {State::connected, "接続中", StateTone::ok},
        {State::locked, "ホストがロック中", StateTone::warning},
        {State::busy, "別の端末が使用中", StateTone::warning},
        {State::controller, "入力専用で参加中", StateTone::ok},
        {State::takenOver, "別の端末へ切り替わりました", StateTone::warning},
        {State::recovering, "復帰中…", StateTone::warning},
        {State::decodeError, "復帰中…", StateTone::warning},
        {State::authFailed, "接続できません", StateTone::danger},
        {State::revoked, "ペアリングし直してください", StateTone::danger},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(indicatorTitle(c.state), c.title) << ConnectionManager::rawValue(c.state);
        EXPECT_EQ(stateTone(c.state), c.tone) << ConnectionManager::rawValue(c.state);
    }
    EXPECT_EQ(std::string_view("接続中…").size(), std::string_view("接続中").size() + 3) << "one ellipsis character";
}

TEST(SessionOverlayTest, StatusLineAndStreamFacts) {
    const auto facts = [](State state, bool frame, bool viewOnly, std::optional<std::string> name) {
        OverlayFacts f;
        f.state = state;
        f.receivedFrame = frame;
        f.viewOnly = viewOnly;
        f.hostDisplayName = std::move(name);
        f.streamSize = {1920.7, 1080};
        f.fps = 60;
        return f;
    };
    const struct {
        OverlayFacts facts;
        std::string status, measured, tooltip;
    } cases[] = {
        {facts(State::connected, false, false, "Studio"), "映像を待っています…", "", "映像を待っています…"},
        {facts(State::connected, true, false, "Studio"), "接続中 · Studio", "1920×1080 · 60 fps",
         "接続中 · Studio · 1920×1080 · 60 fps"},
        {facts(State::connected, true, false, ""), "接続中 · 名前のない端末", "1920×1080 · 60 fps",
         "接続中 · 名前のない端末 · 1920×1080 · 60 fps"},
        {facts(State::connected, true, false, std::nullopt), "接続中 · 名前のない端末", "1920×1080 · 60 fps",
         "接続中 · 名前のない端末 · 1920×1080 · 60 fps"},
        {facts(State::connected, true, true, "Studio"), "表示専用", "1920×1080 · 60 fps",
         "表示専用 · 1920×1080 · 60 fps"},
        {facts(State::decodeError, true, false, "Studio"), "復帰中…", "", "復帰中…"},
        {facts(State::locked, true, false, "Studio"), "ホストがロック中", "", "ホストがロック中"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusLine(c.facts), c.status);
        EXPECT_EQ(measurements(c.facts), c.measured);
        EXPECT_EQ(compactTooltip(c.facts), c.tooltip);
    }
    auto odd = facts(State::connected, true, false, "x");
    odd.streamSize = {std::nan(""), -5};
    EXPECT_EQ(measurements(odd), "0×0 · 60 fps");
}

TEST(SessionOverlayTest, ButtonsByStateInOrder) {
    const struct {
        State state;
        bool viewOnly;
        std::vector<B> buttons;
    } cases[] = {
        {State::busy, false, {B::settings, B::takeOver, B::joinAsController, B::stop}},
        {State::busy, true, {B::settings, B::takeOver, B::stop}},
        {State::takenOver, false, {B::settings, B::returnHere, B::close}},
        {State::controller, false, {B::settings, B::showHere, B::disconnect}},
        {State::connecting, false, {B::settings, B::disconnect}},
        {State::decodeError, false, {B::settings, B::disconnect}},
        {State::revoked, false, {B::settings, B::disconnect}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(actionButtons(c.state, c.viewOnly), c.buttons) << ConnectionManager::rawValue(c.state);
    EXPECT_EQ(compactBarButtons(), (std::vector<B>{B::settings, B::fullScreen, B::disconnect}));
    const std::pair<B, std::string_view> titles[] = {
        {B::settings, "設定"},
        {B::fullScreen, "全画面"},
        {B::disconnect, "切断"},
        {B::takeOver, "こちらに切り替える"},
        {B::joinAsController, "入力専用で参加"},
        {B::stop, "やめる"},
        {B::returnHere, "こちらに戻す"},
        {B::close, "閉じる"},
        {B::showHere, "この端末で表示"},
    };
    for (const auto& [button, title] : titles) EXPECT_EQ(buttonTitle(button), title);
}

TEST(SessionOverlayTest, WhatShowsInWhichState) {
    OverlayFacts facts;
    const std::pair<State, bool> surface[] = {
        {State::disconnected, false}, {State::connecting, true},  {State::connected, true},  {State::locked, true},
        {State::busy, false},         {State::controller, true},  {State::takenOver, false}, {State::recovering, true},
        {State::decodeError, true},   {State::authFailed, false}, {State::revoked, false},
    };
    for (const auto& [state, shows] : surface) {
        facts.state = state;
        EXPECT_EQ(showsVideoSurface(facts), shows) << ConnectionManager::rawValue(state);
        facts.immersive = true;
        EXPECT_TRUE(showsVideoSurface(facts)) << "immersive keeps the video";
        facts.immersive = false;
    }
    facts.state = State::connected;
    facts.showingConnectScreen = true;
    EXPECT_FALSE(showsVideoSurface(facts));

    facts.receivedFrame = false;
    EXPECT_TRUE(showsStateLabel(facts));
    facts.receivedFrame = true;
    EXPECT_FALSE(showsStateLabel(facts));
    facts.state = State::busy;
    EXPECT_TRUE(showsStateLabel(facts));
    EXPECT_EQ(caption(State::controller), "映像面を選ぶと遠隔入力できます。");
    EXPECT_EQ(caption(State::connected), std::nullopt);
}

TEST(SessionOverlayTest, RowWhenItFitsElseColumn) {
    EXPECT_EQ(overlayLayout(700, 200, 300), (OverlayLayout{true, true}));
    EXPECT_EQ(overlayLayout(512, 200, 300), (OverlayLayout{true, true})) << "exactly fits";
    EXPECT_EQ(overlayLayout(511, 200, 300), (OverlayLayout{false, true}));
    EXPECT_EQ(overlayLayout(250, 200, 300), (OverlayLayout{false, false}));
}

}  // namespace
}  // namespace orvanta::client
