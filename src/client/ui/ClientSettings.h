// The settings page's row containers, shared with the host's settings, and the client's rows:
// this device's name, the per-host display aspect and scale, the cursor size, full screen on
// connect, host audio, clipboard sending and always-on clipboard sharing. Stored settings are
// written the moment they change; the display-aspect rows and the sharing switch call their owners.
#pragma once

#include <QAbstractButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Settings.h"
#include "client/viewer/ClientModel.h"

class QLabel;
class QLineEdit;
class QSlider;

namespace orvanta::clipboard {
class ClipboardSync;
}

namespace orvanta::client {

// A separator line above the content, which is stacked with 2 points between its parts.
class SettingsRow final : public QWidget {
public:
    explicit SettingsRow(QWidget* parent = nullptr);
    void add(QWidget* part);
};

// A switch that slides; checkable, toggled by click or space.
class Switch final : public QAbstractButton {
public:
    explicit Switch(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A title 148 points wide, and the switch at the row's trailing edge.
class SettingsToggle final : public QWidget {
public:
    SettingsToggle(const QString& title, QWidget* parent = nullptr);
    // Shows the value without telling onToggle.
    void setOn(bool on);
    Switch* control() const { return switch_; }
    std::function<void(bool)> onToggle;

private:
    Switch* switch_;
};

// A wrapping title 148 points wide, and the control filling the rest, trailing-aligned.
class SettingsField final : public QWidget {
public:
    SettingsField(const QString& title, QWidget* control, QWidget* parent = nullptr);
};

// A slider and its value text, for the rows that choose a scale.
class ScaleSlider final : public QWidget {
public:
    ScaleSlider(const QString& name, int steps, QWidget* parent = nullptr);
    // Shows a step and its text without telling onMoved.
    void show(int step, const QString& text);
    QSlider* slider() const { return slider_; }
    QLabel* valueText() const { return value_; }
    // The user moved the slider to this step.
    std::function<void(int)> onMoved;

private:
    QSlider* slider_;
    QLabel* value_;
    bool showing_ = false;
};

class ClientDeviceNameField final : public QWidget {
public:
    static constexpr std::string_view kLabel = "この端末の名前";
    // `computerName` is the placeholder; "Mac" when the system gives none.
    ClientDeviceNameField(std::shared_ptr<base::Settings> defaults, std::optional<std::string> computerName,
                          QWidget* parent = nullptr);
    QLineEdit* field() const { return field_; }

private:
    std::shared_ptr<base::Settings> defaults_;
    QLineEdit* field_;
};

class ClientSettingsSection final : public QWidget {
public:
    static constexpr std::string_view kCursorScaleKey = "tessaril.client.cursorScale";

    ClientSettingsSection(std::shared_ptr<ClientModel> model, clipboard::ClipboardSync& hub,
                          std::shared_ptr<base::Settings> defaults, QWidget* parent = nullptr);
    ~ClientSettingsSection() override;

    SettingsToggle* aspectFit() const { return aspectFit_; }
    ScaleSlider* displayScale() const { return displayScale_; }
    QLabel* target() const { return target_; }
    ScaleSlider* cursorScale() const { return cursorScale_; }
    SettingsToggle* toggle(std::string_view title) const;

private:
    void refresh();
    SettingsToggle* storedToggle(const QString& title, std::string_view key, bool fallback);
    std::optional<HostListStore::Entry> targetEntry() const;

    std::shared_ptr<ClientModel> model_;
    clipboard::ClipboardSync& hub_;
    std::shared_ptr<base::Settings> defaults_;
    QWidget* aspectGroup_ = nullptr;
    SettingsToggle* aspectFit_ = nullptr;
    ScaleSlider* displayScale_ = nullptr;
    QLabel* target_ = nullptr;
    ScaleSlider* cursorScale_ = nullptr;
    std::vector<std::pair<std::string, SettingsToggle*>> toggles_;
    std::vector<std::function<void()>> refreshers_;
    std::vector<base::Settings::ObserverId> settingsObservers_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace orvanta::client
