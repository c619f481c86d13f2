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

struct Script {
    std::atomic<int> fd{-1};
    std::atomic<int> failures{0};  // calls that fail before the real ones
    std::atomic<int> error{0};
    std::atomic<int> calls{0};

    bool fails(int on) {
        if (on != fd.load()) return false;
        if (calls.fetch_add(1) >= failures.load()) return false;
        errno = error.load();
        return true;
    }
};
Script script;

}  // namespace

extern "C" ssize_t recv(int fd, void *buf, size_t len, int flags) {
    if (script.fails(fd)) return -1;
    return syscall(SYS_recvfrom, fd, buf, len, flags, nullptr, nullptr);
}

extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags) {
    if (script.fails(fd)) return -1;
    return syscall(SYS_sendto, fd, buf, len, flags, nullptr, 0);
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

class ScriptedTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        conn.fd = sv[0];
        conn.ops = &counting_ops;
        closes = 0;
    }
    void TearDown() override {
        script.fd = -1;
        conn_close(&conn);
        close(sv[1]);
    }
    // The next `failures` calls on the connection fail with `error`.
    void fail(int failures, int error) {
        script.calls = 0;
        script.failures = failures;
        script.error = error;
        script.fd = conn.fd;
    }
    int read() { return conn.ops->read(&conn, buf, sizeof buf); }
    int write() { return conn.ops->write(&conn, "ping", 4); }

    int sv[2] = {-1, -1};
    connection_t conn{};
    char buf[16] = {};
};

TEST_F(ScriptedTest, ElevenInterruptionsLeaveTheTwelfthCallItsResult) {
    ASSERT_EQ(::write(sv[1], "pong", 4), 4);
    fail(11, EINTR);
    ASSERT_EQ(read(), 4);
    EXPECT_EQ(std::string(buf, 4), "pong");
    EXPECT_EQ(script.calls.load(), 12);

    fail(11, EINTR);
    ASSERT_EQ(write(), 4);
    EXPECT_EQ(script.calls.load(), 12);
    ASSERT_EQ(::read(sv[1], buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_GE(conn.fd, 0);
    EXPECT_EQ(closes.load(), 0);
}

// Endless interruptions give up after twelve calls; any other error ends the
// call at once.  Either way the connection is closed through its table.
TEST_F(ScriptedTest, EachErrorMapsToItsCodeAndCloses) {
    struct Case {
        bool writing;
        int error;
        int result;
        int calls;
    };
    const Case cases[] = {
        {false, EINTR, TALVO_ERROR, 12},       {true, EINTR, TALVO_PEER_GONE, 12},
        {false, EAGAIN, TALVO_TIMEOUT, 1},     {false, ECONNRESET, TALVO_ERROR, 1},
        {false, EPIPE, TALVO_ERROR, 1},        {false, ENOMEM, TALVO_ERROR, 1},
        {true, EAGAIN, TALVO_TIMEOUT, 1},      {true, EPIPE, TALVO_PEER_GONE, 1},
        {true, ECONNRESET, TALVO_PEER_GONE, 1}, {true, ENOBUFS, TALVO_ERROR, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.writing ? "write " : "read ") + strerrorname_np(c.error));
        TearDown();
        SetUp();
        fail(1000, c.error);
        EXPECT_EQ(c.writing ? write() : read(), c.result);
        EXPECT_EQ(script.calls.load(), c.calls);
        EXPECT_EQ(conn.fd, -1);
        EXPECT_EQ(closes.load(), 1);
    }
}

}  // namespace
