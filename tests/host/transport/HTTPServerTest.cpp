// The HTTP server over real loopback sockets, with its deadlines on virtual time.
#include "host/transport/HTTPServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/write.hpp>
#include <filesystem>
#include <thread>

#include "host/transport/WebSocketTestSupport.h"
#include "support/FakeServiceAdvertiser.h"
#include "support/ManualExecutor.h"
#include "support/ProcSockets.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of live heap bytes (g++ ships the function without its header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace orvanta::host {
namespace {

using namespace std::chrono_literals;
using platform::AdvertisementState;

// A blocking POSIX client to 127.0.0.1; reads never block, so the test thread can keep running
// the server's executor in between.
class TestClient {
public:
    // Port 0 leaves the socket unconnected until connectTo.
    explicit TestClient(std::uint16_t port, int receiveBufferBytes = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBufferBytes > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
        }
        if (port != 0) connectTo(port);
    }

    void connectTo(std::uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~TestClient() { ::close(fd_); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // Takes what has arrived, waiting up to `waitMillis` for the first of it; true once the peer
    // has closed (an orderly end or a reset).
    bool poll(int waitMillis = 1) {
        if (closed_) return true;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, waitMillis) <= 0) return false;
        char buffer[65536];
        while (true) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received_.append(buffer, static_cast<std::size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return false;
            } else {
                closed_ = true;
                return true;
            }
        }
    }

    const std::string& received() const { return received_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string received_;
};

// Runs the executor, and waits for posts from the server's transport thread, until `done` holds.
bool drive(testing::ManualExecutor& executor, const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (!executor.runUntil(done, 2ms)) {
        if (std::chrono::steady_clock::now() > limit) return false;
    }
    return true;
}

std::string reply(std::string_view status, std::string_view type, std::string_view body) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
           "Connection: close\r\n\r\n" +
           std::string(body);
}

std::string emptyReply(std::string_view status) { return reply(status, "text/plain", ""); }

constexpr std::string_view kSampleKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string upgradeRequest(std::string_view path, std::string_view extraHeaders = "") {
    return "GET " + std::string(path) +
           " HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: " +
           std::string(kSampleKey) + "\r\n" + std::string(extraHeaders) + "\r\n";
}

// What the owner receives on an upgrade.
struct Upgraded {
    UpgradedSocket upgraded;
    base::Bytes leftover;
    HTTPRequest request;

    HTTPServer::Socket& socket() { return upgraded.socket; }
};

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

class HTTPServerTest : public ::testing::Test {
protected:
    void SetUp() override { createServer(); }

    void TearDown() override {
        upgraded.clear();
        server.reset();
        executor.runUntilIdle();
    }

    void createServer(HTTPServerOptions options = {}) {
        advertiser = std::make_shared<testing::FakeServiceAdvertiser>(executor);
        options.loopback = {boost::asio::ip::address_v4::loopback(), loopbackOverride};
        options.lan = {boost::asio::ip::address_v4::loopback(), lanOverride};
        options.log = [this](std::string_view line) { logs.emplace_back(line); };
        server = HTTPServer::create(executor, advertiser, options);
        server->onReady = [this] { logs.emplace_back("(ready)"); };
        server->onBonjourPolicyDenied = [this](bool denied) { policyDenied.push_back(denied); };
        server->onFailure = [this](std::string text) { failures.push_back(std::move(text)); };
        auto keep = [this](UpgradedSocket socket, base::Bytes leftover, HTTPRequest request) {
            upgraded.push_back(
                std::make_shared<Upgraded>(Upgraded{std::move(socket), std::move(leftover), std::move(request)}));
        };
        server->onControl = keep;
        server->onVideo = keep;
    }

    void start() {
        ASSERT_TRUE(server->start("Test Mac"));
        executor.runUntilIdle();
        ASSERT_TRUE(server->loopbackPort());
        ASSERT_TRUE(server->lanPort());
    }

