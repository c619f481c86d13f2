// Plain TCP operations: the connection table std_ops and the accept and
// close hooks of a listening socket.
#include "boundary.h"
#include "std_extra.h"
#include "talvo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// A listener is woken by at most this many connections of its own close.
constexpr int max_wakeup_connections = 21;
// How long one wake-up connect may take before the close gives up on it.
constexpr int wakeup_connect_ms = 100;
// How long the close lets woken threads take their wake-up connections.
constexpr auto wakeup_take_bound = std::chrono::seconds(1);

// The descriptor an operation works on, read once, or -1 when there is no
// open connection.  A negative length would reach the kernel as a huge size_t
// and let it write past the caller's buffer: refused the same way.
int operation_fd(connection_t *conn, int len) {
    if (conn == nullptr || len < 0) return -1;
    int fd = std::atomic_ref<int>(conn->fd).load(std::memory_order_relaxed);
    return fd < 0 ? -1 : fd;
}

int std_read(connection_t *conn, char *buf, int len) {
    int fd = operation_fd(conn, len);
    if (fd < 0) return TALVO_ERROR;
    ssize_t result = talvo::retry_interrupted_bounded([&] { return recv(fd, buf, len, 0); });
    if (result >= 0) return static_cast<int>(result);
    int error = errno;
    conn->ops->close(conn);
    return error == EAGAIN || error == EWOULDBLOCK ? TALVO_TIMEOUT : TALVO_ERROR;
}

// Closes a connection whose blocking send failed with `error`, and says why.
int send_failed(connection_t *conn, int error) {
    conn->ops->close(conn);
    if (error == EAGAIN || error == EWOULDBLOCK) return TALVO_TIMEOUT;
    if (error == EPIPE || error == ECONNRESET || error == EINTR) return TALVO_PEER_GONE;
    return TALVO_ERROR;
}

int std_write(connection_t *conn, const char *buf, int len) {
    int fd = operation_fd(conn, len);
    if (fd < 0) return TALVO_ERROR;
    conn->sent_data = 1;
    // MSG_NOSIGNAL: a gone peer must be an EPIPE result, not a SIGPIPE.
    ssize_t result = talvo::retry_interrupted_bounded([&] { return send(fd, buf, len, MSG_NOSIGNAL); });
    if (result >= 0) return static_cast<int>(result);
    return send_failed(conn, errno);
}

int std_read_nonblock(connection_t *conn, char *buf, int len) {
    int fd = operation_fd(conn, len);
    if (fd < 0) return TALVO_ERROR;
    return static_cast<int>(recv(fd, buf, len, 0));
}

int std_write_nonblock(connection_t *conn, const char *buf, int len) {
    int fd = operation_fd(conn, len);
    if (fd < 0) return TALVO_ERROR;
    return static_cast<int>(send(fd, buf, len, MSG_NOSIGNAL));
}

int std_read_client_certificate(connection_t *, char *, int) { return TALVO_ERROR; }

// The most one sendfile moves on Linux; larger counts are cut to it anyway.
constexpr int64_t sendfile_most = 0x7ffff000;

// Whether SIGPIPE would end the process.  A JVM installs its own handler
// before any library loads, and keeps it, so inside one the answer is no and
// the file sends pay no mask calls; it is asked once.
bool pipe_signal_kills() {
    static const bool kills = [] {
        struct sigaction action {};
        return sigaction(SIGPIPE, nullptr, &action) != 0 || action.sa_handler == SIG_DFL;
    }();
    return kills;
}

