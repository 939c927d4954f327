// A device's side of the host's HTTP endpoints: one blocking request over loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "base/Json.h"

namespace orvanta::testing {

struct HttpAnswer {
    std::string status;
    base::Json body;
};

// One request to 127.0.0.1, blocking; run it off the test's thread. The body is sent with its length.
inline HttpAnswer request(std::uint16_t port, const std::string& method, const std::string& path,
                          const std::string& body = {}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const std::string text = method + " " + path +
                                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                                 "Content-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        char buffer[4096];
        pollfd poller{fd, POLLIN, 0};
        while (::poll(&poller, 1, 10'000) > 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    HttpAnswer answer;
    const auto lineEnd = received.find("\r\n");
    if (received.starts_with("HTTP/1.1 ") && lineEnd != std::string::npos)
        answer.status = received.substr(9, lineEnd - 9);
    if (const auto head = received.find("\r\n\r\n"); head != std::string::npos) {
        answer.body = base::Json::parse(received.substr(head + 4), nullptr, false);
    }
    return answer;
}

inline HttpAnswer postPair(std::uint16_t port, const std::string& body) {
    return request(port, "POST", "/v2/pair", body);
}

inline std::string pairBody(const std::string& code, const std::string& deviceId, const std::string& name = "Tab") {
    return base::Json{{"code", code}, {"deviceId", deviceId}, {"deviceName", name}}.dump();
}

}  // namespace orvanta::testing
