// Loopback sockets, records and a watchdog for the suites of the plain socket
// operations: every blocking call has a bound, and the watchdog ends a test that hangs anyway.
#pragma once

#include "talvo.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

namespace talvo_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// Ends the process (SIGALRM) if its test runs longer than `limit`.
struct Watchdog {
    explicit Watchdog(std::chrono::seconds limit = 60s) { alarm(static_cast<unsigned>(limit.count())); }
    ~Watchdog() { alarm(0); }
};

struct Fd {
    explicit Fd(int fd = -1) : fd(fd) {}
    Fd(Fd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ~Fd() { reset(); }
    int get() const { return fd; }
    void reset() {
        if (fd >= 0) close(std::exchange(fd, -1));
    }
    int fd;
};

// Open descriptors of this process, the count's own included as every time.
inline int open_fd_count() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// A listening record on 127.0.0.1, set up as bindPort does and closed through std_close_ss.
struct Listener {
    explicit Listener(int backlog = 64) : ss(new server_socket_t{}) {
        ss->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(ss->fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(ss->fd, backlog) != 0 ||
            getsockname(ss->fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        ss->conn_read_timeout = ss->conn_write_timeout = 65000;
        ss->accept = std_accept;
        ss->close = std_close_ss;
    }
    ~Listener() { std_close_ss(ss.get()); }
    Fd connect_client(int flags = 0) const {
        Fd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
        connect(client.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address);
        return client;
    }

    std::unique_ptr<server_socket_t> ss;
    sockaddr_in address{};
};

// A connection record as nativeAllocate makes it.
struct Conn {
    Conn() {
        c.server_sin = reinterpret_cast<sockaddr *>(c.server_data);
        c.client_sin = reinterpret_cast<sockaddr *>(c.client_data);
        c.ops = &std_ops;
        c.fd = -1;
    }
    ~Conn() { conn_close(&c); }
    Conn(const Conn &) = delete;  // the record points into itself
    connection_t *operator->() { return &c; }
    connection_t *get() { return &c; }

    connection_t c{};
};

// Waits (bounded) until `fd` has something to report: data, an end or an error.
inline bool wait_readable(int fd, int ms = 2000) {
    pollfd item{fd, POLLIN, 0};
    return poll(&item, 1, ms) == 1;
}

}  // namespace talvo_test