    // Sends `request` and returns all the server sent until it closed.
    std::string exchange(std::string_view request, bool lan = false) {
        TestClient client(lan ? *server->lanPort() : *server->loopbackPort());
        EXPECT_TRUE(client.connected());
        client.send(request);
        EXPECT_TRUE(drive(executor, [&] { return client.poll(); })) << "server never closed";
        return client.received();
    }

    bool hasLog(std::string_view line) const { return std::ranges::find(logs, line) != logs.end(); }

    testing::ManualExecutor executor;
    std::uint16_t loopbackOverride = 0;
    std::uint16_t lanOverride = 0;
    std::shared_ptr<testing::FakeServiceAdvertiser> advertiser;
    std::shared_ptr<HTTPServer> server;
    std::vector<std::string> logs;
    std::vector<bool> policyDenied;
    std::vector<std::string> failures;
    std::vector<std::shared_ptr<Upgraded>> upgraded;
};

TEST_F(HTTPServerTest, StartsTheLanListenerAndItsServiceOnlyOnceTheLoopbackListenerIsReady) {
    ASSERT_TRUE(server->start("Test Mac"));
    EXPECT_FALSE(server->lanPort());
    EXPECT_TRUE(advertiser->published.empty());

    executor.runUntilIdle();
    ASSERT_TRUE(server->lanPort());
    ASSERT_EQ(advertiser->published.size(), 1u);
    EXPECT_EQ(advertiser->published[0], (platform::ServiceRegistration{
                                            "Test Mac", "_tessaril._tcp", "local.", *server->lanPort(), {{"v", "2"}}}));
    const std::vector<std::string> expected = {
        "(ready)", "Bonjour listener starting: _tessaril._tcp local. TCP " + std::to_string(*server->lanPort()),
        "Bonjour listener state: ready"};
    EXPECT_EQ(logs, expected);
}

// A program the host starts must not inherit its listeners or its sessions.
TEST_F(HTTPServerTest, ListenersAndAcceptedSocketsAreClosedOnExec) {
    start();
    TestClient client(*server->loopbackPort());
    client.send(upgradeRequest("/v2/control"));
    ASSERT_TRUE(drive(executor, [&] { return upgraded.size() == 1; }));
    const auto loopback = testing::socketDescriptors("self", testing::tcpSocketInodes(*server->loopbackPort()));
    const auto lan = testing::socketDescriptors("self", testing::tcpSocketInodes(*server->lanPort()));
    EXPECT_EQ(loopback.size(), 2u);  // the listener and the accepted socket
    EXPECT_EQ(lan.size(), 1u);
    for (const auto& held : {loopback, lan}) {
        for (int fd : held) EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    }
}

TEST_F(HTTPServerTest, ReportsAdvertisementResults) {
    start();
    advertiser->report(AdvertisementState::policyDenied);
    advertiser->report(AdvertisementState::renamed, "Test Mac #2");
    advertiser->report(AdvertisementState::registered);
    advertiser->report(AdvertisementState::failed, "Daemon not running");
    advertiser->report(AdvertisementState::removed);
    executor.runUntilIdle();
    EXPECT_EQ(policyDenied, (std::vector<bool>{true, false}));
    for (const auto* line :
         {"Bonjour policy denied: Tessaril Settings > Permissions > Local Network",
          "Bonjour service registration changed: renamed: Test Mac -> Test Mac #2", "Bonjour service registered",
          "Bonjour service registration changed: failed: Test Mac (Daemon not running)", "Bonjour service removed"}) {
        EXPECT_TRUE(hasLog(line)) << line;
    }

    server->stop();
    EXPECT_FALSE(advertiser->active);
    EXPECT_EQ(policyDenied.back(), false);
    // A late result of the withdrawn advertisement no longer reaches the owner.
    advertiser->report(AdvertisementState::policyDenied);
    executor.runUntilIdle();
    EXPECT_EQ(policyDenied.size(), 3u);
}

