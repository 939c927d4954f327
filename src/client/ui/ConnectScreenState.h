// The connect screen's own state and decisions, free of any toolkit: the add-and-pair form's
// fields with pair-link detection and the steps after a pairing, the removal of a saved host with
// its confirmation, result and focus, the one- or two-column layout, the keyboard focus it asks for
// a turn later, and browsing for nearby hosts while the screen is visible. The view renders it and
// reports the user's input. Main executor only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Executor.h"
#include "base/Settings.h"
#include "client/directory/HostListStore.h"
#include "client/directory/NearbyHosts.h"
#include "client/ui/Announcer.h"
#include "client/viewer/ClientModel.h"

namespace orvanta::client {

class ConnectScreenState final : public std::enable_shared_from_this<ConnectScreenState> {
    struct Passkey {};

public:
    using Kind = HostListStore::Kind;
    using Entry = HostListStore::Entry;

    static constexpr std::string_view kLastAddressKey = "tessaril.client.lastAddress";
    static constexpr std::string_view kDefaultAddress = "https://";
    static constexpr std::string_view kRemovedText = "接続先を削除しました";
    static constexpr std::string_view kRemoveFailedText = "接続先を削除できませんでした";

    // The controls that take keyboard focus; a delete button names its host.
    struct Field {
        enum class Target { deleteButton, address, code, add, connect };
        Target target;
        std::string hostId;
        bool operator==(const Field&) const = default;
    };
    static Field field(Field::Target target) { return {target, {}}; }
    static Field deleteButton(std::string hostId) { return {Field::Target::deleteButton, std::move(hostId)}; }

    struct RemovalResult {
        std::string text;
        bool success = false;
        bool operator==(const RemovalResult&) const = default;
    };

    // What the detail panel's main button does for a host.
    enum class DetailAction { repair, backToSession, connect };

    static std::shared_ptr<ConnectScreenState> create(base::Executor& main, std::shared_ptr<ClientModel> model,
                                                      std::shared_ptr<base::Settings> defaults,
                                                      platform::ServiceBrowserFactory browsers,
                                                      std::shared_ptr<Announcer> announcer);
    ConnectScreenState(Passkey, base::Executor& main, std::shared_ptr<ClientModel> model,
                       std::shared_ptr<base::Settings> defaults, platform::ServiceBrowserFactory browsers,
                       std::shared_ptr<Announcer> announcer);
    ~ConnectScreenState();
    ConnectScreenState(const ConnectScreenState&) = delete;
    ConnectScreenState& operator=(const ConnectScreenState&) = delete;

    // ---- What the view shows.
    ClientModel& model() const { return *model_; }
    const std::vector<NearbyHosts::Host>& nearbyHosts() const { return nearby_.hosts(); }
    bool visible() const { return visible_; }
    bool wide() const { return wide_; }
    bool adding() const { return adding_; }
    std::string address() const;
    const std::optional<std::string>& draftAddress() const { return draftAddress_; }
    const std::string& code() const { return code_; }
    Kind kind() const { return kind_; }
    bool canPair() const;
    const std::optional<Entry>& pendingDelete() const { return pendingDelete_; }
    const std::optional<RemovalResult>& removalResult() const { return removalResult_; }
    const std::optional<Field>& focus() const { return focus_; }
    const std::optional<Field>& rememberedFocus() const { return rememberedFocus_; }

    // The saved host of the running session, and the one whose connection last failed.
    bool isCurrent(const Entry& entry) const;
    bool isFailed(const Entry& entry) const;
    DetailAction detailAction(const Entry& entry) const;

    // ---- The user's input and the screen's events.
    // Shown or hidden as the client side's active screen; browsing follows.
    void setVisible(bool visible);
    void widthChanged(double width);
    // A change of the address field's text, typed or pasted.
    void setAddressText(const std::string& text);
    void setCode(std::string code);
    void setKind(Kind kind);
    void beginAdding(std::optional<std::string> address, Kind kind);
    void cancelAdding();
    void pair();
    // A click, the space key or the accessibility action on a row.
    void selectHost(const std::string& id);
    // A double click on a row.
    void connectHost(const std::string& id);
    void activateDetail(const Entry& entry);
    void askToRemove(const Entry& entry);
    // The confirmation closed; `confirmed` when the user chose to delete.
    void removalAnswered(bool confirmed);
    void remove(const Entry& entry);
    // Asks for focus on the next turn, dropped if the screen is hidden by then.
    void requestFocus(const Field& field);
    // Where keyboard focus is now, as the view saw it move.
    void focusChanged(std::optional<Field> field);

    // After any change of what the view shows.
    std::function<void()> onChange;
    // The view moves keyboard focus to the field.
    std::function<void(const Field&)> onFocus;

private:
    void changed();
    void setFocus(const Field& field);
    void storeAddress(const std::string& text);
    void paired(const std::string& pairedAddress);

    base::Executor& main_;
    std::shared_ptr<ClientModel> model_;
    std::shared_ptr<base::Settings> defaults_;
    std::shared_ptr<Announcer> announcer_;
    NearbyHosts nearby_;

    bool visible_ = false;
    bool browsing_ = false;
    std::optional<std::string> draftAddress_;
    bool adding_ = false;
    std::string code_;
    Kind kind_ = Kind::mac;
    std::optional<Entry> pendingDelete_;
    std::optional<RemovalResult> removalResult_;
    bool wide_ = false;
    std::optional<Field> rememberedFocus_;
    std::optional<Field> focus_;
};

}  // namespace orvanta::client
