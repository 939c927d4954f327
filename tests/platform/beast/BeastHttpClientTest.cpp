#include "platform/beast/BeastHttpClient.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "support/LoopbackHttpServer.h"
#include "support/ManualExecutor.h"

namespace orvanta::platform {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackHttpServer;
using testing::ManualExecutor;
using Reply = LoopbackHttpServer::Reply;
using Kind = HttpError::Kind;

// One request whose completions are counted, driven on virtual time.
class Call {
public:
    Call(HttpClient& client, ManualExecutor& executor, HttpRequest request) : executor_(executor) {
        handle_ = client.send(std::move(request), executor, [this](HttpResult result) {
            ++completions_;
            result_ = std::move(result);
        });
    }

    const HttpResult& wait() {
        EXPECT_TRUE(executor_.runUntil([this] { return completions_ > 0; }));
        return result_;
    }
    int completions() const { return completions_; }
    const HttpRequestHandle& handle() const { return handle_; }

private:
    ManualExecutor& executor_;
    HttpRequestHandle handle_;
    int completions_ = 0;
    HttpResult result_ = std::unexpected(HttpError{Kind::cancelled, "not finished"});
};

HttpRequest get(std::string url) {
    HttpRequest request;
    request.url = std::move(url);
    return request;
}

class BeastHttpClientTest : public ::testing::Test {
protected:
    ManualExecutor executor;
    BeastHttpClient client;
};

TEST_F(BeastHttpClientTest, SendsTheRequestAndReturnsTheResponse) {
    LoopbackHttpServer server([](const auto&) { return Reply::http(201, "done", "X-Reply: ok\r\n", "text/plain"); });
    HttpRequest request;
    request.method = "POST";
    request.url = server.url() + "/a/b?x=1#fragment";
    request.headers = {{"Content-Type", "application/json"}, {"X-Test", "yes"}};
    request.body = "hello";

    Call call(client, executor, request);
    const HttpResult& result = call.wait();

    ASSERT_TRUE(result.has_value()) << describe(result.error());
    EXPECT_EQ(result->status, 201);
    EXPECT_EQ(result->body, "done");
    EXPECT_NE(std::ranges::find(result->headers, HttpHeader{"X-Reply", "ok"}), result->headers.end());
    auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].target, "/a/b?x=1");
    EXPECT_EQ(received[0].header("Host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(received[0].header("Content-Length"), "5");
    EXPECT_EQ(received[0].header("Content-Type"), "application/json");
    EXPECT_EQ(received[0].header("X-Test"), "yes");
    EXPECT_EQ(received[0].body, "hello");
}

TEST_F(BeastHttpClientTest, ClassifiesAnswersThatAreNotUsableResponses) {
    struct Case {
        const char* name;
        Reply reply;
        Kind expected;
    };
    const Case cases[] = {
        {"a line that is no status line", Reply::raw("hello there\r\nfoo\r\n\r\n"), Kind::notHttp},
        {"HTML without any head", Reply::raw("<html><body>hi</body></html>"), Kind::notHttp},
        {"a status line with a bad version", Reply::raw("HTTP/9 200 OK\r\n\r\n"), Kind::notHttp},
        {"closed before a byte", Reply::raw(""), Kind::connectionLost},
        {"body cut short", Reply::raw("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"), Kind::connectionLost},
        {"declared body over the limit", Reply::http(200, std::string(2000, 'x')), Kind::tooLarge},
        {"endless chunked body", Reply::endless(), Kind::tooLarge},
        {"head over the limit", Reply::raw("HTTP/1.1 200 OK\r\nX: " + std::string(70'000, 'a') + "\r\n\r\n"),
         Kind::tooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server([&](const auto&) { return c.reply; });
        HttpRequest request = get(server.url());
        request.maxResponseBodyBytes = 1000;
        Call call(client, executor, request);
        const HttpResult& result = call.wait();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, c.expected) << describe(result.error());
    }
}

TEST_F(BeastHttpClientTest, ReportsRedirectWithoutFollowingIt) {
    LoopbackHttpServer server([](const auto&) { return Reply::http(302, "", "Location: /elsewhere\r\n"); });
    Call call(client, executor, get(server.url() + "/v2/pair"));
    const HttpResult& result = call.wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, 302);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(BeastHttpClientTest, ReportsClosedPortAsUnreachable) {
    std::uint16_t port;
    {
        LoopbackHttpServer closed([](const auto&) { return Reply::silent(); });
        port = closed.port();
    }
    Call call(client, executor, get("http://127.0.0.1:" + std::to_string(port)));
    const HttpResult& result = call.wait();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, Kind::unreachable);
}

TEST_F(BeastHttpClientTest, RefusesUrlsItCannotRequest) {
    for (const char* url : {"", "ftp://127.0.0.1/file", "http://", "http:///path", "/v2/pair", "http://[::1"}) {
        SCOPED_TRACE(url);
        Call call(client, executor, get(url));
        const HttpResult& result = call.wait();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, Kind::invalidUrl);
    }
}

TEST_F(BeastHttpClientTest, TimesOutWhenTheAnswerDoesNotComeInTime) {
    LoopbackHttpServer server([](const auto&) { return Reply::silent(); });
    HttpRequest request = get(server.url());
    request.timeout = 3s;
    Call call(client, executor, request);
    ASSERT_TRUE(server.waitForRequests(1));

    executor.advance(2999ms);
    EXPECT_EQ(call.completions(), 0);
    executor.advance(1ms);
    const HttpResult& result = call.wait();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, Kind::timedOut);
    EXPECT_EQ(call.completions(), 1);
}