TEST_F(HTTPServerTest, RefusesToStartOnATakenPort) {
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t taken = ntohs(address.sin_port);

    loopbackOverride = taken;
    createServer();
    auto started = server->start("Test Mac");
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().endpoint.port(), taken);
    EXPECT_EQ(started.error().description, "Address already in use");

    // A LAN port that is taken leaves the loopback listener serving.
    loopbackOverride = 0;
    lanOverride = taken;
    createServer();
    ASSERT_TRUE(server->start("Test Mac"));
    executor.runUntilIdle();
    EXPECT_FALSE(server->lanPort());
    EXPECT_TRUE(hasLog("Bonjour listener creation failed: Address already in use"));
    EXPECT_EQ(exchange("GET /v2/capabilities HTTP/1.1\r\n\r\n"),
              reply("200 OK", "application/json", R"({"clipboard":false})"));
    ::close(blocker);
}

TEST_F(HTTPServerTest, StopsAndReportsWhenTheLoopbackListenerFails) {
    start();
    // Shutting a listening socket down makes the pending accept fail as a broken listener would.
    const std::uint16_t port = *server->loopbackPort();
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename());
        sockaddr_in address{};
        socklen_t length = sizeof address;
        int listening = 0;
        socklen_t flagLength = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET &&
            ntohs(address.sin_port) == port &&
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagLength) == 0 && listening) {
            ::shutdown(fd, SHUT_RDWR);
            found = true;
        }
    }
    ASSERT_TRUE(found);
    ASSERT_TRUE(drive(executor, [&] { return !failures.empty(); }));
    EXPECT_EQ(failures, std::vector<std::string>{"Invalid argument"});
    EXPECT_FALSE(server->loopbackPort());
    EXPECT_FALSE(server->lanPort());
    EXPECT_FALSE(advertiser->active);
}

