#include "client/directory/Pairing.h"

#include <chrono>

namespace orvanta::client::PairingClient {
namespace {

constexpr auto kRequestTimeoutSeconds = std::chrono::seconds(20);

// A refusal's own words, if it has any: a body that is not a JSON object or has no text
// "message" has none.
std::optional<std::string> serverMessage(const std::string& body) {
    auto json = base::parseJsonObject(body);
    if (!json) return std::nullopt;
    return base::JsonObjectReader(*json).lenient<std::string>("message");
}

std::expected<Result, Error> interpret(platform::HttpResult response) {
    if (!response) {
        if (response.error().kind == platform::HttpError::Kind::notHttp) {
            return std::unexpected(Failure::noHTTPResponse());
        }
        return std::unexpected(std::move(response.error()));
    }
    if (response->status != 200)
        return std::unexpected(Failure::server(serverMessage(response->body), response->status));
    auto json = base::parseJsonObject(response->body);
    if (!json) return std::unexpected(json.error());
    base::JsonObjectReader reader(*json);
    Result result{reader.required<std::string>("deviceToken"), reader.required<std::string>("hostId")};
    if (reader.failed()) return std::unexpected(*reader.error());
    if (result.deviceToken.empty() || result.hostId.empty()) return std::unexpected(Failure::invalidResponse());
    return result;
}

}  // namespace

std::string Failure::errorDescription() const {
    switch (kind) {
        case Kind::server:
            if (message) return *message;
            return "ペアリングに失敗しました（HTTP " + std::to_string(status) + "）。";
        case Kind::noHTTPResponse:
            return "サーバーの応答を確認できません。";
        case Kind::invalidResponse:
            return "ペアリング応答が不正です。";
    }
    return {};
}

std::string describe(const Error& error) {
    struct Describe {
        std::string operator()(const Failure& failure) const { return failure.errorDescription(); }
        std::string operator()(const platform::HttpError& http) const { return platform::describe(http); }
        std::string operator()(const base::JsonEncodeError& encode) const {
            return "cannot write the request (" + encode.path + "): " + encode.detail;
        }
        std::string operator()(const base::JsonError& decode) const { return base::describe(decode); }
    };
    return std::visit(Describe{}, error);
}

platform::HttpRequestHandle pair(platform::HttpClient& http, const base::Url& baseURL, std::string_view code,
                                 const std::string& deviceId, const std::string& deviceName, base::Executor& executor,
                                 Completion completion) {
    base::Json body = base::Json::object();
    body["code"] = std::string(base::trimWhitespace(code));
    body["deviceId"] = deviceId;
    body["deviceName"] = deviceName;
    // The writer sorts keys, which here is also the order the request lists them in.
    auto text = base::writeJsonText(body);
    if (!text) {
        executor.async(
            [completion = std::move(completion), error = text.error()] { completion(std::unexpected(error)); });
        return {};
    }

    platform::HttpRequest request;
    request.method = "POST";
    request.url = baseURL.appendingPath("v2/pair").text();
    request.headers = {{"Content-Type", "application/json"}};
    request.body = std::move(*text);
    request.timeout = kRequestTimeoutSeconds;
    return http.send(std::move(request), executor, [completion = std::move(completion)](platform::HttpResult response) {
        completion(interpret(std::move(response)));
    });
}

}  // namespace orvanta::client::PairingClient
