#include "client/directory/Pairing.h"

#include <gtest/gtest.h>

#include "platform/beast/BeastHttpClient.h"
#include "support/LoopbackHttpServer.h"
#include "support/ManualExecutor.h"

namespace orvanta::client {
namespace {

using namespace std::chrono_literals;
using PairingClient::Error;
using PairingClient::Failure;
using PairingClient::Result;
using testing::LoopbackHttpServer;
using Reply = LoopbackHttpServer::Reply;
using Outcome = std::expected<Result, Error>;

Reply tokenReply(int status = 200) { return Reply::http(status, R"({"deviceToken":"tok-1","hostId":"host-1"})"); }

class PairingClientTest : public ::testing::Test {
protected:
    // Starts a pairing and returns where its outcome will land.
    std::shared_ptr<std::optional<Outcome>> begin(platform::HttpClient& client, const std::string& baseURL,
                                                  std::string_view code = "ABCD-EFGH-J",
                                                  const std::string& deviceName = "My Mac") {
        auto outcome = std::make_shared<std::optional<Outcome>>();
        auto url = base::Url::parse(baseURL);
        EXPECT_TRUE(url.has_value()) << baseURL;
        PairingClient::pair(client, *url, code, "macos-1234", deviceName, executor,
                            [outcome](Outcome result) { *outcome = std::move(result); });
        return outcome;
    }

    Outcome pairWith(const std::string& baseURL, std::string_view code = "ABCD-EFGH-J",
                     const std::string& deviceName = "My Mac") {
        auto outcome = begin(http, baseURL, code, deviceName);
        EXPECT_TRUE(executor.runUntil([&] { return outcome->has_value(); }));
        return outcome->value_or(std::unexpected(Failure::noHTTPResponse()));
    }

