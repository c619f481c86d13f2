// Entry points of com.velmar.vfs.JniServerSocketImpl: a TCP listening socket
// on a numeric address, the time-outs of its connections, accept and close.
#include "boundary.h"
#include "java.h"
#include "com_velmar_vfs_JniServerSocketImpl.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int addr_name_size = 256;
constexpr int max_port = 65535;
// One first attempt, then this many retries with a pause after each failure.
constexpr int bind_retries = 51;
constexpr long bind_pause_ns = 100L * 1000 * 1000;
constexpr int default_backlog = 100;
constexpr int initial_conn_timeout_ms = 65000;
constexpr int unlimited_timeout_ms = 600000;
constexpr int shortest_timeout_ms = 500;

// A listening socket for `addr_name`:`port`, or -1 (an exception pending
// when the address is not numeric).
int open_listener(JNIEnv *env, const char *addr_name, int port, int listen_backlog) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char port_text[16];
    snprintf(port_text, sizeof port_text, "%d", port);
    addrinfo *found = nullptr;
    // The lookup would take 70000 as port 4464 and 65536 as "any port".
    bool port_ok = port >= 0 && port <= max_port;
    if (!port_ok || getaddrinfo(addr_name, port_text, &hints, &found) != 0) {
        talvo::throw_socket_exception(env, "can't find address %s", addr_name);
        return -1;
    }
    sockaddr_storage sin_data{};
    socklen_t sin_length = found->ai_addrlen <= sizeof sin_data ? found->ai_addrlen : sizeof sin_data;
    memcpy(&sin_data, found->ai_addr, sin_length);
    int family = found->ai_family;
    freeaddrinfo(found);

    int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    int val = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &val, sizeof val) != 0) {
        close(sock);
        return -1;
    }
    const sockaddr *address = reinterpret_cast<const sockaddr *>(&sin_data);
    bool bound = bind(sock, address, sin_length) == 0;
    // A port that another socket still holds is often free a moment later.
    for (int retry = 0; !bound && retry < bind_retries; retry++) {
        bound = bind(sock, address, sin_length) == 0;
        if (!bound) {
            timespec pause{0, bind_pause_ns};
            nanosleep(&pause, nullptr);
        }
    }
    if (!bound) {
        close(sock);
        return -1;
    }
    listen(sock, listen_backlog > 0 ? listen_backlog : default_backlog);
    return sock;
}

int clamp_timeout(int timeout) {
    if (timeout < 0) return unlimited_timeout_ms;
    return timeout < shortest_timeout_ms ? shortest_timeout_ms : timeout;
}

// The listener a handle names, or null for the handle 0.  A freed or
// invented handle is the caller's error.
server_socket_t *listener(jlong ss_fd) { return talvo::from_handle<server_socket_t>(ss_fd); }

// Accepting threads read the time-outs while a setter may write them.
void store_timeout(int &field, int timeout) {
    std::atomic_ref<int>(field).store(clamp_timeout(timeout), std::memory_order_relaxed);
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_velmar_vfs_JniServerSocketImpl_bindPort(JNIEnv *env, jobject,
                                                                                    jstring jaddr, jint port,
                                                                                    jint listen_backlog) {
    // At most 255 characters are kept; the rest is cut.
    char addr_name[addr_name_size];
    if (talvo::copy_name(env, jaddr, addr_name) != talvo::name_state::copied) {
        talvo::throw_null_pointer(env, "missing addr");
        return 0;
    }
    int sock = open_listener(env, addr_name, port, listen_backlog);
    if (sock < 0) return 0;

    auto *ss = static_cast<server_socket_t *>(tuk_malloc(sizeof(server_socket_t)));
    if (ss == nullptr) {
        close(sock);
        return 0;
    }
    memset(ss, 0, sizeof *ss);
    ss->fd = sock;
    ss->port = port;
    ss->conn_read_timeout = initial_conn_timeout_ms;
    ss->conn_write_timeout = initial_conn_timeout_ms;
    ss->accept = std_accept;
    ss->close = std_close_ss;
    return talvo::to_handle(ss);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_JniServerSocketImpl_nativeSetConnectionReadTimeout(
    JNIEnv *, jobject, jlong ss_fd, jint timeout) {
    if (auto *ss = listener(ss_fd)) store_timeout(ss->conn_read_timeout, timeout);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_JniServerSocketImpl_nativeSetConnectionWriteTimeout(
    JNIEnv *, jobject, jlong ss_fd, jint timeout) {
    if (auto *ss = listener(ss_fd)) store_timeout(ss->conn_write_timeout, timeout);
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniServerSocketImpl_nativeAccept(JNIEnv *, jobject,
                                                                                           jlong ss_fd,
                                                                                           jlong conn_fd) {
    server_socket_t *ss = listener(ss_fd);
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    if (ss == nullptr || conn == nullptr) return JNI_FALSE;
    return ss->accept(ss, conn) != 0 ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniServerSocketImpl_getLocalPort(JNIEnv *, jobject,
                                                                                       jlong ss_fd) {
    server_socket_t *ss = listener(ss_fd);
    return ss == nullptr ? 0 : ss->port;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniServerSocketImpl_closeNative(JNIEnv *, jobject,
                                                                                      jlong ss_fd) {
    server_socket_t *ss = listener(ss_fd);
    if (ss == nullptr) return 0;
    // The hook returns only once no thread is inside the accept any more.
    ss->close(ss);
    tuk_free(ss);
    return 0;
}
