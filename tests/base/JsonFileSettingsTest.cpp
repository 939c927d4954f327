#include "base/JsonFileSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/Json.h"
#include "support/TempDir.h"

namespace orvanta::base {
namespace {

namespace fs = std::filesystem;

using orvanta::testing::readFile;
using orvanta::testing::writeFile;

class JsonFileSettingsTest : public ::testing::Test {
protected:

    std::shared_ptr<JsonFileSettings> open() {
        return JsonFileSettings::openStandard(directory_, [this](const std::string& line) { log_.push_back(line); });
    }
    fs::path file() const { return directory_ / "settings.json"; }

    orvanta::testing::TempDir temp_{"settings"};
    fs::path root_ = temp_.path();
    fs::path directory_ = root_ / "orvanta";
    std::vector<std::string> log_;
};

TEST_F(JsonFileSettingsTest, KeepsEveryTypeAcrossReopening) {
    const SettingsDictionary values = {
        {"bool", true},
        {"int", std::int64_t{-42}},
        {"big", std::int64_t{INT64_MAX}},
        {"double", 1.0},
        {"text", "テキスト"},
        {"data", Bytes{0, 255, '{'}},
        {"emptyData", Bytes{}},
        {"array", SettingsArray{1, "a", Bytes{1}, SettingsArray{}}},
        {"dict", SettingsDictionary{{"inner", SettingsDictionary{{"x", 2.5}}}, {"flag", false}}},
    };
    {
        auto settings = open();
        for (const auto& [key, value] : values) settings->set(key, value);
    }
    auto reopened = open();
    for (const auto& [key, value] : values) EXPECT_EQ(reopened->value(key), value) << key;
    EXPECT_TRUE(log_.empty());

    EXPECT_EQ(reopened->real("double"), 1.0);
    EXPECT_EQ(reopened->integer("double"), std::nullopt);
    EXPECT_EQ(reopened->real("int"), -42.0);
    EXPECT_EQ(reopened->string("data"), std::nullopt);
    EXPECT_EQ(reopened->data("text"), std::nullopt);
    EXPECT_EQ(reopened->boolean("missing"), std::nullopt);
}

TEST_F(JsonFileSettingsTest, RegisteredDefaultsAreReadButNeverWritten) {
    auto settings = open();
    settings->registerDefaults({{"tessaril.client.sendClipboard", true}, {"volume", 3}});
    EXPECT_EQ(settings->boolean("tessaril.client.sendClipboard"), true);
    EXPECT_TRUE(settings->contains("volume"));
    EXPECT_FALSE(fs::exists(file()));

    settings->set("tessaril.client.sendClipboard", false);
    EXPECT_EQ(settings->boolean("tessaril.client.sendClipboard"), false);
    settings->remove("tessaril.client.sendClipboard");
    EXPECT_EQ(settings->boolean("tessaril.client.sendClipboard"), true);

    settings->set("other", 1);
    auto reopened = open();
    EXPECT_FALSE(reopened->contains("tessaril.client.sendClipboard"));
    EXPECT_FALSE(reopened->contains("volume"));
    EXPECT_EQ(reopened->integer("other"), 1);
}

TEST_F(JsonFileSettingsTest, NotifiesObserversOfTheirKeyWhenItsValueChanges) {
    auto settings = open();
    std::vector<std::optional<SettingsValue>> seen;
    int otherCalls = 0;
    auto id = settings->observe("key", [&](const std::optional<SettingsValue>& value) { seen.push_back(value); });
    settings->observe("other", [&](const auto&) { ++otherCalls; });

    settings->set("key", 1);
    settings->set("key", 1);                   // unchanged
    settings->registerDefaults({{"key", 5}});  // hidden behind the stored value
    settings->remove("key");                   // falls back to the default
    settings->remove("key");                   // unchanged
    settings->set("key", 5);                   // stored, but reads the same as the default
    settings->registerDefaults({{"key", 6}});  // hidden again
    settings->remove("key");                   // now 6
    settings->removeObserver(id);
    settings->set("key", 7);

    const std::vector<std::optional<SettingsValue>> expected = {SettingsValue(1), SettingsValue(5), SettingsValue(6)};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(otherCalls, 0);
}

TEST_F(JsonFileSettingsTest, ObserverMayChangeSettingsFromItsCallback) {
    auto settings = open();
    settings->observe("trigger", [&](const auto&) { settings->set("echo", settings->integer("trigger").value_or(0)); });
    settings->set("trigger", 9);
    EXPECT_EQ(settings->integer("echo"), 9);
}

TEST_F(JsonFileSettingsTest, ReplacesTheFileWholeAndLeavesNoTemporaryFiles) {
    auto settings = open();
    for (int i = 0; i < 5; ++i) settings->set("k" + std::to_string(i), i);
    settings->remove("k0");

    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(directory_)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<fs::path>{"settings.json"});
    EXPECT_EQ(fs::status(directory_).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(file()).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    auto json = parseJsonObject(readFile(file()));
    ASSERT_TRUE(json);
    EXPECT_EQ(json->size(), 4u);
    EXPECT_EQ((*json)["k4"], Json({{"int", 4}}));
}

// A save killed between creating its temporary file and renaming it leaves the file behind;
// opening the settings removes it, and keeps what the last complete save wrote.
TEST_F(JsonFileSettingsTest, OpeningRemovesTheTemporaryFilesOfInterruptedSaves) {
    open()->set("kept", 1);
    writeFile(directory_ / ".orvanta-tmp.00000000000000aa", "{\"kept\": {\"int\": 2");

    auto reopened = open();
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(directory_)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<fs::path>{"settings.json"});
    EXPECT_EQ(reopened->integer("kept"), 1);
}

TEST_F(JsonFileSettingsTest, KeepsValueInMemoryAndLogsWhenTheFileCannotBeWritten) {
    auto settings = open();
    settings->set("first", 1);
    fs::remove_all(directory_);
    writeFile(directory_, "a file where the directory should be");

    settings->set("second", 2);
    EXPECT_EQ(settings->integer("second"), 2);
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("could not be written"), std::string::npos) << log_[0];
}

