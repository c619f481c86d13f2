// The plain socket operations: the accept fill, a reset and the listener's close
// on loopback connections, and the blocking pair's retries and results, with recv
// and send replaced in this program to fail on a chosen descriptor with a chosen error.
#include "sockets.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <vector>

using namespace talvo_test;

namespace {

// The next `failures` calls on `fd` fail with `error`; other descriptors get the real call.
struct Script {
    std::atomic<int> fd{-1}, failures{0}, error{0}, calls{0};
    bool fails(int on) {
        if (on != fd.load() || calls.fetch_add(1) >= failures.load()) return false;
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

// The plain table with a close that counts: failures close through the record's own table.
std::atomic<int> closes{0};
const connection_ops_t counting_ops = {std_ops.read, std_ops.read_nonblock, std_ops.write, std_ops.write_nonblock,
                                       [](connection_t *conn) { ++closes; return conn_close(conn); },
                                       std_ops.read_client_certificate};

class StdTest : public testing::Test {
protected:
    Watchdog watchdog;
    Listener listener;
    Fd client = listener.connect_client();
    Conn conn;
};

TEST_F(StdTest, AcceptSetsTheOptionsAndCloseClosesOnce) {
    listener.ss->conn_write_timeout = 1500;
    conn->sock = &conn;  // a previous secure state must not survive
    ASSERT_EQ(std_accept(listener.ss.get(), conn.get()), 1);
    EXPECT_EQ(conn->sock, nullptr);
    EXPECT_EQ(conn->ssl_lock, &listener.ss->ssl_lock);
    timeval read{}, write{};
    socklen_t length = sizeof read;
    ASSERT_EQ(getsockopt(conn->fd, SOL_SOCKET, SO_RCVTIMEO, &read, &length), 0);
    ASSERT_EQ(getsockopt(conn->fd, SOL_SOCKET, SO_SNDTIMEO, &write, &length), 0);
    EXPECT_EQ(std::pair(read.tv_sec, read.tv_usec), std::pair(65L, 0L));
    EXPECT_EQ(std::pair(write.tv_sec, write.tv_usec), std::pair(1L, 500000L));
    char buf[16];
    for (auto op : {std_ops.read, std_ops.read_nonblock}) EXPECT_EQ(op(conn.get(), buf, -1), -1);
    for (auto op : {std_ops.write, std_ops.write_nonblock}) EXPECT_EQ(op(conn.get(), buf, -1), -1);
    int fd = conn->fd;
    EXPECT_EQ(conn_close(conn.get()), 1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(conn_close(conn.get()), 1);  // and leaves alone whatever reuses the number
    EXPECT_EQ(conn->fd, -1);
}

// After a reset the non-blocking send takes the error and leaves the
// connection open; the next send meets EPIPE, which must not raise SIGPIPE.
TEST_F(StdTest, ASendToAPeerThatResetRaisesNoSignalAndCloses) {
    ASSERT_EQ(std_accept(listener.ss.get(), conn.get()), 1);
    linger hard{1, 0};
    setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client.reset();
    EXPECT_TRUE(wait_readable(conn->fd));
    EXPECT_EQ(std_ops.write_nonblock(conn.get(), "x", 1), -1);
    EXPECT_GE(conn->fd, 0);
    EXPECT_EQ(std_ops.write(conn.get(), "x", 1), TALVO_PEER_GONE);
    EXPECT_EQ(conn->fd, -1);
}

// A full backlog-1 queue, and threads counted in accept but not yet blocked there: the queue
// cannot take the wake-up connections they are owed, so the close bounds each attempt and its
// wait for takers, and returns only once the threads have left.
TEST(FullQueue, CloseWithThreadsInAcceptIsBoundedAndWaitsForThem) {
    Watchdog watchdog;
    Listener listener{1};
    std::vector<Fd> queued;
    for (int i = 0; i < 8; i++) {
        Fd client = listener.connect_client(SOCK_NONBLOCK);
        pollfd item{client.get(), POLLOUT, 0};
        if (poll(&item, 1, 200) != 1) break;
        queued.push_back(std::move(client));
    }
    ASSERT_FALSE(queued.empty());
    ASSERT_LT(queued.size(), 8u);
    std::atomic_ref<int> accepting(listener.ss->accept_threads);
    accepting.fetch_add(21);
    auto start = steady::now();
    auto closing = std::async(std::launch::async, [ss = listener.ss.get()] { std_close_ss(ss); });
    EXPECT_TRUE(wait_readable(queued[0].get(), 10000));  // shutting the listener resets the queue
    EXPECT_LT(steady::now() - start, 4s);
    EXPECT_EQ(closing.wait_for(50ms), std::future_status::timeout) << "returned while threads were inside accept";
    accepting.fetch_sub(21);
    EXPECT_EQ(closing.wait_for(5s), std::future_status::ready);
}

// On a fresh socket pair `failures` calls fail with `error`, then the real call runs.  Up to
// eleven interruptions leave the twelfth call its result; endless ones give up after twelve calls;
// any other error ends the call at once.  A failure closes the connection through its table.
TEST(Scripted, EachErrorMapsToItsCodeAndCloses) {
    struct Case { bool writing; int failures, error, result, calls; };
    const Case cases[] = {
        {false, 11, EINTR, 4, 12},                   {true, 11, EINTR, 4, 12},
        {false, 1000, EINTR, TALVO_ERROR, 12},       {true, 1000, EINTR, TALVO_PEER_GONE, 12},
        {false, 1, EAGAIN, TALVO_TIMEOUT, 1},        {false, 1, ECONNRESET, TALVO_ERROR, 1},
        {false, 1, EPIPE, TALVO_ERROR, 1},           {false, 1, ENOMEM, TALVO_ERROR, 1},
        {true, 1, EAGAIN, TALVO_TIMEOUT, 1},         {true, 1, EPIPE, TALVO_PEER_GONE, 1},
        {true, 1, ECONNRESET, TALVO_PEER_GONE, 1},   {true, 1, ENOBUFS, TALVO_ERROR, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.writing ? "write " : "read ") << strerrorname_np(c.error) << c.failures);
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
        script.fd = -1;
        EXPECT_EQ(script.calls.load(), c.calls);
        bool passed = c.result == 4;
        EXPECT_EQ(conn.fd >= 0, passed);
        EXPECT_EQ(closes.load(), passed ? 0 : 1);
        if (passed && c.writing) { ASSERT_EQ(::read(sv[1], buf, sizeof buf), 4); }
        EXPECT_EQ(std::string(buf, 4), !passed ? std::string(4, '\0') : c.writing ? "ping" : "pong");
        conn_close(&conn);
        close(sv[1]);
    }
}

}  // namespace
