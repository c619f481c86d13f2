// The plain socket operations: the accept fill, a reset and the listener's close
// on loopback connections, and the blocking pair's retries and results, with recv
// and send replaced in this program to fail on a chosen descriptor with a chosen error.
// The file sends on real files and loopback connections, and through a scripted table.
#include "sockets.h"
#include "com_velmar_vfs_JniStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <string>
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

// ---------------------------------------------------------------- file sends

jlong handle(Conn &conn) { return static_cast<jlong>(reinterpret_cast<intptr_t>(conn.get())); }
jlong send_file(Conn &conn, int fd, jlong offset, jlong length) {
    return Java_com_velmar_vfs_JniStream_sendFileNative(nullptr, nullptr, handle(conn), fd, offset, length);
}
jlong try_send_file(Conn &conn, int fd, jlong offset, jlong length) {
    return Java_com_velmar_vfs_JniStream_trySendFileNative(nullptr, nullptr, handle(conn), fd, offset, length);
}

// Bytes that tell positions apart.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

// An unlinked file holding `bytes` at `at`, its position left at 123.
Fd file_with(const std::string &bytes, off_t at = 0) {
    char name[] = "/tmp/talvo-sendfile-XXXXXX";
    Fd fd(mkstemp(name));
    unlink(name);
    EXPECT_EQ(pwrite(fd.get(), bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
    lseek(fd.get(), 123, SEEK_SET);
    return fd;
}

// Everything the peer receives until the sender closes or `count` bytes arrived.
std::string receive(int fd, size_t count) {
    std::string got;
    char buf[65536];
    while (got.size() < count && wait_readable(fd, 10000)) {
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

class FileSend : public StdTest {
protected:
    void SetUp() override { ASSERT_EQ(std_accept(listener.ss.get(), conn.get()), 1); }
};

// Ranges at the start, in the middle and at the end arrive byte for byte and leave the
// file's position alone; a file that ends early gives a short count (0 past any file), also
// for a length beyond 2 GiB at an offset beyond 4 GiB; bad arguments and unsendable files
// touch nothing; after a reset the try says -1, EPIPE raises no SIGPIPE, PEER_GONE closes.
TEST_F(FileSend, RangesArriveExactlyAndFailuresSayWhy) {
    const std::string bytes = pattern(300000);
    Fd file = file_with(bytes);
    struct range { jlong offset, length, sent; };
    for (range r : {range{0, 300000, 300000}, {1, 99999, 99999}, {299990, 10, 10}, {299990, 1000, 10},
                    {300000, 5, 0}, {5, 0, 0}, {0, INT64_MAX, 300000}, {INT64_MAX, INT64_MAX, 0}}) {
        SCOPED_TRACE(testing::Message() << r.offset << " + " << r.length);
        auto received = std::async(std::launch::async, [&] { return receive(client.get(), r.sent); });
        EXPECT_EQ(send_file(conn, file.get(), r.offset, r.length), r.sent);
        EXPECT_TRUE(received.get() == bytes.substr(std::min<size_t>(r.offset, bytes.size()), r.sent));
        EXPECT_EQ(lseek(file.get(), 0, SEEK_CUR), 123);
    }
    const off_t far = (off_t{5} << 30) - 100;  // sparse: 5 GiB long, 100 bytes written at its end
    Fd sparse = file_with(bytes.substr(0, 100), far);
    auto received = std::async(std::launch::async, [&] { return receive(client.get(), 150); });
    EXPECT_EQ(send_file(conn, sparse.get(), far - 50, jlong{3} << 30), 150);
    EXPECT_TRUE(received.get() == std::string(50, '\0') + bytes.substr(0, 100));
    EXPECT_EQ(try_send_file(conn, sparse.get(), far + 90, jlong{3} << 30), 10);
    EXPECT_EQ(try_send_file(conn, sparse.get(), INT64_MAX, 1), 0);
    EXPECT_EQ(receive(client.get(), 10), bytes.substr(90, 10));

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    Fd pipe_in(pipe_fds[0]), pipe_out(pipe_fds[1]), directory(open("/tmp", O_RDONLY | O_CLOEXEC));
    for (auto [fd, offset, length] : {std::tuple{file.get(), -1L, 5L}, {file.get(), 0L, -1L}, {-1, 0L, 5L},
                                      {pipe_out.get(), 0L, 5L}, {directory.get(), 0L, 5L}}) {
        EXPECT_EQ(send_file(conn, fd, offset, length), TALVO_ERROR);
        EXPECT_EQ(try_send_file(conn, fd, offset, length), TALVO_ERROR);
    }
    EXPECT_GE(conn->fd, 0) << "a bad argument closed the connection";
    EXPECT_EQ(Java_com_velmar_vfs_JniStream_sendFileNative(nullptr, nullptr, 0, file.get(), 0, 5), TALVO_ERROR);

    linger hard{1, 0};
    setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client.reset();
    for (int calls = 0; calls < 2; calls++) EXPECT_EQ(try_send_file(conn, file.get(), 0, 300000), TALVO_ERROR);
    EXPECT_EQ(send_file(conn, file.get(), 0, 300000), TALVO_PEER_GONE);
    EXPECT_EQ(conn->fd, -1);
    EXPECT_EQ(send_file(conn, file.get(), 0, 5), TALVO_ERROR);
}

// A peer that never reads: the calls that never wait fill the socket and then say WOULD_BLOCK
// at once; the socket still blocks afterwards, so the blocking send waits out its time-out and
// closes; a close by another thread while it waits leaves the file that takes the number alone.
TEST(FileSendStall, TryFillsThenWouldBlockAndTheBlockingSendTimesOut) {
    Watchdog watchdog;
    Listener listener;
    listener.ss->conn_write_timeout = 300;
    Fd client = listener.connect_client();
    Conn conn;
    ASSERT_EQ(std_accept(listener.ss.get(), conn.get()), 1);
    Fd file = file_with(std::string(1, 'x'), (off_t{1} << 30) - 1);  // 1 GiB, sparse
    jlong offset = 0, result = 0;
    for (int calls = 0; calls < 100000 && (result = try_send_file(conn, file.get(), offset, 1L << 30)) > 0; calls++)
        offset += result;
    EXPECT_EQ(result, TALVO_WOULD_BLOCK);
    EXPECT_GT(offset, 0);
    auto start = steady::now();
    EXPECT_EQ(try_send_file(conn, file.get(), offset, 1L << 30), TALVO_WOULD_BLOCK);
    EXPECT_LT(steady::now() - start, 100ms);
    EXPECT_EQ(send_file(conn, file.get(), offset, 1L << 30), TALVO_TIMEOUT);
    EXPECT_GT(steady::now() - start, 250ms);
    EXPECT_EQ(conn->fd, -1);

    Fd client2 = listener.connect_client();
    ASSERT_EQ(std_accept(listener.ss.get(), conn.get()), 1);
    auto sending = std::async(std::launch::async, [&] { return send_file(conn, file.get(), 0, 64 << 20); });
    receive(client2.get(), 1 << 20);  // then the peer stalls and the send waits
    conn_close(conn.get());
    Fd taker = file_with("");  // the lowest free number: the connection's
    EXPECT_EQ(sending.get(), TALVO_ERROR);
    EXPECT_EQ(lseek(taker.get(), 0, SEEK_END), 0);
}

// A file shrinking while it is sent ends the send at its new end with a short count of
// exactly what arrived; two threads send one descriptor to two connections at once.
TEST_F(FileSend, ShrinkingFilesAndSharedDescriptors) {
    const size_t size = 8 << 20;
    const std::string bytes = pattern(size);
    Fd file = file_with(bytes);
    int small = 64 << 10;
    setsockopt(conn->fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    auto sending = std::async(std::launch::async, [&] { return send_file(conn, file.get(), 0, size); });
    std::string got = receive(client.get(), 1 << 20);
    ASSERT_EQ(ftruncate(file.get(), 2 << 20), 0);
    auto rest = std::async(std::launch::async, [&] { return receive(client.get(), size); });
    jlong sent = sending.get();
    conn_close(conn.get());
    got += rest.get();
    EXPECT_LT(sent, static_cast<jlong>(size));
    EXPECT_EQ(got.size(), static_cast<size_t>(sent));
    EXPECT_TRUE(got == bytes.substr(0, got.size()));

    ASSERT_EQ(pwrite(file.get(), bytes.data(), size, 0), static_cast<ssize_t>(size));
    Fd client1 = listener.connect_client(), client2 = listener.connect_client();
    Conn conn1, conn2;
    ASSERT_EQ(std_accept(listener.ss.get(), conn1.get()) + std_accept(listener.ss.get(), conn2.get()), 2);
    auto first = std::async(std::launch::async, [&] { return send_file(conn1, file.get(), 0, size); });
    auto second = std::async(std::launch::async, [&] { return send_file(conn2, file.get(), 1000, size); });
    auto got2 = std::async(std::launch::async, [&] { return receive(client2.get(), size - 1000); });
    EXPECT_TRUE(receive(client1.get(), size) == bytes);
    EXPECT_TRUE(got2.get() == bytes.substr(1000));
    EXPECT_EQ(first.get(), static_cast<jlong>(size));
    EXPECT_EQ(second.get(), static_cast<jlong>(size - 1000));
    EXPECT_EQ(lseek(file.get(), 0, SEEK_CUR), 123);
}

// A plug-in table gets the same bytes through its write operation, short writes included;
// a failing write ends the send with its code; the calls that never wait refuse it.
TEST(FileSendThroughATable, SameBytesShortWritesIncluded) {
    static std::string taken;
    static int failing_after;
    const connection_ops_t ops = {std_ops.read, std_ops.read_nonblock,
                                  [](connection_t *, const char *buf, int len) {
                                      if (--failing_after == 0) return static_cast<int>(TALVO_TIMEOUT);
                                      int n = std::min(len, 1000 + static_cast<int>(taken.size() % 3000));
                                      taken.append(buf, static_cast<size_t>(n));
                                      return n;
                                  },
                                  std_ops.write_nonblock, [](connection_t *) { return 1; },
                                  std_ops.read_client_certificate};
    const std::string bytes = pattern(100000);
    Fd file = file_with(bytes);
    Conn conn;
    conn->fd = 0;  // looks open, never used
    conn->ops = &ops;
    for (auto [offset, length, fails, result] : {std::tuple{0L, 100000L, 0, 100000L}, {77L, 50000L, 0, 50000L},
                                                 {99000L, 5000L, 0, 1000L}, {0L, 100000L, 5, -4L}}) {
        taken.clear();
        failing_after = fails;
        EXPECT_EQ(send_file(conn, file.get(), offset, length), result);
        if (result >= 0) {
            EXPECT_TRUE(taken == bytes.substr(static_cast<size_t>(offset), static_cast<size_t>(result)));
        }
    }
    EXPECT_EQ(lseek(file.get(), 0, SEEK_CUR), 123);
    EXPECT_EQ(try_send_file(conn, file.get(), 0, 10), TALVO_ERROR);
    conn->fd = -1;
}

}  // namespace