TEST_F(JsonFileSettingsTest, RefusesValuesThatCannotBeWritten) {
    auto settings = open();
    const std::pair<std::string, SettingsValue> cases[] = {
        {"nan", std::nan("")},
        {"inf", SettingsArray{HUGE_VAL}},
        {"text", std::string("\xFF")},
        {"key", SettingsDictionary{{std::string("\xC3"), 1}}},
    };
    for (const auto& [key, value] : cases) settings->set(key, value);
    settings->set("\xFF", 1);
    for (const auto& [key, value] : cases) EXPECT_FALSE(settings->contains(key)) << key;
    EXPECT_EQ(log_.size(), 5u);
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(JsonFileSettingsTest, SetsACorruptFileAsideOnceAndReadsItAsEmpty) {
    const std::string_view cases[] = {
        "not json",
        "[1,2]",
        R"({"k": 1})",
        R"({"k": {"int": 1, "bool": true}})",
        R"({"k": {"int": 1.5}})",
        R"({"k": {"int": 18446744073709551615}})",
        R"({"k": {"data": "***"}})",
        R"({"k": {"color": "red"}})",
        R"({"k": {"array": [{"bool": 1}]}})",
        "{\"k\": {\"string\": \"\xFF\"}}",
        "",
    };
    for (std::string_view corrupt : cases) {
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        writeFile(file(), corrupt);
        log_.clear();

        auto settings = open();
        EXPECT_FALSE(settings->contains("k")) << corrupt;
        ASSERT_EQ(log_.size(), 1u) << corrupt;
        EXPECT_NE(log_[0].find(file().string()), std::string::npos) << log_[0];
        EXPECT_EQ(readFile(directory_ / "settings.corrupt"), corrupt);
        EXPECT_FALSE(fs::exists(file()));

        settings->set("fresh", true);
        EXPECT_EQ(open()->boolean("fresh"), true);
        EXPECT_EQ(readFile(directory_ / "settings.corrupt"), corrupt);
        EXPECT_EQ(log_.size(), 1u);
    }
}

TEST_F(JsonFileSettingsTest, RefusesNestingBeyondAnyRealSetting) {
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += R"({"array": [)";
    deep += R"({"bool": true})";
    for (int i = 0; i < 100; ++i) deep += "]}";
    fs::create_directories(directory_);
    writeFile(file(), R"({"k": )" + deep + "}");
    EXPECT_FALSE(open()->contains("k"));
    EXPECT_EQ(log_.size(), 1u);
}

TEST_F(JsonFileSettingsTest, SuitesAreSeparateFiles) {
    auto standard = open();
    auto suite = JsonFileSettings::openSuite(directory_, "local.qen.Vistaplane2.Client");
    ASSERT_TRUE(suite);
    (*suite)->set("lumicrate.selectedHostId", "A");
    standard->set("lumicrate.selectedHostId", "B");

    EXPECT_EQ((*suite)->path(), directory_ / "local.qen.Vistaplane2.Client.json");
    EXPECT_EQ(
        (*JsonFileSettings::openSuite(directory_, "local.qen.Vistaplane2.Client"))->string("lumicrate.selectedHostId"),
        "A");
    EXPECT_EQ(open()->string("lumicrate.selectedHostId"), "B");

    const std::string_view badNames[] = {"", ".hidden", "a/b", "settings", "\xFF", std::string_view("a\0b", 3)};
    for (std::string_view bad : badNames) {
        auto refused = JsonFileSettings::openSuite(directory_, bad);
        ASSERT_FALSE(refused) << bad;
        EXPECT_EQ(refused.error().suite, bad);
    }
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(JsonFileSettingsDirectory, FollowsXdgConfigHomeElseHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(JsonFileSettings::defaultDirectory(), fs::path("/cfg/orvanta"));
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative");
        EXPECT_EQ(JsonFileSettings::defaultDirectory(), fs::path("/home/someone/.config/orvanta"));
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(JsonFileSettings::defaultDirectory(), fs::path("/home/someone/.config/orvanta"));
}

TEST_F(JsonFileSettingsTest, ConcurrentWritersLoseNothing) {
    auto settings = open();
    constexpr int kThreads = 4;
    constexpr int kKeysPerThread = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kKeysPerThread; ++i) settings->set(std::to_string(t) + "." + std::to_string(i), i);
        });
    }
    for (auto& thread : threads) thread.join();

    auto reopened = open();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kKeysPerThread; ++i) {
            EXPECT_EQ(reopened->integer(std::to_string(t) + "." + std::to_string(i)), i);
        }
    }
}

}  // namespace
}  // namespace orvanta::base
