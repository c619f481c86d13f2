// Entry points of com.velmar.vfs.JniSocketImpl: the life of a connection
// record and the questions asked of it.
#include "address.h"
#include "boundary.h"
#include "com_velmar_vfs_JniSocketImpl.h"

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

namespace {

constexpr int address_text_size = 1024;
constexpr int certificate_buffer_size = 8192;

connection_t *record(jlong conn_fd) { return talvo::from_handle<connection_t>(conn_fd); }

// The port field sits at the same place in IPv4 and IPv6 addresses.
jint port_of(const sockaddr *address) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port);
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
    connection_t *conn = record(conn_fd);
    if (conn == nullptr || conn->fd < 0) return;
    conn->jni_env = env;
    conn->ops->close(conn);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_JniSocketImpl_nativeFree(JNIEnv *, jobject, jlong conn_fd) {
    // The descriptor is not closed here: that is nativeClose's job.
    tuk_free(record(conn_fd));
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniSocketImpl_isSecure(JNIEnv *, jobject,
                                                                                 jlong conn_fd) {
    connection_t *conn = record(conn_fd);
    return conn != nullptr && conn->sock != nullptr && conn->ssl_cipher != nullptr ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jstring JNICALL Java_com_velmar_vfs_JniSocketImpl_getCipher(JNIEnv *env, jobject,
                                                                                 jlong conn_fd) {
    connection_t *conn = record(conn_fd);
    if (conn == nullptr || conn->sock == nullptr || conn->ssl_cipher == nullptr) return nullptr;
    return env->NewStringUTF(conn->ssl_cipher);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getCipherBits(JNIEnv *, jobject,
                                                                                  jlong conn_fd) {
    connection_t *conn = record(conn_fd);
    return conn != nullptr && conn->sock != nullptr ? conn->ssl_bits : 0;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniSocketImpl_nativeReadNonBlock(JNIEnv *, jobject,
                                                                                           jlong conn_fd, jint ms) {
    connection_t *conn = record(conn_fd);
    if (conn == nullptr || conn->fd < 0) return JNI_FALSE;
    pollfd poll_item{conn->fd, POLLIN | POLLPRI, 0};
    // A pending error or hang-up counts as ready: the next read reports it.
    return poll(&poll_item, 1, ms) > 0 ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getRemoteIP(JNIEnv *env, jobject,
                                                                                jlong conn_fd, jbyteArray j_buffer,
                                                                                jint offset, jint length) {
    connection_t *conn = record(conn_fd);
    if (conn == nullptr || j_buffer == nullptr || offset < 0 || length < 0) return 0;
    char temp_buf[address_text_size];
    int len = talvo::get_address(conn->client_sin, temp_buf, sizeof temp_buf);
    // The text is copied only when it is shorter than `length`; its length
    // is returned either way.
    if (len > 0 && len < length) {
        if (!talvo::array_window_ok(env, j_buffer, offset, len)) return 0;
        set_byte_array_region(env, j_buffer, offset, len, temp_buf);
    }
    return len;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getRemotePort(JNIEnv *, jobject,
                                                                                  jlong conn_fd) {
    connection_t *conn = record(conn_fd);
    return conn == nullptr ? 0 : port_of(conn->client_sin);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getLocalIP(JNIEnv *env, jobject,
                                                                               jlong conn_fd, jbyteArray buffer,
                                                                               jint offset, jint length) {
    connection_t *conn = record(conn_fd);
    if (conn == nullptr || buffer == nullptr || offset < 0 || length < 0) return 0;
    char temp_buf[address_text_size];
    // `length` is the room for the text and its NUL, never more than temp_buf.
    int room = length < address_text_size ? length : address_text_size;
    int len = talvo::get_address(conn->server_sin, temp_buf, room);
    if (len > 0) {
        if (!talvo::array_window_ok(env, buffer, offset, len)) return 0;
        set_byte_array_region(env, buffer, offset, len, temp_buf);
    }
    return len;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getLocalPort(JNIEnv *, jobject,
                                                                                 jlong conn_fd) {
    connection_t *conn = record(conn_fd);
    return conn == nullptr ? 0 : port_of(conn->server_sin);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniSocketImpl_getClientCertificate(JNIEnv *env, jobject,
                                                                                         jlong conn_fd,
                                                                                         jbyteArray buf,
                                                                                         jint offset, jint length) {
    connection_t *conn = record(conn_fd);
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
    connection_t *conn = record(conn_fd);
    return conn == nullptr ? -1 : conn->fd;
}
