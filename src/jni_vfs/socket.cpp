// Entry points of com.velmar.vfs.JniSocketImpl: the life of a connection
// record and the questions asked of it.
#include "address.h"
#include "boundary.h"
#include "com_velmar_vfs_JniSocketImpl.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

namespace {

constexpr int address_text_size = 1024;
constexpr int certificate_buffer_size = 8192;

// The port field sits at the same place in IPv4 and IPv6 addresses.
jint port_of(const sockaddr *address) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port);
}

// The text of the connection's `which` address, made in a buffer of `room`
// bytes and copied to array[offset..] only when it is shorter than `length`.
jint address_text(JNIEnv *env, jlong conn_fd, sockaddr *connection_t::*which, int room, jbyteArray array,
                  jint offset, jint length) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    if (conn == nullptr || array == nullptr || offset < 0 || length < 0) return 0;
    char temp_buf[address_text_size];
    int len = talvo::get_address(conn->*which, temp_buf, room);
    if (len > 0 && len < length) {
        if (!talvo::array_window_ok(env, array, offset, len)) return 0;
        set_byte_array_region(env, array, offset, len, temp_buf);
    }
    return len;
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_velmar_vfs_JniSocketImpl_nativeAllocate(JNIEnv *, jobject) {
    auto *conn = static_cast<connection_t *>(tuk_malloc(sizeof(connection_t)));
    if (conn == nullptr) return 0;
    memset(conn, 0, sizeof *conn);
    conn->server_sin = reinterpret_cast<sockaddr *>(conn->server_data);
    conn->client_sin = reinterpret_cast<sockaddr *>(conn->client_data);
    conn->fd = -1;
    conn->ops = &std_ops;
    return talvo::to_handle(conn);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_JniSocketImpl_nativeClose(JNIEnv *env, jobject,
                                                                                 jlong conn_fd) {
    connection_t *conn = talvo::open_connection(conn_fd);
    if (conn == nullptr) return;
    conn->jni_env = env;
    conn->ops->close(conn);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_JniSocketImpl_nativeFree(JNIEnv *, jobject, jlong conn_fd) {
    // The descriptor is not closed here: that is nativeClose's job.
    tuk_free(talvo::from_handle<connection_t>(conn_fd));
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniSocketImpl_isSecure(JNIEnv *, jobject,
                                                                                 jlong conn_fd) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    return conn != nullptr && conn->sock != nullptr && conn->ssl_cipher != nullptr ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jstring JNICALL Java_com_velmar_vfs_JniSocketImpl_getCipher(JNIEnv *env, jobject,
                                                                                 jlong conn_fd) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    if (conn == nullptr || conn->sock == nullptr || conn->ssl_cipher == nullptr) return nullptr;
    return env->NewStringUTF(conn->ssl_cipher);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getCipherBits(JNIEnv *, jobject,
                                                                                  jlong conn_fd) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    return conn != nullptr && conn->sock != nullptr ? conn->ssl_bits : 0;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniSocketImpl_nativeReadNonBlock(JNIEnv *, jobject,
                                                                                           jlong conn_fd, jint ms) {
    connection_t *conn = talvo::open_connection(conn_fd);
    if (conn == nullptr) return JNI_FALSE;
    pollfd poll_item{conn->fd, POLLIN | POLLPRI, 0};
    // A pending error or hang-up counts as ready: the next read reports it.
    return poll(&poll_item, 1, ms) > 0 ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getRemoteIP(JNIEnv *env, jobject,
                                                                                jlong conn_fd, jbyteArray j_buffer,
                                                                                jint offset, jint length) {
    // The whole text is made; its length comes back even when there is no room.
    return address_text(env, conn_fd, &connection_t::client_sin, address_text_size, j_buffer, offset, length);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getRemotePort(JNIEnv *, jobject,
                                                                                  jlong conn_fd) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    return conn == nullptr ? 0 : port_of(conn->client_sin);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getLocalIP(JNIEnv *env, jobject,
                                                                               jlong conn_fd, jbyteArray buffer,
                                                                               jint offset, jint length) {
    // Only what fits in `length` bytes with its NUL is made, else 0 comes back.
    return address_text(env, conn_fd, &connection_t::server_sin, std::min(length, address_text_size), buffer,
                        offset, length);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getLocalPort(JNIEnv *, jobject,
                                                                                 jlong conn_fd) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    return conn == nullptr ? 0 : port_of(conn->server_sin);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getClientCertificate(JNIEnv *env, jobject,
                                                                                         jlong conn_fd,
                                                                                         jbyteArray buf,
                                                                                         jint offset, jint length) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    if (conn == nullptr || buf == nullptr || offset < 0 || length < 0) return -1;
    char buffer[certificate_buffer_size];
    int sublen = length < certificate_buffer_size ? length : certificate_buffer_size;
    int result = conn->ops->read_client_certificate(conn, buffer, sublen);
    if (result < 0 || result > length) return result;
    // An operation that claims more than it was given room for copies nothing.
    if (result > sublen || !talvo::array_window_ok(env, buf, offset, result)) return -1;
    set_byte_array_region(env, buf, offset, result, buffer);
    return result;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getNativeFd(JNIEnv *, jobject, jlong conn_fd) {
    auto *conn = talvo::from_handle<connection_t>(conn_fd);
    return conn == nullptr ? -1 : conn->fd;
}