// One sendfile from `offset` without touching the file's position.  The
// count keeps offset + count within off_t, so a length up to the end of
// time is simply "to the end of the file".  sendfile has no MSG_NOSIGNAL:
// where SIGPIPE would kill, it is held back on this thread for the call and
// the one that a gone peer raised is taken, so that it is an EPIPE result as
// for the sends.
ssize_t send_file_once(int fd, int file, int64_t offset, int64_t length) {
    off_t at = offset;
    size_t count = static_cast<size_t>(std::min({length, sendfile_most, INT64_MAX - offset}));
    if (!pipe_signal_kills()) return sendfile(fd, file, &at, count);
    sigset_t pipe_signal, before;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    ssize_t result = sendfile(fd, file, &at, count);
    int error = errno;
    // A caller that holds SIGPIPE back itself keeps whatever is pending.
    if (result < 0 && error == EPIPE && !sigismember(&before, SIGPIPE)) {
        const timespec no_wait{};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return result;
}

// Failures of the file's side, which no byte of the socket's depends on.
bool file_refused(int error) { return error == EBADF || error == EINVAL || error == ESPIPE; }

// A send that found no bytes at its offset: the file ended there, or the
// offset lies beyond the largest file its file system can hold (EOVERFLOW).
bool file_ended(ssize_t result, int error) { return result == 0 || (result < 0 && error == EOVERFLOW); }

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

void set_timeout_option(int fd, int option, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

int accept_into(server_socket_t *ss, connection_t *conn) {
    int listen_fd = std::atomic_ref<int>(ss->fd).load();
    if (listen_fd < 0) return 0;
    alignas(sockaddr_storage) char sin_data[256] = {};
    socklen_t sin_len = sizeof sin_data;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(sin_data), &sin_len, SOCK_CLOEXEC);
    if (fd < 0) return 0;

    // Read after the accept: a time-out set while this thread waited applies.
    int read_timeout = std::atomic_ref<int>(ss->conn_read_timeout).load(std::memory_order_relaxed);
    int write_timeout = std::atomic_ref<int>(ss->conn_write_timeout).load(std::memory_order_relaxed);
    int nodelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
    set_timeout_option(fd, SO_RCVTIMEO, read_timeout);
    set_timeout_option(fd, SO_SNDTIMEO, write_timeout);

    conn->ss = ss;
    conn->read_timeout = read_timeout;
    conn->write_timeout = write_timeout;
    conn->ssl_lock = &ss->ssl_lock;
    conn->fd = fd;
    conn->ops = &std_ops;
    conn->sock = nullptr;
    memcpy(conn->client_sin, sin_data, sizeof conn->client_data);
    conn->is_init = 0;
    // Cleared first: a failed lookup leaves zeros, not a previous connection's address.
    memset(conn->server_sin, 0, sizeof conn->server_data);
    socklen_t server_len = sizeof conn->server_data;
    getsockname(fd, conn->server_sin, &server_len);
    conn->ssl_bits = 0;
    conn->ssl_cipher = nullptr;
    return 1;
}

// One connection to the listener that a waiting accept can return with;
// non-blocking, so a full accept queue cannot hang the close.
bool make_wakeup_connection(const sockaddr *address, socklen_t length) {
    int sock = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    bool connected = connect(sock, address, length) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd item{sock, POLLOUT, 0};
        int error = 0;
        socklen_t error_len = sizeof error;
        connected = poll(&item, 1, wakeup_connect_ms) == 1 &&
                    getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &error_len) == 0 && error == 0;
    }
    close(sock);
    return connected;
}

// Wakes the threads that wait in accept on `fd`, at most 21 of them with a
// connection each, and returns how many connections were made.
int wake_acceptors(int fd, int waiting) {
    alignas(sockaddr_storage) char server_data[128] = {};
    socklen_t length = sizeof server_data;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(server_data), &length) != 0) return 0;
    int wanted = std::min(waiting, max_wakeup_connections);
    int made = 0;
    while (made < wanted && make_wakeup_connection(reinterpret_cast<sockaddr *>(server_data), length)) made++;
    return made;
}

