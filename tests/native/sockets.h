// Loopback sockets, records and a watchdog for the suites of the plain
// socket operations.  Every blocking call made through these helpers has a
// bound, and the watchdog ends a test that hangs anyway.
#pragma once

#include "talvo.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
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

inline double ms_since(steady::time_point start) {
    return std::chrono::duration<double, std::milli>(steady::now() - start).count();
}

// Ends the process (SIGALRM) if the test that owns it runs longer than
// `limit`: a hung accept or join must fail the run, not stall it.
struct Watchdog {
    explicit Watchdog(std::chrono::seconds limit = 60s) { alarm(static_cast<unsigned>(limit.count())); }
    ~Watchdog() { alarm(0); }
};

// An owned descriptor.
struct Fd {
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(std::exchange(fd_, -1));
    }

private:
    int fd_;
};

// Open descriptors of this process (the count's own included, as every time).
inline int open_fd_count() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Waits (bounded) until `n` threads are inside std_accept on `ss`, as its close sees them.
inline void wait_until_accepting(server_socket_t *ss, int n) {
    std::atomic_ref<int> accepting(ss->accept_threads);
    auto deadline = steady::now() + 10s;
    while (accepting.load() < n && steady::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(accepting.load(), n);
}

// A listening record on 127.0.0.1 and a kernel-given port, set up as the
// server's bind does; closed through std_close_ss unless a test did.
struct Listener {
    explicit Listener(int backlog = 64) : ss(new server_socket_t{}) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(fd, backlog) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        ss->fd = fd;
        ss->conn_read_timeout = 65000;
        ss->conn_write_timeout = 65000;
        ss->accept = std_accept;
        ss->close = std_close_ss;
    }
    ~Listener() { std_close_ss(ss.get()); }
    // A blocking client connection; its reads wait at most 5 s.
    Fd connect_client() const {
        Fd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connect(client.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            ADD_FAILURE() << "connect to the listener failed";
        timeval five_seconds{5, 0};
        setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &five_seconds, sizeof five_seconds);
        return client;
    }

    std::unique_ptr<server_socket_t> ss;
    sockaddr_in address{};
};

// A connection record as the server allocates it: zero, own address
// buffers, the plain table, no descriptor.
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
    int read(char *buf, int len) { return c.ops->read(&c, buf, len); }
    int write(const char *buf, int len) { return c.ops->write(&c, buf, len); }

    connection_t c{};
};

// Waits (bounded) until `fd` has something to report: data, an end or an error.
inline bool wait_readable(int fd, int ms = 2000) {
    pollfd item{fd, POLLIN, 0};
    return poll(&item, 1, ms) == 1;
}

}  // namespace talvo_test
