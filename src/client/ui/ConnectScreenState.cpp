#include "client/ui/ConnectScreenState.h"

#include "base/Url.h"
#include "client/directory/PairLink.h"
#include "client/ui/ClientScreenRules.h"

namespace orvanta::client {

std::shared_ptr<ConnectScreenState> ConnectScreenState::create(base::Executor& main, std::shared_ptr<ClientModel> model,
                                                               std::shared_ptr<base::Settings> defaults,
                                                               platform::ServiceBrowserFactory browsers,
                                                               std::shared_ptr<Announcer> announcer) {
    auto state = std::make_shared<ConnectScreenState>(Passkey{}, main, std::move(model), std::move(defaults),
                                                      std::move(browsers), std::move(announcer));
    state->nearby_.onHostsChanged = [weak = std::weak_ptr<ConnectScreenState>(state)](const auto&) {
        if (auto self = weak.lock()) self->changed();
    };
    return state;
}

ConnectScreenState::ConnectScreenState(Passkey, base::Executor& main, std::shared_ptr<ClientModel> model,
                                       std::shared_ptr<base::Settings> defaults,
                                       platform::ServiceBrowserFactory browsers, std::shared_ptr<Announcer> announcer)
    : main_(main),
      model_(std::move(model)),
      defaults_(std::move(defaults)),
      announcer_(std::move(announcer)),
      nearby_(std::move(browsers)) {}

ConnectScreenState::~ConnectScreenState() {
    nearby_.onHostsChanged = nullptr;
    nearby_.stop();
}

void ConnectScreenState::changed() {
    if (onChange) onChange();
}

// ---------------------------------------------------------------------------------------------
// Visibility, layout and focus

void ConnectScreenState::setVisible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    if (!visible) {
        nearby_.stop();
        return changed();
    }
    nearby_.start();
    if (rememberedFocus_) requestFocus(*rememberedFocus_);
    changed();
}

void ConnectScreenState::widthChanged(double width) {
    const bool wide = wideLayout(width);
    if (wide == wide_) return;
    const auto before = focus_;
    wide_ = wide;
    changed();
    if (before == field(Field::Target::connect)) requestFocus(*before);
}

void ConnectScreenState::requestFocus(const Field& target) {
    main_.async([weak = weak_from_this(), target] {
        if (auto self = weak.lock(); self && self->visible_) self->setFocus(target);
    });
}

void ConnectScreenState::setFocus(const Field& target) {
    focusChanged(target);
    if (onFocus) onFocus(target);
}

void ConnectScreenState::focusChanged(std::optional<Field> target) {
    focus_ = std::move(target);
    if (visible_ && focus_) rememberedFocus_ = focus_;
}

// ---------------------------------------------------------------------------------------------
// Saved hosts

bool ConnectScreenState::isCurrent(const Entry& entry) const {
    const auto& connection = model_->connection();
    return ClientModel::isLive(connection.state()) && connection.hostEntryId() == entry.id;
}

bool ConnectScreenState::isFailed(const Entry& entry) const { return model_->failedEntryID()() == entry.id; }

ConnectScreenState::DetailAction ConnectScreenState::detailAction(const Entry& entry) const {
    if (isFailed(entry) && model_->needsPairing()()) return DetailAction::repair;
    if (isCurrent(entry)) return DetailAction::backToSession;
    return DetailAction::connect;
}

void ConnectScreenState::selectHost(const std::string& id) {
    model_->hosts().select(id);
    adding_ = false;
    changed();
}

void ConnectScreenState::connectHost(const std::string& id) {
    selectHost(id);
    model_->connect();
}

void ConnectScreenState::activateDetail(const Entry& entry) {
    if (detailAction(entry) == DetailAction::repair) return beginAdding(entry.baseURL, entry.kind);
    model_->connect();
}

void ConnectScreenState::askToRemove(const Entry& entry) {
    pendingDelete_ = entry;
    changed();
}

void ConnectScreenState::removalAnswered(bool confirmed) {
    const auto entry = std::exchange(pendingDelete_, std::nullopt);
    if (confirmed && entry) return remove(*entry);
    changed();
}

void ConnectScreenState::remove(const Entry& entry) {
    const bool removed = model_->removeHost(entry.id);
    const std::string text(removed ? kRemovedText : kRemoveFailedText);
    removalResult_ = RemovalResult{text, removed};
    if (!removed) {
        requestFocus(deleteButton(entry.id));
    } else if (adding_) {
        requestFocus(field(Field::Target::address));
    } else if (model_->hosts().isEmpty()) {
        requestFocus(field(Field::Target::add));
    } else {
        requestFocus(field(Field::Target::connect));
    }
    if (announcer_) announcer_->announce(text);
    changed();
}

// ---------------------------------------------------------------------------------------------
// The add-and-pair form

std::string ConnectScreenState::address() const {
    if (draftAddress_) return *draftAddress_;
    return defaults_->string(kLastAddressKey).value_or(std::string(kDefaultAddress));
}

void ConnectScreenState::storeAddress(const std::string& text) {
    if (draftAddress_) {
        draftAddress_ = text;
    } else {
        defaults_->set(kLastAddressKey, text);
    }
}

void ConnectScreenState::setAddressText(const std::string& text) {
    if (const auto link = PairLink::parse(text)) {
        code_ = link->code;
        storeAddress(link->baseURL);
    } else {
        storeAddress(text);
    }
    changed();
}

void ConnectScreenState::setCode(std::string code) {
    code_ = std::move(code);
    changed();
}

void ConnectScreenState::setKind(Kind kind) {
    kind_ = kind;
    changed();
}

bool ConnectScreenState::canPair() const { return !model_->pairing()() && !base::trimWhitespace(code_).empty(); }

void ConnectScreenState::beginAdding(std::optional<std::string> address, Kind kind) {
    const bool proposed = address.has_value();
    draftAddress_ = std::move(address);
    kind_ = kind;
    code_.clear();
    model_->clearErrorMessage();
    adding_ = true;
    changed();
    requestFocus(field(proposed ? Field::Target::code : Field::Target::address));
}

void ConnectScreenState::cancelAdding() {
    adding_ = false;
    draftAddress_.reset();
    changed();
    setFocus(field(Field::Target::add));
}

void ConnectScreenState::pair() {
    if (base::trimWhitespace(code_).empty()) return;
    const std::string pairedAddress = address();
    model_->addHost(pairedAddress, code_, kind_, [weak = weak_from_this(), pairedAddress](bool added) {
        auto self = weak.lock();
        if (self && added) self->paired(pairedAddress);
    });
    changed();
}

void ConnectScreenState::paired(const std::string& pairedAddress) {
    if (draftAddress_) defaults_->set(kLastAddressKey, pairedAddress);
    draftAddress_.reset();
    code_.clear();
    adding_ = false;
    rememberedFocus_ = field(Field::Target::connect);
    changed();
    requestFocus(field(Field::Target::connect));
}

}  // namespace orvanta::client