// Waits until at most `at_most` threads are inside std_accept, or the deadline.
void wait_for_accept_threads(std::atomic_ref<int> threads, int at_most,
                             std::chrono::steady_clock::time_point deadline) {
    while (threads.load() > at_most && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

}  // namespace

namespace talvo {

int64_t std_send_file(connection_t *conn, int file, int64_t offset, int64_t length) {
    if (operation_fd(conn, 0) < 0) return TALVO_ERROR;
    conn->sent_data = 1;
    int64_t sent = 0;
    while (sent < length) {
        // Read afresh for each send, as std_write does: a number closed by
        // another thread while a send waited may name someone else's file now.
        int fd = operation_fd(conn, 0);
        if (fd < 0) return TALVO_ERROR;
        ssize_t result = retry_interrupted_bounded([&] { return send_file_once(fd, file, offset + sent, length - sent); });
        if (file_ended(result, errno)) break;  // the caller sees a short count
        if (result > 0) {
            sent += result;
            continue;
        }
        if (sent == 0 && file_refused(errno)) return TALVO_ERROR;
        return send_failed(conn, errno);
    }
    return sent;
}

int std_try_recv(connection_t *conn, char *buf, int len) {
    int fd = operation_fd(conn, len);
    if (fd < 0) return TALVO_ERROR;
    ssize_t result = recv(fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
    if (result >= 0) return static_cast<int>(result);
    return would_block(errno) ? TALVO_WOULD_BLOCK : TALVO_ERROR;
}

int std_try_send(connection_t *conn, const char *buf, int len) {
    int fd = operation_fd(conn, len);
    if (fd < 0) return TALVO_ERROR;
    conn->sent_data = 1;
    ssize_t result = send(fd, buf, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (result >= 0) return static_cast<int>(result);
    return would_block(errno) ? TALVO_WOULD_BLOCK : TALVO_ERROR;
}

int64_t std_try_send_file(connection_t *conn, int file, int64_t offset, int64_t length) {
    int fd = operation_fd(conn, 0);
    if (fd < 0) return TALVO_ERROR;
    conn->sent_data = 1;
    // sendfile has no MSG_DONTWAIT: the socket is non-blocking for this one
    // call only, so its blocking calls and their time-outs stay as they are.
    int on = 1, off = 0;
    if (ioctl(fd, FIONBIO, &on) != 0) return TALVO_ERROR;
    ssize_t result = send_file_once(fd, file, offset, length);
    int error = errno;
    ioctl(fd, FIONBIO, &off);
    if (file_ended(result, error)) return 0;
    if (result >= 0) return result;
    return would_block(error) ? TALVO_WOULD_BLOCK : TALVO_ERROR;
}

}  // namespace talvo

extern "C" {

const connection_ops_t std_ops = {
    std_read, std_read_nonblock, std_write, std_write_nonblock, conn_close, std_read_client_certificate,
};

int conn_close(connection_t *conn) {
    if (conn == nullptr) return -1;
    // Taken in one step: two closes at once close the number once, never a
    // file that reused it in between.
    int fd = std::atomic_ref<int>(conn->fd).exchange(-1);
    if (fd >= 0) close(fd);
    return 1;
}

int std_accept(server_socket_t *ss, connection_t *conn) {
    if (ss == nullptr || conn == nullptr) return 0;
    std::atomic_ref<int> threads(ss->accept_threads);
    threads.fetch_add(1);
    int result = accept_into(ss, conn);
    // The last touch of the record: std_close_ss waits for this.
    threads.fetch_sub(1);
    return result;
}

void std_close_ss(server_socket_t *ss) {
    if (ss == nullptr) return;
    int fd = std::atomic_ref<int>(ss->fd).exchange(-1);
    if (fd < 0) return;
    std::atomic_ref<int> threads(ss->accept_threads);
    int waiting = threads.load();
    int woken = wake_acceptors(fd, waiting);
    if (woken > 0)
        wait_for_accept_threads(threads, waiting - woken, std::chrono::steady_clock::now() + wakeup_take_bound);
    // Whoever is still in accept (more than 21 waiters, or a thread that read
    // the descriptor just before the close) fails at once after this.
    shutdown(fd, SHUT_RDWR);
    wait_for_accept_threads(threads, 0, std::chrono::steady_clock::time_point::max());
    close(fd);
}

}  // extern "C"