TEST_F(BeastHttpClientTest, CancelEndsTheRequestOnce) {
    LoopbackHttpServer server([](const auto&) { return Reply::silent(); });
    Call call(client, executor, get(server.url()));
    ASSERT_TRUE(server.waitForRequests(1));

    call.handle().cancel();
    call.handle().cancel();
    const HttpResult& result = call.wait();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, Kind::cancelled);
    executor.advance(120s);
    EXPECT_EQ(call.completions(), 1);
}

TEST_F(BeastHttpClientTest, DestroyedClientDropsRequestsInFlight) {
    LoopbackHttpServer server([](const auto&) { return Reply::silent(); });
    auto doomed = std::make_unique<BeastHttpClient>();
    Call call(*doomed, executor, get(server.url()));
    ASSERT_TRUE(server.waitForRequests(1));

    doomed.reset();
    call.handle().cancel();
    executor.advance(120s);
    EXPECT_EQ(call.completions(), 0);
}

// A lookup that answers only when released, as a ".local" name nobody claims; every other name is
// the loopback address. Shared with the lookup threads, which may outlive the test's client.
struct StuckLookUp {
    std::mutex mutex;
    std::condition_variable released;
    std::condition_variable asking;
    bool free = false;
    std::vector<std::string> asked;

    static BeastHttpClient::LookUp in(const std::shared_ptr<StuckLookUp>& state) {
        return [state](const std::string& host) -> std::expected<std::vector<std::string>, std::string> {
            std::unique_lock lock(state->mutex);
            state->asked.push_back(host);
            state->asking.notify_all();
            if (host == "stuck.local") state->released.wait(lock, [&] { return state->free; });
            return std::vector<std::string>{"127.0.0.1"};
        };
    }
    std::vector<std::string> hosts() {
        std::lock_guard lock(mutex);
        return asked;
    }
    // Waits for the `count`th lookup to begin; the bound only keeps a broken test from hanging.
    bool waitForLookups(std::size_t count) {
        std::unique_lock lock(mutex);
        return asking.wait_for(lock, 10s, [&] { return asked.size() >= count; });
    }
    void release() {
        std::lock_guard lock(mutex);
        free = true;
        released.notify_all();
    }
};

TEST_F(BeastHttpClientTest, AStuckLookupDelaysNoOtherRequestAndIsAbandoned) {
    LoopbackHttpServer server([](const auto&) { return Reply::http(200, "ok"); });
    auto lookUp = std::make_shared<StuckLookUp>();
    auto named = std::make_unique<BeastHttpClient>(
        BeastHttpClient::Options{.trustedCertificatesPem = std::nullopt, .lookUp = StuckLookUp::in(lookUp)});
    Call stuck(*named, executor, get(server.url("stuck.local")));
    ASSERT_TRUE(lookUp->waitForLookups(1));

    Call literal(*named, executor, get(server.url()));
    ASSERT_TRUE(literal.wait().has_value()) << describe(literal.wait().error());
    Call other(*named, executor, get(server.url("other.test")));
    ASSERT_TRUE(other.wait().has_value()) << describe(other.wait().error());
    EXPECT_EQ(lookUp->hosts(), (std::vector<std::string>{"stuck.local", "other.test"}));  // no lookup of 127.0.0.1

    stuck.handle().cancel();
    ASSERT_FALSE(stuck.wait().has_value());
    EXPECT_EQ(stuck.wait().error().kind, Kind::cancelled);

    // Destroyed with a lookup still running: the destructor does not wait for it.
    Call abandoned(*named, executor, get(server.url("stuck.local")));
    ASSERT_TRUE(lookUp->waitForLookups(3));
    named.reset();
    lookUp->release();
    executor.advance(120s);
    EXPECT_EQ(abandoned.completions(), 0);
    EXPECT_EQ(stuck.completions(), 1);
}

TEST_F(BeastHttpClientTest, ChecksCertificateAgainstTrustAndHostName) {
    struct Case {
        const char* name;
        const char* altNames;
        const char* host;
        bool trusted;
        bool accepted;
    };
    const Case cases[] = {
        {"trusted, name matches", "DNS:localhost", "localhost", true, true},
        {"trusted, address matches", "IP:127.0.0.1", "127.0.0.1", true, true},
        {"trusted, name missing from the certificate", "IP:127.0.0.1", "localhost", true, false},
        {"trusted, address missing from the certificate", "DNS:localhost", "127.0.0.1", true, false},
        {"not trusted", "IP:127.0.0.1", "127.0.0.1", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto identity = testing::makeSelfSignedIdentity(c.altNames);
        LoopbackHttpServer server([](const auto&) { return Reply::http(200, "{}"); }, identity);
        BeastHttpClient::Options options;
        if (c.trusted) options.trustedCertificatesPem = identity.certificatePem;
        BeastHttpClient tlsClient(options);

        Call call(tlsClient, executor, get(server.url(c.host)));
        const HttpResult& result = call.wait();
        if (c.accepted) {
            ASSERT_TRUE(result.has_value()) << describe(result.error());
            EXPECT_EQ(result->body, "{}");
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error().kind, Kind::tlsFailure) << describe(result.error());
            EXPECT_TRUE(server.requests().empty());
        }
    }
}

}  // namespace
}  // namespace orvanta::platform
