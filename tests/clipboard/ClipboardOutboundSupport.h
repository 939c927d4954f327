// What the outbound clipboard tests share: one machine's hub, a client directory on memory stores,
// and a probe client that answers as the test says.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/directory/CredentialStore.h"
#include "client/directory/HostListStore.h"
#include "clipboard/ClipboardSync.h"
#include "platform/HttpClient.h"
#include "support/FakePasteboard.h"
#include "support/ManualExecutor.h"
#include "support/MemorySecretStore.h"
#include "support/MemorySettings.h"

namespace orvanta::testing {

// One machine's settings, pasteboard and hub, with clipboard sync switched on.
struct ClipboardMachine {
    ClipboardMachine(ManualExecutor& main, std::string name) : origin(std::move(name)) {
        settings.set(clipboard::ClipboardSync::kEnabledKey, true);
        hub = std::make_unique<clipboard::ClipboardSync>(main, settings, board, codec, [this] { return origin; });
    }

    // The user copies a text and the hub notices it.
    void copies(const std::string& text) {
        board.userCopies(text);
        hub->poll();
    }

    std::string origin;
    MemorySettings settings;
    FakePasteboard board;
    FakeImageCodec codec;
    std::unique_ptr<clipboard::ClipboardSync> hub;
};

// The client's saved hosts, tokens in memory.
struct ClientDirectory {
    client::HostListStore::Entry add(const std::string& baseURL, const std::string& token, const std::string& hostId) {
        return *store.addOrUpdate(baseURL, token, hostId, client::HostListStore::Kind::mac);
    }

    std::shared_ptr<MemorySettings> settings = std::make_shared<MemorySettings>();
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    client::HostListStore store{
        settings, std::make_shared<client::KeychainTokenVault>(client::CredentialStore(secrets), "ClipboardTest"),
        false};
};

// Records each request with its virtual time and answers it on the next turn of the executor.
class ScriptedHttpClient final : public platform::HttpClient {
public:
    explicit ScriptedHttpClient(ManualExecutor& executor) : executor_(executor) {}

    platform::HttpRequestHandle send(platform::HttpRequest request, base::Executor& executor,
                                     platform::HttpCompletion completion) override {
        seconds.push_back(static_cast<double>(executor_.nowMicros()) / 1e6);
        auto result = answer(request);
        requests.push_back(std::move(request));
        auto cancelled = std::make_shared<bool>(false);
        executor.async([completion = std::move(completion), result = std::move(result), cancelled] {
            if (*cancelled)
                return completion(std::unexpected(platform::HttpError{platform::HttpError::Kind::cancelled, {}}));
            completion(result);
        });
        return platform::HttpRequestHandle([cancelled, this] {
            *cancelled = true;
            ++cancels;
        });
    }

    static platform::HttpResult advertising() { return platform::HttpResponse{200, {}, R"({"clipboard":true})"}; }
    static platform::HttpResult unreachable() {
        return std::unexpected(platform::HttpError{platform::HttpError::Kind::unreachable, "refused"});
    }

    std::function<platform::HttpResult(const platform::HttpRequest&)> answer = [](const auto&) {
        return unreachable();
    };
    std::vector<platform::HttpRequest> requests;
    std::vector<double> seconds;  // virtual time of each request
    int cancels = 0;

private:
    ManualExecutor& executor_;
};

}  // namespace orvanta::testing
