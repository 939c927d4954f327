// ServiceBrowsers whose reports the test plays. Each browser's record outlives the browser, so a
// test can also play the late callback of a browser its owner already dropped.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ServiceBrowser.h"

namespace orvanta::testing {

struct FakeServiceBrowserRecord {
    struct Resolution {
        platform::ServiceBrowser::ResolveId id;
        platform::ServiceEndpoint endpoint;
        base::Micros timeout;
        platform::ServiceBrowser::ResolveCompletion completion;
        bool stopped = false;
    };

    std::string type;
    std::string domain;
    bool started = false;
    bool cancelled = false;
    bool destroyed = false;
    // Taken from the browser at start().
    std::function<void(platform::ServiceBrowser::State)> onStateChanged;
    std::function<void(const std::vector<platform::ServiceEndpoint>&)> onResultsChanged;
    std::vector<Resolution> resolutions;

    void report(platform::ServiceBrowser::State state) const {
        if (onStateChanged) onStateChanged(state);
    }
    void reportResults(const std::vector<platform::ServiceEndpoint>& results) const {
        if (onResultsChanged) onResultsChanged(results);
    }

    // The latest resolution asked for `name`, or null.
    Resolution* resolutionOf(const std::string& name) {
        for (auto it = resolutions.rbegin(); it != resolutions.rend(); ++it) {
            if (it->endpoint.name == name) return &*it;
        }
        return nullptr;
    }
    // Delivers a resolution's result, stopped or not, as a late backend would.
    void finish(const std::string& name, platform::ResolveResult result) {
        if (Resolution* resolution = resolutionOf(name)) resolution->completion(std::move(result));
    }
};

class FakeServiceBrowser final : public platform::ServiceBrowser {
public:
    explicit FakeServiceBrowser(std::shared_ptr<FakeServiceBrowserRecord> record) : record_(std::move(record)) {}
    ~FakeServiceBrowser() override { record_->destroyed = true; }

    void start() override {
        record_->started = true;
        record_->onStateChanged = onStateChanged;
        record_->onResultsChanged = onResultsChanged;
    }
    void cancel() override { record_->cancelled = true; }
    ResolveId resolve(const platform::ServiceEndpoint& endpoint, base::Micros timeout,
                      ResolveCompletion completion) override {
        ResolveId id = record_->resolutions.size() + 1;
        record_->resolutions.push_back({id, endpoint, timeout, std::move(completion)});
        return id;
    }
    void stopResolving(ResolveId id) override {
        for (auto& resolution : record_->resolutions) {
            if (resolution.id == id) resolution.stopped = true;
        }
    }

private:
    std::shared_ptr<FakeServiceBrowserRecord> record_;
};

// Makes fake browsers and keeps the record of each, oldest first.
class FakeServiceBrowsers {
public:
    platform::ServiceBrowserFactory factory() {
        return [this](std::string_view type, std::string_view domain) {
            auto record = std::make_shared<FakeServiceBrowserRecord>();
            record->type = type;
            record->domain = domain;
            records.push_back(record);
            return std::make_unique<FakeServiceBrowser>(record);
        };
    }

    FakeServiceBrowserRecord& latest() { return *records.back(); }

    std::vector<std::shared_ptr<FakeServiceBrowserRecord>> records;
};

}  // namespace orvanta::testing
