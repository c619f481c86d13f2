// The blocking pair's retry and result rules, with recv and send replaced in
// this program by versions that fail on a chosen descriptor with a chosen
// error and count their calls.  Every other descriptor gets the real call.
#include "talvo.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

// The next `failures` calls on `fd` fail with `error`.
struct Script {
    std::atomic<int> fd{-1}, failures{0}, error{0}, calls{0};

    bool fails(int on) {
        if (on != fd.load()) return false;
        if (calls.fetch_add(1) >= failures.load()) return false;
        errno = error.load();
        return true;
    }
} script;

}  // namespace

extern "C" ssize_t recv(int fd, void *buf, size_t len, int flags) {
    return script.fails(fd) ? -1 : syscall(SYS_recvfrom, fd, buf, len, flags, nullptr, nullptr);
}

extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags) {
    return script.fails(fd) ? -1 : syscall(SYS_sendto, fd, buf, len, flags, nullptr, 0);
}

namespace {

// The plain table with a close that counts, to see that failures close
// through the record's own table.
std::atomic<int> closes{0};
int counting_close(connection_t *conn) {
    closes.fetch_add(1);
    return conn_close(conn);
}
const connection_ops_t counting_ops = {std_ops.read,  std_ops.read_nonblock, std_ops.write, std_ops.write_nonblock,
                                       counting_close, std_ops.read_client_certificate};

// Each case on a fresh socket pair: `failures` calls fail with `error`, then
// the real call runs.  Up to eleven interruptions leave the twelfth call its
// result; endless ones give up after twelve calls; any other error ends the
// call at once.  A failure closes the connection through its table.
TEST(Scripted, EachErrorMapsToItsCodeAndCloses) {
    struct Case {
        bool writing;
        int failures, error, result, calls;
    };
    const Case cases[] = {
        {false, 11, EINTR, 4, 12},                   {true, 11, EINTR, 4, 12},
        {false, 1000, EINTR, TALVO_ERROR, 12},       {true, 1000, EINTR, TALVO_PEER_GONE, 12},
        {false, 1, EAGAIN, TALVO_TIMEOUT, 1},        {false, 1, ECONNRESET, TALVO_ERROR, 1},
        {false, 1, EPIPE, TALVO_ERROR, 1},           {false, 1, ENOMEM, TALVO_ERROR, 1},
        {true, 1, EAGAIN, TALVO_TIMEOUT, 1},         {true, 1, EPIPE, TALVO_PEER_GONE, 1},
        {true, 1, ECONNRESET, TALVO_PEER_GONE, 1},   {true, 1, ENOBUFS, TALVO_ERROR, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.writing ? "write " : "read ") + strerrorname_np(c.error) + " x" +
                     std::to_string(c.failures));
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        connection_t conn{};
        conn.fd = sv[0];
        conn.ops = &counting_ops;
        closes = 0;
        ASSERT_EQ(::write(sv[1], "pong", 4), 4);
        script.calls = 0;
        script.failures = c.failures;
        script.error = c.error;
        script.fd = conn.fd;
        char buf[16] = {};
        EXPECT_EQ(c.writing ? conn.ops->write(&conn, "ping", 4) : conn.ops->read(&conn, buf, sizeof buf), c.result);
        EXPECT_EQ(script.calls.load(), c.calls);
        bool passed = c.result == 4;
        EXPECT_EQ(conn.fd >= 0, passed);
        EXPECT_EQ(closes.load(), passed ? 0 : 1);
        if (passed) {
            if (c.writing) { ASSERT_EQ(::read(sv[1], buf, sizeof buf), 4); }
            EXPECT_EQ(std::string(buf, 4), c.writing ? "ping" : "pong");
        }
        script.fd = -1;
        conn_close(&conn);
        close(sv[1]);
    }
}

}  // namespace