    testing::ManualExecutor executor;
    platform::BeastHttpClient http;
};

TEST_F(PairingClientTest, TradesTheCodeForATokenAndHostId) {
    LoopbackHttpServer server(
        [](const auto&) { return Reply::http(200, R"({"hostId":"host-1","deviceToken":"tok-1","extra":[1]})"); });
    Outcome outcome = pairWith(server.url(), " \u3000ABCD-efgh-J\r\n", "Taro's Mac/2");

    ASSERT_TRUE(outcome.has_value()) << PairingClient::describe(outcome.error());
    EXPECT_EQ(*outcome, (Result{"tok-1", "host-1"}));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v2/pair");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, R"({"code":"ABCD-efgh-J","deviceId":"macos-1234","deviceName":"Taro's Mac\/2"})");
}

TEST_F(PairingClientTest, PostsBelowThePathOfTheBaseUrl) {
    LoopbackHttpServer server([](const auto&) { return tokenReply(); });
    const std::pair<const char*, const char*> cases[] = {
        {"", "/v2/pair"}, {"/", "/v2/pair"}, {"/proxy", "/proxy/v2/pair"}, {"/proxy/", "/proxy/v2/pair"}};
    for (const auto& [path, target] : cases) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(pairWith(server.url() + path).has_value());
        EXPECT_EQ(server.requests().back().target, target);
    }
}

TEST_F(PairingClientTest, ReportsRefusalsWithTheirText) {
    struct Case {
        const char* name;
        Reply reply;
        Failure expected;
        std::string text;
    };
    const std::string statusText = "ペアリングに失敗しました（HTTP ";
    const Case cases[] = {
        {"refusal in the host's own words", Reply::http(401, R"({"error":"invalid_code"})"),
         Failure::server(std::nullopt, 401), statusText + "401）。"},
        {"refusal with a message", Reply::http(500, R"({"message":"ホストが混み合っています"})"),
         Failure::server("ホストが混み合っています", 500), "ホストが混み合っています"},
        {"empty message", Reply::http(403, R"({"message":""})"), Failure::server("", 403), ""},
        {"message that is no text", Reply::http(404, R"({"message":5})"), Failure::server(std::nullopt, 404),
         statusText + "404）。"},
        {"HTML error page", Reply::http(502, "<html><body>Bad gateway</body></html>", {}, "text/html"),
         Failure::server(std::nullopt, 502), statusText + "502）。"},
        {"empty body", Reply::http(429, ""), Failure::server(std::nullopt, 429), statusText + "429）。"},
        {"success status other than 200", tokenReply(201), Failure::server(std::nullopt, 201), statusText + "201）。"},
        {"redirect, not followed", Reply::http(302, "", "Location: /elsewhere\r\n"), Failure::server(std::nullopt, 302),
         statusText + "302）。"},
        {"empty token", Reply::http(200, R"({"deviceToken":"","hostId":"host-1"})"), Failure::invalidResponse(),
         "ペアリング応答が不正です。"},
        {"empty host id", Reply::http(200, R"({"deviceToken":"tok-1","hostId":""})"), Failure::invalidResponse(),
         "ペアリング応答が不正です。"},
        {"not HTTP at all", Reply::raw("SSH-2.0-OpenSSH\r\n\r\n"), Failure::noHTTPResponse(),
         "サーバーの応答を確認できません。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server([&](const auto&) { return c.reply; });
        Outcome outcome = pairWith(server.url());
        ASSERT_FALSE(outcome.has_value());
        ASSERT_TRUE(std::holds_alternative<Failure>(outcome.error())) << PairingClient::describe(outcome.error());
        EXPECT_EQ(std::get<Failure>(outcome.error()), c.expected);
        EXPECT_EQ(PairingClient::describe(outcome.error()), c.text);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST_F(PairingClientTest, ReportsUndecodableSuccessAsDecodingError) {
    using Kind = base::JsonError::Kind;
    const std::pair<const char*, Kind> cases[] = {
        {"not json", Kind::dataCorrupted},
        {"<!DOCTYPE html><html><body>Welcome</body></html>", Kind::dataCorrupted},
        {R"({"hostId":"host-1"})", Kind::keyNotFound},
        {R"({"deviceToken":7,"hostId":"host-1"})", Kind::typeMismatch},
        {R"({"deviceToken":null,"hostId":"host-1"})", Kind::valueNotFound},
        {"[]", Kind::typeMismatch},
    };
    for (const auto& [body, kind] : cases) {
        SCOPED_TRACE(body);
        LoopbackHttpServer server([&](const auto&) { return Reply::http(200, body); });
        Outcome outcome = pairWith(server.url());
        ASSERT_FALSE(outcome.has_value());
        ASSERT_TRUE(std::holds_alternative<base::JsonError>(outcome.error()));
        EXPECT_EQ(std::get<base::JsonError>(outcome.error()).kind, kind);
    }
}

TEST_F(PairingClientTest, PassesTransportErrorsThrough) {
    std::string closedPort;
    {
        LoopbackHttpServer gone([](const auto&) { return Reply::silent(); });
        closedPort = gone.url();
    }
    LoopbackHttpServer oversized([](const auto&) { return Reply::http(200, std::string(2 << 20, ' ')); });
    LoopbackHttpServer endless([](const auto&) { return Reply::endless(); });
    const std::pair<std::string, platform::HttpError::Kind> cases[] = {
        {closedPort, platform::HttpError::Kind::unreachable},
        {oversized.url(), platform::HttpError::Kind::tooLarge},
        {endless.url(), platform::HttpError::Kind::tooLarge},
    };
    for (const auto& [url, kind] : cases) {
        SCOPED_TRACE(url);
        Outcome outcome = pairWith(url);
        ASSERT_FALSE(outcome.has_value());
        ASSERT_TRUE(std::holds_alternative<platform::HttpError>(outcome.error()));
        EXPECT_EQ(std::get<platform::HttpError>(outcome.error()).kind, kind);
    }
}

TEST_F(PairingClientTest, GivesUpAfterTwentySeconds) {
    LoopbackHttpServer server([](const auto&) { return Reply::silent(); });
    auto outcome = begin(http, server.url());
    ASSERT_TRUE(server.waitForRequests(1));

    executor.advance(19'999ms);
    EXPECT_FALSE(outcome->has_value());
    executor.advance(1ms);
    ASSERT_TRUE(executor.runUntil([&] { return outcome->has_value(); }));
    ASSERT_FALSE(outcome->value().has_value());
    ASSERT_TRUE(std::holds_alternative<platform::HttpError>(outcome->value().error()));
    EXPECT_EQ(std::get<platform::HttpError>(outcome->value().error()).kind, platform::HttpError::Kind::timedOut);
}

TEST_F(PairingClientTest, IsAbandonedThroughItsHandle) {
    LoopbackHttpServer server([](const auto&) { return Reply::silent(); });
    std::optional<Outcome> outcome;
    int completions = 0;
    auto handle = PairingClient::pair(http, *base::Url::parse(server.url()), "ABCD", "macos-1234", "My Mac", executor,
                                      [&](Outcome result) {
                                          ++completions;
                                          outcome = std::move(result);
                                      });
    ASSERT_TRUE(server.waitForRequests(1));
    handle.cancel();
    ASSERT_TRUE(executor.runUntil([&] { return outcome.has_value(); }));
    ASSERT_FALSE(outcome->has_value());
    ASSERT_TRUE(std::holds_alternative<platform::HttpError>(outcome->error()));
    EXPECT_EQ(std::get<platform::HttpError>(outcome->error()).kind, platform::HttpError::Kind::cancelled);
    executor.advance(30s);
    EXPECT_EQ(completions, 1);
}

TEST_F(PairingClientTest, RefusesTextThatCannotBeSent) {
    LoopbackHttpServer server([](const auto&) { return tokenReply(); });
    Outcome outcome = pairWith(server.url(), "ABCD", "Mac \xff");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_TRUE(std::holds_alternative<base::JsonEncodeError>(outcome.error()));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(PairingClientTest, PairsOverHttpsOnlyWithATrustedMatchingCertificate) {
    struct Case {
        const char* name;
        const char* altNames;
        bool trusted;
        bool paired;
    };
    const Case cases[] = {
        {"trusted certificate for this address", "IP:127.0.0.1", true, true},
        {"certificate nobody trusts", "IP:127.0.0.1", false, false},
        {"trusted certificate for another host", "DNS:elsewhere.test", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto identity = testing::makeSelfSignedIdentity(c.altNames);
        LoopbackHttpServer server([](const auto&) { return tokenReply(); }, identity);
        platform::BeastHttpClient::Options options;
        if (c.trusted) options.trustedCertificatesPem = identity.certificatePem;
        platform::BeastHttpClient client(options);

        auto outcome = begin(client, server.url());
        ASSERT_TRUE(executor.runUntil([&] { return outcome->has_value(); }));
        if (c.paired) {
            EXPECT_EQ(outcome->value(), (Result{"tok-1", "host-1"}));
        } else {
            ASSERT_FALSE(outcome->value().has_value());
            ASSERT_TRUE(std::holds_alternative<platform::HttpError>(outcome->value().error()));
            EXPECT_EQ(std::get<platform::HttpError>(outcome->value().error()).kind,
                      platform::HttpError::Kind::tlsFailure);
            EXPECT_TRUE(server.requests().empty());
        }
    }
}

}  // namespace
}  // namespace orvanta::client
