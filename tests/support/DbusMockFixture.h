// Private D-Bus buses and python3-dbusmock services for tests of session-state backends: a bus
// daemon per role (standing in for the system or the session bus), a dbusmock process on it
// (logind's template, or a bare object that the test gives methods), and a small sd-bus client to
// drive the mocks. Everything is stopped by PID and dies with the test process. Needs dbus-daemon
// and Debian's /usr/bin/python3 with python3-dbusmock; link sd-bus (libsystemd) to use it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace orvanta::testing {

// An sd-bus client of one bus, for test set-up.
class BusClient {
public:
    static std::expected<BusClient, std::string> connect(const std::string& address) {
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) return std::unexpected("sd_bus_new failed");
        sd_bus_set_address(bus, address.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (const int r = sd_bus_start(bus); r < 0) {
            sd_bus_unref(bus);
            return std::unexpected("cannot connect to " + address + ": " + std::to_string(r));
        }
        return BusClient(bus);
    }

    // Waits, without polling, until `name` has an owner; false after `limit`.
    bool waitForName(const std::string& name, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const std::string match =
            "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" + name + "'";
        sd_bus_slot* slot = nullptr;
        sd_bus_add_match(bus_.get(), &slot, match.c_str(), nullptr, nullptr);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool owned = false;
        while (!(owned = hasOwner(name)) && std::chrono::steady_clock::now() < deadline) {
            while (sd_bus_process(bus_.get(), nullptr) > 0) {
            }
            if (hasOwner(name)) break;
            sd_bus_wait(bus_.get(), 200'000);
        }
        sd_bus_slot_unref(slot);
        return owned || hasOwner(name);
    }

    // Calls a method and checks that it succeeded; arguments as sd_bus_call_method takes them.
    template <class... Args>
    void call(const char* destination, const char* path, const char* interface, const char* member,
              const char* signature, Args... args) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int r =
            sd_bus_call_method(bus_.get(), destination, path, interface, member, &error, &reply, signature, args...);
        EXPECT_GE(r, 0) << member << ": " << (error.message ? error.message : "");
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }

private:
    struct Deleter {
        void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
    };
    explicit BusClient(sd_bus* bus) : bus_(bus) {}

    bool hasOwner(const std::string& name) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int owned = 0;
        if (sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error, &reply, "s", name.c_str()) >= 0) {
            sd_bus_message_read(reply, "b", &owned);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return owned != 0;
    }

    std::unique_ptr<sd_bus, Deleter> bus_;
};

// One private bus daemon; its address is ready once start returns.
class PrivateBus {
public:
    static std::expected<std::unique_ptr<PrivateBus>, std::string> start() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected("pipe failed");
        auto pid = startChild({{"dbus-daemon", "--session", "--nofork", "--print-address=3"}, {}, {}, fds[1]});
        ::close(fds[1]);
        if (!pid) {
            ::close(fds[0]);
            return std::unexpected(pid.error());
        }
        std::unique_ptr<PrivateBus> bus(new PrivateBus(*pid));
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') bus->address_ += c;
        ::close(fds[0]);
        if (bus->address_.empty()) return std::unexpected("dbus-daemon did not start (is dbus-daemon installed?)");
        return bus;
    }
    ~PrivateBus() {
        stopMocks();
        stopChild(pid_);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }

    // Runs python3-dbusmock with `arguments` on this bus as the system (or session) bus, and waits
    // until it owns `name`.
    std::expected<pid_t, std::string> runMock(std::vector<std::string> arguments, const std::string& name, bool system,
                                              std::vector<std::string> environment = {}) {
        std::vector<std::string> argv = {"/usr/bin/python3", "-m", "dbusmock"};
        if (system) argv.push_back("--system");
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        environment.push_back(std::string(system ? "DBUS_SYSTEM_BUS_ADDRESS=" : "DBUS_SESSION_BUS_ADDRESS=") +
                              address_);
        auto pid = startChild({argv, environment, {}, -1});
        if (!pid) return std::unexpected(pid.error());
        mocks_.push_back(*pid);
        auto client = BusClient::connect(address_);
        if (!client) return std::unexpected(client.error());
        if (!client->waitForName(name)) return std::unexpected("dbusmock did not take " + name);
        return *pid;
    }

    void stopMocks() {
        for (const pid_t mock : mocks_) stopChild(mock);
        mocks_.clear();
    }

private:
    explicit PrivateBus(pid_t pid) : pid_(pid) {}

    pid_t pid_;
    std::string address_;
    std::vector<pid_t> mocks_;
};

}  // namespace orvanta::testing