TEST_F(HTTPServerTest, KeepsListeningThroughAShortageOfDescriptors) {
    start();
    TestClient client(*server->loopbackPort());
    ASSERT_TRUE(drive(executor, [&] { return server->connectionCount() == 1; }));
    ASSERT_EQ(executor.pendingCount(), 1u);  // its deadline

    // With no descriptor free below the limit, accepting the next connection fails. Should
    // something else free one meanwhile, the accept succeeds instead, and the test tries again.
    std::unique_ptr<TestClient> starved;
    bool acceptFailed = false;
    for (int attempt = 0; attempt < 5 && !acceptFailed; ++attempt) {
        starved = std::make_unique<TestClient>(0);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit scarce = saved;
        scarce.rlim_cur = static_cast<rlim_t>(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &scarce);
        starved->connectTo(*server->loopbackPort());
        // Nothing runs until the limit is back: sanitizer checks need descriptors of their own.
        const auto limit = std::chrono::steady_clock::now() + 20s;
        while (executor.pendingCount() < 2 && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        ::setrlimit(RLIMIT_NOFILE, &saved);

        executor.runUntilIdle();
        acceptFailed = server->connectionCount() == 1;
        if (!acceptFailed) {
            starved.reset();
            ASSERT_TRUE(drive(executor, [&] { return server->connectionCount() == 1; }));
        }
    }
    ASSERT_TRUE(acceptFailed);

    executor.advance(100ms);
    starved->send("GET /v2/capabilities HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(drive(executor, [&] { return starved->poll(); }));
    EXPECT_EQ(starved->received(), reply("200 OK", "application/json", R"({"clipboard":false})"));
    EXPECT_TRUE(failures.empty());
}

TEST_F(HTTPServerTest, WritesRepliesByteForByte) {
    start();
    EXPECT_EQ(exchange("GET /nowhere HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nCache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\nConnection: close\r\n\r\n");
    server->onPair = [](HTTPRequest, HTTPServer::PairReply reply) { reply("200 OK", base::toBytes(R"({"a":1})")); };
    EXPECT_EQ(exchange("POST /v2/pair HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 7\r\nCache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\nConnection: close\r\n\r\n{\"a\":1}");
}

TEST_F(HTTPServerTest, RoutesByMethodAndPath) {
    start();
    int clipboardAsked = 0;
    server->clipboardAvailable = [&](HTTPServer::ClipboardAnswer answer) {
        ++clipboardAsked;
        answer(true);
    };
    const std::string probeOn = reply("200 OK", "application/json", R"({"clipboard":true})");
    const std::string probeOff = reply("200 OK", "application/json", R"({"clipboard":false})");
    struct Case {
        std::string request;
        std::string expected;
        bool lan = false;
    };
    const std::vector<Case> cases = {
        {"GET /v2/capabilities HTTP/1.1\r\n\r\n", probeOn},
        {"GET /v2/capabilities?x=1&y HTTP/1.1\r\n\r\n", probeOn},
        {"GET /v2/capabilities HTTP/1.1\r\n\r\n", probeOff, true},
        {"POST /v2/capabilities HTTP/1.1\r\n\r\n", emptyReply("404 Not Found")},
        {"GET /v2/Capabilities HTTP/1.1\r\n\r\n", emptyReply("404 Not Found")},
        {"GET /v2/pair HTTP/1.1\r\n\r\n", emptyReply("405 Method Not Allowed")},
        {"PUT /v2/video HTTP/1.1\r\n\r\n", emptyReply("405 Method Not Allowed")},
        {"get /v2/control HTTP/1.1\r\n\r\n", emptyReply("405 Method Not Allowed")},
        {"POST /v2/pair HTTP/1.1\r\n\r\n", emptyReply("503 Service Unavailable")},
        {"GET /v2/control?token=1 HTTP/1.1\r\n\r\n", emptyReply("400 Bad Request")},
        {"GET  /nowhere   HTTP/1.1\r\n\r\n", emptyReply("404 Not Found")},
        {"GET / HTTP/2.0\r\n\r\n", emptyReply("400 Bad Request")},
        {"GET / x HTTP/1.1\r\n\r\n", emptyReply("400 Bad Request")},
        {"\r\n\r\n", emptyReply("400 Bad Request")},
        {"GET /nowhere HTTP/1.1\r\noRiGiN: https://example.com\r\n\r\n", emptyReply("403 Forbidden")},
        {upgradeRequest("/v2/control", "Origin: null\r\n"), emptyReply("403 Forbidden")},
        {"GET /v2/capabilities HTTP/1.1\r\nContent-Length: 4097\r\n\r\n", emptyReply("413 Payload Too Large")},
        {"GET /v2/capabilities HTTP/1.1\r\nContent-Length: -1\r\n\r\n", emptyReply("413 Payload Too Large")},
        {"GET /v2/capabilities HTTP/1.1\r\nContent-Length: ten\r\n\r\n", emptyReply("413 Payload Too Large")},
        {"GET /v2/capabilities HTTP/1.1\r\nContent-Length:\r\n\r\n", emptyReply("413 Payload Too Large")},
        {"POST /v2/pair HTTP/1.1\r\nContent-Length: 4097\r\n\r\n", emptyReply("413 Payload Too Large")},
        {upgradeRequest("/v2/video", "Sec-WebSocket-Version: 8\r\n"), emptyReply("400 Bad Request")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(exchange(c.request, c.lan), c.expected);
    }
    EXPECT_EQ(clipboardAsked, 2);
    EXPECT_TRUE(upgraded.empty());
    EXPECT_TRUE(drive(executor, [&] { return server->connectionCount() == 0; }));
}

TEST_F(HTTPServerTest, AnswersTheProbeWhenTheOwnerAnswersFromAnotherThread) {
    start();
    std::vector<std::thread> answerers;
    server->clipboardAvailable = [&](HTTPServer::ClipboardAnswer answer) {
        answerers.emplace_back([answer] {
            answer(false);
            answer(true);  // a second answer is ignored
        });
    };
    EXPECT_EQ(exchange("GET /v2/capabilities HTTP/1.1\r\n\r\n"),
              reply("200 OK", "application/json", R"({"clipboard":false})"));
    for (auto& thread : answerers) thread.join();
}

TEST_F(HTTPServerTest, HandsAPairingRequestToItsHandler) {
    start();
    std::vector<HTTPRequest> requests;
    server->onPair = [&](HTTPRequest request, HTTPServer::PairReply reply) {
        requests.push_back(request);
        reply("429 Too Many Requests", base::toBytes(R"({"error":"rate_limited"})"));
        reply("200 OK", base::toBytes("{}"));  // only the first reply counts
    };
    const std::string body(4096, 'p');
    TestClient client(*server->loopbackPort());
    client.send("POST /v2/pair?x HTTP/1.1\r\nContent-Length: 4096\r\nX-Forwarded-For: 1.2.3.4\r\n\r\n" +
                body.substr(0, 1000));
    ASSERT_TRUE(drive(executor, [&] { return server->connectionCount() == 1; }));
    client.send(body.substr(1000) + "beyond the body");
    ASSERT_TRUE(drive(executor, [&] { return client.poll(); }));

    EXPECT_EQ(client.received(), reply("429 Too Many Requests", "application/json", R"({"error":"rate_limited"})"));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (HTTPRequest{"POST",
                                        "/v2/pair",
                                        {{"content-length", "4096"}, {"x-forwarded-for", "1.2.3.4"}},
                                        false,
                                        base::toBytes(body)}));
}

TEST_F(HTTPServerTest, DeliversTheWholeReplyToAPeerThatSentMoreThanItsRequest) {
    start();
    HTTPServer::PairReply pending;
    server->onPair = [&](HTTPRequest, HTTPServer::PairReply reply) { pending = std::move(reply); };
    TestClient client(*server->loopbackPort(), 4096);
    client.send("POST /v2/pair HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(drive(executor, [&] { return static_cast<bool>(pending); }));
    client.send("bytes after the request, which the server never reads");
    // A slow reader leaves the reply's tail queued in the server's socket when the write
    // completes; closing then, with input unread, would reset the connection and lose that tail.
    const std::string large(1 << 20, 'j');
    pending("200 OK", base::toBytes(large));
    ASSERT_TRUE(drive(executor, [&] { return client.poll(); }));
    const std::string expected = reply("200 OK", "application/json", large);
    EXPECT_EQ(client.received().size(), expected.size());
    EXPECT_TRUE(client.received() == expected);
}

TEST_F(HTTPServerTest, LimitsTheHeadAndTheBytesBeforeACompleteRequest) {
    start();
    std::size_t paired = 0;
    server->onPair = [&](HTTPRequest request, HTTPServer::PairReply reply) {
        paired = request.body.size();
        reply("200 OK", base::toBytes("{}"));
    };
    auto headOf = [](std::string_view start, std::size_t bytes) {
        std::string head(start);
        head += "X-Fill: ";
        head.append(bytes - head.size(), 'f');
        return head;
    };
    // A head at its bound is read, one byte more ends the connection without a reply.
    EXPECT_EQ(exchange(headOf("GET /nowhere HTTP/1.1\r\n", 16384) + "\r\n\r\n"), emptyReply("404 Not Found"));
    EXPECT_EQ(exchange(headOf("GET /nowhere HTTP/1.1\r\n", 16385) + "\r\n\r\n"), "");

    // 20480 bytes in all make a complete request; 20481 do not.
    const std::string postStart = "POST /v2/pair HTTP/1.1\r\nContent-Length: 4096\r\n";
    const std::string body(4096, 'b');
    EXPECT_EQ(exchange(headOf(postStart, 20480 - 4 - 4096) + "\r\n\r\n" + body),
              reply("200 OK", "application/json", "{}"));
    EXPECT_EQ(paired, 4096u);
    EXPECT_EQ(exchange(headOf(postStart, 20481 - 4 - 4096) + "\r\n\r\n" + body), "");
    EXPECT_EQ(exchange(std::string(20481, 'x')), "");
    EXPECT_TRUE(drive(executor, [&] { return server->connectionCount() == 0; }));
}

TEST_F(HTTPServerTest, UpgradesWithTheProtocolAcceptKeyAndHandsOverTheLeftover) {
    start();
    const std::string frame = "\x81\x85\x01\x02\x03\x04hello-after-the-head";
    TestClient client(*server->loopbackPort());
    client.send(upgradeRequest("/v2/control?device=1", "X-Forwarded-Proto: https\r\n") + frame);
    const std::string expected =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    ASSERT_TRUE(drive(executor, [&] { return !upgraded.empty() && (client.poll(), client.received() == expected); }));

    Upgraded& owner = *upgraded[0];
    EXPECT_EQ(base::asText(owner.leftover), frame);
    EXPECT_EQ(owner.request.path, "/v2/control");
    EXPECT_EQ(owner.request.headers.at("x-forwarded-proto"), "https");
    EXPECT_FALSE(owner.request.isLAN);
    // The socket is the client's connection, now the owner's to use.
    boost::asio::write(owner.socket(), boost::asio::buffer(std::string_view("from the owner")));
    ASSERT_TRUE(drive(executor, [&] { return client.poll(), client.received() == expected + "from the owner"; }));

    TestClient video(*server->lanPort());
    video.send(upgradeRequest("/v2/video"));
    ASSERT_TRUE(drive(executor, [&] { return upgraded.size() == 2; }));
    EXPECT_EQ(upgraded[1]->request.path, "/v2/video");
    EXPECT_TRUE(upgraded[1]->request.isLAN);
    EXPECT_TRUE(upgraded[1]->leftover.empty());
}

TEST_F(HTTPServerTest, KeepsAnUnclaimedUpgradeOpenUntilThePeerLeaves) {
    start();
    server->onVideo = nullptr;
    auto client = std::make_unique<TestClient>(*server->loopbackPort());
    client->send(upgradeRequest("/v2/video"));
    ASSERT_TRUE(drive(executor, [&] { return client->poll(), client->received().starts_with("HTTP/1.1 101 "); }));
    executor.advance(60s);
    EXPECT_EQ(server->connectionCount(), 1u);
    EXPECT_FALSE(client->poll(0));
    client.reset();
    EXPECT_TRUE(drive(executor, [&] { return server->connectionCount() == 0; }));
}

TEST_F(HTTPServerTest, CancelsAConnectionNotUpgradedWithinTenSeconds) {
    start();
    TestClient silent(*server->loopbackPort());
    TestClient slow(*server->loopbackPort());
    ASSERT_TRUE(drive(executor, [&] { return server->connectionCount() == 2; }));
    for (char c : std::string_view("GET /v2/capabilities HTTP/1.1\r\n")) {
        slow.send(std::string(1, c));
        executor.advance(100ms);
    }
    executor.advance(base::Micros(HTTPServer::kUpgradeDeadlineMicros) - 100ms * 31 - 1us);
    EXPECT_EQ(server->connectionCount(), 2u);
    EXPECT_FALSE(silent.poll(0));

    executor.advance(1us);
    EXPECT_EQ(server->connectionCount(), 0u);
    ASSERT_TRUE(drive(executor, [&] { return silent.poll() && slow.poll(); }));
    EXPECT_EQ(silent.received(), "");
    EXPECT_EQ(slow.received(), "");
}

TEST_F(HTTPServerTest, DropsAPairingAnswerThatComesAfterTheDeadline) {
    start();
    HTTPServer::PairReply late;
    server->onPair = [&](HTTPRequest, HTTPServer::PairReply reply) { late = std::move(reply); };
    TestClient client(*server->loopbackPort());
    client.send("POST /v2/pair HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(drive(executor, [&] { return static_cast<bool>(late); }));
    executor.advance(10s);
    ASSERT_TRUE(drive(executor, [&] { return client.poll(); }));
    late("200 OK", base::toBytes("{}"));
    executor.runUntilIdle();
    EXPECT_EQ(client.received(), "");
    EXPECT_EQ(server->connectionCount(), 0u);
}

TEST_F(HTTPServerTest, ExemptsUpgradedConnectionsFromTheDeadline) {
    start();
    TestClient client(*server->loopbackPort());
    client.send(upgradeRequest("/v2/control"));
    ASSERT_TRUE(drive(executor, [&] { return !upgraded.empty(); }));
    executor.advance(30s);
    EXPECT_EQ(server->connectionCount(), 1u);
    boost::asio::write(upgraded[0]->socket(), boost::asio::buffer(std::string_view("still here")));
    ASSERT_TRUE(drive(executor, [&] { return client.poll(), client.received().ends_with("still here"); }));
}

TEST_F(HTTPServerTest, ClosesASeventeenthConnectionAtOnceCountingUpgradedOnes) {
    start();
    std::vector<std::unique_ptr<TestClient>> clients;
    clients.push_back(std::make_unique<TestClient>(*server->loopbackPort()));
    clients.back()->send(upgradeRequest("/v2/control"));
    ASSERT_TRUE(drive(executor, [&] { return upgraded.size() == 1; }));
    for (int i = 1; i < 16; ++i) clients.push_back(std::make_unique<TestClient>(*server->lanPort()));
    ASSERT_TRUE(drive(executor, [&] { return server->connectionCount() == 16; }));

    TestClient seventeenth(*server->loopbackPort());
    ASSERT_TRUE(drive(executor, [&] { return seventeenth.poll(); }));
    EXPECT_EQ(seventeenth.received(), "");
    EXPECT_EQ(server->connectionCount(), 16u);

    // When the upgraded connection's owner lets go of it, its place is free again.
    upgraded.clear();
    EXPECT_EQ(server->connectionCount(), 15u);
    EXPECT_EQ(exchange("GET /v2/capabilities HTTP/1.1\r\n\r\n"),
              reply("200 OK", "application/json", R"({"clipboard":false})"));
}

// Sessions that end with a close handshake give their places back when the connection ends, even
// while their owner still holds the connection objects.
TEST_F(HTTPServerTest, FreesAnUpgradedPlaceWhenItsWebSocketEnds) {
    start();
    std::vector<std::shared_ptr<WebSocketConnection>> sessions;
    auto open = [&](UpgradedSocket socket, base::Bytes leftover, HTTPRequest) {
        sessions.push_back(WebSocketConnection::create(std::move(socket), std::move(leftover), executor,
                                                       executor.clock(), [](std::string_view) {}));
        sessions.back()->start();
    };
    server->onControl = open;
    server->onVideo = open;
    std::vector<std::unique_ptr<TestClient>> clients;
    for (std::size_t i = 0; i < HTTPServer::kMaxConnections; ++i) {
        clients.push_back(std::make_unique<TestClient>(i % 2 ? *server->lanPort() : *server->loopbackPort()));
        clients.back()->send(upgradeRequest(i % 2 ? "/v2/video" : "/v2/control") +
                             std::string(base::asText(testing::closeFrame(1000))));
    }
    ASSERT_TRUE(drive(executor, [&] {
        return sessions.size() == HTTPServer::kMaxConnections &&
               std::ranges::all_of(sessions, [](const auto& session) { return session->isClosed(); });
    }));
    EXPECT_EQ(server->connectionCount(), 0u);
    for (bool lan : {false, true}) {
        EXPECT_EQ(exchange("GET /v2/capabilities HTTP/1.1\r\n\r\n", lan),
                  reply("200 OK", "application/json", R"({"clipboard":false})"));
    }
}

// After its reply the server reads what the peer still sends, so that closing cannot reset the
// reply away; such a connection holds no place, and is closed once the drain bound has passed.
TEST_F(HTTPServerTest, ADrainingPeerHoldsNoPlaceAndIsClosedAfterTheDrainBound) {
    start();
    TestClient client(*server->loopbackPort());
    client.send("GET /v2/capabilities HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(drive(executor, [&] { return client.poll() && server->connectionCount() == 0; }));
    EXPECT_EQ(client.received(), reply("200 OK", "application/json", R"({"clipboard":false})"));

    // A byte sent to a socket the server has closed comes back as a reset, which fails the next send.
    auto resetByServer = [&] { return ::send(client.fd(), "x", 1, MSG_NOSIGNAL) < 0; };
    executor.advance(HTTPServer::kDrainMicros - 1us);
    EXPECT_FALSE(resetByServer());
    EXPECT_FALSE(resetByServer());
    executor.advance(1us);
    EXPECT_TRUE(drive(executor, resetByServer));
}

TEST_F(HTTPServerTest, ForgetsAConnectionThePeerClosedMidRequest) {
    start();
    {
        TestClient client(*server->loopbackPort());
        client.send("GET /v2/capa");
        ASSERT_TRUE(drive(executor, [&] { return server->connectionCount() == 1; }));
    }
    EXPECT_TRUE(drive(executor, [&] { return server->connectionCount() == 0; }));
}

TEST_F(HTTPServerTest, StopClosesEverythingItHolds) {
    start();
    TestClient waiting(*server->loopbackPort());
    ASSERT_TRUE(drive(executor, [&] { return server->connectionCount() == 1; }));
    const std::uint16_t port = *server->loopbackPort();
    server->stop();
    EXPECT_EQ(server->connectionCount(), 0u);
    EXPECT_FALSE(server->loopbackPort());
    ASSERT_TRUE(drive(executor, [&] { return waiting.poll(); }));
    ASSERT_TRUE(drive(executor, [&] {
        TestClient refused(port);
        return !refused.connected();
    }));
}

// ---- Load and faults.

std::size_t allocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

class HTTPServerLoadTest : public HTTPServerTest {
protected:
    // Opens `count` connections at once, all silent, and checks that the server tracks 16 of them
    // and closes the rest at once; then lets the deadline end the 16 and closes the clients.
    void flood(std::size_t count) {
        std::vector<std::unique_ptr<TestClient>> clients;
        for (std::size_t i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<TestClient>(i % 2 ? *server->loopbackPort() : *server->lanPort()));
            ASSERT_TRUE(clients.back()->connected());
        }
        std::size_t peak = 0;
        auto closedByServer = [&] {
            peak = std::max(peak, server->connectionCount());
            std::vector<pollfd> polls;
            for (auto& client : clients) polls.push_back({client->fd(), POLLIN, 0});
            ::poll(polls.data(), polls.size(), 1);
            return std::ranges::count_if(clients, [](auto& client) { return client->poll(0); });
        };
        ASSERT_TRUE(drive(executor, [&] {
            return closedByServer() == static_cast<std::ptrdiff_t>(count - HTTPServer::kMaxConnections);
        }));
        EXPECT_LE(peak, HTTPServer::kMaxConnections);
        EXPECT_EQ(server->connectionCount(), HTTPServer::kMaxConnections);

        executor.advance(HTTPServer::kUpgradeDeadlineMicros);
        EXPECT_EQ(server->connectionCount(), 0u);
        ASSERT_TRUE(drive(executor, [&] { return closedByServer() == static_cast<std::ptrdiff_t>(count); }));
        for (auto& client : clients) EXPECT_EQ(client->received(), "");
    }
};

TEST_F(HTTPServerLoadTest, HoldsAFloodToSixteenConnectionsAndServesAfterwards) {
    start();
    const std::size_t descriptors = openDescriptors();
    flood(1000);
    EXPECT_EQ(exchange("GET /v2/capabilities HTTP/1.1\r\n\r\n"),
              reply("200 OK", "application/json", R"({"clipboard":false})"));
    // Every socket the server accepted is closed again. (Fewer is fine: servers of earlier tests
    // in this process may still have been closing theirs at the start.)
    EXPECT_TRUE(drive(executor, [&] { return openDescriptors() <= descriptors; }))
        << openDescriptors() << " descriptors open, " << descriptors << " before";
}

TEST_F(HTTPServerLoadTest, KeepsNoMemoryFromOneFloodToTheNext) {
    start();
    flood(1000);
    executor.runUntilIdle();
    const std::size_t before = allocatedBytes();
    flood(1000);
    executor.runUntilIdle();
    const std::size_t after = allocatedBytes();
    constexpr std::size_t kSlackBytes = 512 * 1024;
    EXPECT_LT(after, before + kSlackBytes) << "grew by " << (after - before) << " bytes";
}

}  // namespace
}  // namespace orvanta::host
