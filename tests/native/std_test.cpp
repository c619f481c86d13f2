// The plain socket operations on real loopback connections: results and
// closing of the blocking pair, the accept fill, and the listener's close.
// Waking the threads inside accept is the race suite's (server_socket_test).
#include "sockets.h"

#include <fcntl.h>

#include <future>
#include <string>
#include <vector>

using namespace talvo_test;

namespace {

class StdTest : public testing::Test {
protected:
    // A client and the server side accepted from it into a record.
    struct Pair {
        Fd client;
        std::unique_ptr<Conn> server = std::make_unique<Conn>();
    };
    Pair accept_pair() {
        Pair pair;
        pair.client = listener.connect_client();
        EXPECT_EQ(std_accept(listener.ss.get(), pair.server->get()), 1);
        return pair;
    }
    // The same, with a peer that then resets the connection.
    Pair reset_pair() {
        Pair pair = accept_pair();
        linger hard{1, 0};
        setsockopt(pair.client.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        pair.client.reset();
        EXPECT_TRUE(wait_readable(pair.server->c.fd));
        return pair;
    }

    Watchdog watchdog;
    Listener listener;
};

TEST_F(StdTest, APeerThatClosesReadsAsTheEndAndOneThatResetsCloses) {
    char buf[16];
    Pair clean = accept_pair();
    ASSERT_EQ(send(clean.client.get(), "hello", 5, 0), 5);
    clean.client.reset();
    ASSERT_EQ(clean.server->read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(clean.server->read(buf, sizeof buf), 0);
    EXPECT_EQ(clean.server->read(buf, sizeof buf), 0);
    EXPECT_GE(clean.server->c.fd, 0);

    Pair reader = reset_pair();
    EXPECT_EQ(reader.server->read(buf, sizeof buf), TALVO_ERROR);
    EXPECT_EQ(reader.server->c.fd, -1);

    Pair writer = reset_pair();  // ECONNRESET
    EXPECT_EQ(writer.server->write("x", 1), TALVO_PEER_GONE);
    EXPECT_EQ(writer.server->c.fd, -1);

    // The non-blocking send takes the reset and leaves the connection open;
    // the next send meets EPIPE, which must not raise SIGPIPE.
    Pair piped = reset_pair();
    EXPECT_EQ(piped.server->c.ops->write_nonblock(piped.server->get(), "x", 1), -1);
    EXPECT_GE(piped.server->c.fd, 0);
    EXPECT_EQ(piped.server->write("x", 1), TALVO_PEER_GONE);
    EXPECT_EQ(piped.server->c.fd, -1);
}

TEST_F(StdTest, TimeOutsGiveMinusFourAndClose) {
    listener.ss->conn_read_timeout = 200;
    listener.ss->conn_write_timeout = 200;
    Pair reader = accept_pair();
    char buf[16];
    auto start = steady::now();
    EXPECT_EQ(reader.server->read(buf, sizeof buf), TALVO_TIMEOUT);
    EXPECT_GE(ms_since(start), 150);
    EXPECT_EQ(reader.server->c.fd, -1);

    // The client never reads: sends fill both buffers, then one waits out
    // the send time-out.
    Pair writer = accept_pair();
    std::vector<char> block(1 << 16, 'x');
    int result = 0;
    for (int i = 0; i < 4096 && result >= 0; i++) result = writer.server->write(block.data(), 1 << 16);
    EXPECT_EQ(result, TALVO_TIMEOUT);
    EXPECT_EQ(writer.server->c.fd, -1);
}

TEST_F(StdTest, RefusedCallsTouchNothingAndCloseIsIdempotent) {
    char buf[16];
    EXPECT_EQ(std_ops.read(nullptr, buf, 1), -1);
    EXPECT_EQ(conn_close(nullptr), -1);
    Pair pair = accept_pair();
    Conn &open = *pair.server;
    for (auto op : {open->ops->read, open->ops->read_nonblock})
        EXPECT_EQ(op(open.get(), buf, -1), -1);
    for (auto op : {open->ops->write, open->ops->write_nonblock})
        EXPECT_EQ(op(open.get(), buf, -1), -1);
    int fd = open->fd;
    EXPECT_GE(fd, 0);
    EXPECT_EQ(conn_close(open.get()), 1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(conn_close(open.get()), 1);
    EXPECT_EQ(open->fd, -1);
}

TEST_F(StdTest, AcceptSetsTheSocketOptions) {
    listener.ss->conn_write_timeout = 1500;
    Fd client = listener.connect_client();
    Conn conn;
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
}

// A backlog-1 listener whose accept queue holds all it can; nobody accepts.
TEST(FullQueue, CloseReturnsAtOnceUnlessThreadsWaitForWakeUpsItCannotQueue) {
    for (int waiting : {0, 21}) {
        SCOPED_TRACE(waiting);
        Watchdog watchdog;
        Listener listener{1};
        std::vector<Fd> queued;
        for (int i = 0; i < 8; i++) {
            Fd client(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            connect(client.get(), reinterpret_cast<sockaddr *>(&listener.address), sizeof listener.address);
            pollfd item{client.get(), POLLOUT, 0};
            if (poll(&item, 1, 200) != 1) break;
            queued.push_back(std::move(client));
        }
        ASSERT_FALSE(queued.empty());
        ASSERT_LT(queued.size(), 8u);
        // Threads counted in accept but not yet blocked there are owed
        // wake-up connections that the full queue cannot take.
        std::atomic_ref<int> accepting(listener.ss->accept_threads);
        accepting.fetch_add(waiting);
        auto start = steady::now();
        auto closing = std::async(std::launch::async, [ss = listener.ss.get()] { std_close_ss(ss); });
        // Shutting the listener resets the queued connections.  With waiters
        // the close may spend 21 bounded attempts and its one-second wait for
        // takers; a blocking connect would retry for minutes.
        EXPECT_TRUE(wait_readable(queued[0].get(), 10000));
        if (waiting == 0) {
            EXPECT_EQ(closing.wait_for(100ms), std::future_status::ready) << "made a wake-up attempt for nobody";
            // Entering after the close, while the record still exists, gives 0 at once.
            Conn late;
            EXPECT_EQ(std_accept(listener.ss.get(), late.get()), 0);
            EXPECT_LT(ms_since(start), 1000);
            EXPECT_EQ(late->fd, -1);
            EXPECT_EQ(listener.ss->fd, -1);
            continue;  // and the listener's own close after this one does nothing
        }
        EXPECT_LT(ms_since(start), 4000);
        EXPECT_EQ(closing.wait_for(50ms), std::future_status::timeout) << "returned while threads were inside accept";
        accepting.fetch_sub(waiting);
        EXPECT_EQ(closing.wait_for(5s), std::future_status::ready);
    }
}

}  // namespace
