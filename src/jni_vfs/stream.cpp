// Entry points of com.velmar.vfs.JniStream: reads and writes of a connection,
// staged through a buffer on the calling thread's stack, file sends that
// never pass through Java, and calls that never wait.
#include "boundary.h"
#include "std_extra.h"
#include "com_velmar_vfs_JniStream.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include <unistd.h>

// The Java side reads the results by these names.
static_assert(com_velmar_vfs_JniStream_ERROR == TALVO_ERROR);
static_assert(com_velmar_vfs_JniStream_WOULD_BLOCK == TALVO_WOULD_BLOCK);
static_assert(com_velmar_vfs_JniStream_PEER_GONE == TALVO_PEER_GONE);
static_assert(com_velmar_vfs_JniStream_TIMEOUT == TALVO_TIMEOUT);

namespace {

constexpr int stream_buffer_size = 16384;
constexpr int pair_buffer_size = 32768;

using read_op = int (*connection_ops_t::*)(connection_t *, char *, int);

// One read operation into buf[offset..]; the window is checked first so that
// no input is consumed that could not be stored.
jint read_into(JNIEnv *env, jlong conn_fd, jbyteArray buf, jint offset, jint length, read_op op) {
    connection_t *conn = talvo::open_connection(conn_fd);
    if (conn == nullptr || !talvo::array_window_ok(env, buf, offset, length)) return TALVO_ERROR;
    conn->jni_env = env;
    char buffer[stream_buffer_size];
    int sublen = std::min(length, stream_buffer_size);
    int result = (conn->ops->*op)(conn, buffer, sublen);
    if (result < 0) return result;
    if (result > sublen) return TALVO_ERROR;
    set_byte_array_region(env, buf, offset, result, buffer);
    return result;
}

// A checked region of a Java array.
struct window {
    jbyteArray array;
    jint offset;
    jint length;
};

// Sends the windows one after the other in chunks of up to `chunk_size`
// bytes.  Each chunk is copied afresh from the arrays at the first byte not
// yet written, so a short write loses nothing and repeats nothing.
template <size_t count>
jint write_windows(JNIEnv *env, connection_t *conn, const window (&windows)[count], char *buffer, int chunk_size) {
    int64_t total = 0;
    for (const window &w : windows) total += w.length;
    // The result could not say how much went out.
    if (total > INT_MAX) return TALVO_ERROR;
    conn->jni_env = env;
    int64_t written = 0;
    while (written < total) {
        int chunk = static_cast<int>(std::min<int64_t>(chunk_size, total - written));
        int filled = 0;
        int64_t skip = written;
        for (const window &w : windows) {
            if (filled == chunk) break;
            if (skip >= w.length) {
                skip -= w.length;
                continue;
            }
            int take = static_cast<int>(std::min<int64_t>(w.length - skip, chunk - filled));
            get_byte_array_region(env, w.array, w.offset + static_cast<jint>(skip), take, buffer + filled);
            filled += take;
            skip = 0;
        }
        // A failed copy leaves its exception pending and sends nothing.
        if (env->ExceptionCheck()) return TALVO_ERROR;
        int result = conn->ops->write(conn, buffer, chunk);
        if (result < 0) return result;
        // A write that takes nothing would repeat the same chunk for ever.
        if (result == 0 || result > chunk) return TALVO_ERROR;
        written += result;
    }
    return static_cast<jint>(written);
}

// The connection a call that never waits may use: open and on the plain
// table, whose socket it can ask not to wait.  Another table's operations
// may block, so such a connection is refused and the caller takes its
// blocking path.
connection_t *plain_connection(JNIEnv *env, jlong conn_fd) {
    connection_t *conn = talvo::open_connection(conn_fd);
    if (conn == nullptr || conn->ops != &std_ops) return nullptr;
    conn->jni_env = env;
    return conn;
}

// The plain connection of a call that never waits, with its window checked,
// or null when either is refused.
connection_t *plain_window(JNIEnv *env, jlong conn_fd, jbyteArray buf, jint offset, jint length) {
    connection_t *conn = plain_connection(env, conn_fd);
    return conn != nullptr && talvo::array_window_ok(env, buf, offset, length) ? conn : nullptr;
}

// The connection a file send may use, or null for a bad argument.
connection_t *file_send_connection(JNIEnv *env, jlong conn_fd, jint fd, jlong offset, jlong length) {
    connection_t *conn = talvo::open_connection(conn_fd);
    if (conn == nullptr || fd < 0 || offset < 0 || length < 0) return nullptr;
    conn->jni_env = env;
    return conn;
}

// Writes buffer[0, length) through the connection's own write operation,
// going on after short writes.  The operation closes on its failures.
int write_all(connection_t *conn, const char *buffer, int length) {
    for (int written = 0; written < length;) {
        int result = conn->ops->write(conn, buffer + written, length - written);
        if (result < 0) return result;
        if (result == 0 || result > length - written) return TALVO_ERROR;
        written += result;
    }
    return length;
}

// A file send for a connection of another table (an encrypting one, say):
// the bytes pass through its write operation, read at explicit offsets so
// that the file's position stays where it is.
jlong send_file_through_ops(connection_t *conn, int file, int64_t offset, int64_t length) {
    char buffer[stream_buffer_size];
    int64_t sent = 0;
    while (sent < length) {
        size_t want = static_cast<size_t>(std::min<int64_t>(stream_buffer_size, length - sent));
        ssize_t got = talvo::retry_interrupted([&] { return pread(file, buffer, want, offset + sent); });
        if (got == 0) break;  // the file ended
        if (got < 0) {
            // Once bytes went out, the peer cannot tell where the body stops.
            if (sent > 0) conn->ops->close(conn);
            return TALVO_ERROR;
        }
        int result = write_all(conn, buffer, static_cast<int>(got));
        if (result < 0) return result;
        sent += got;
    }
    return sent;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_readNative(JNIEnv *env, jobject, jlong conn_fd,
                                                                          jbyteArray buf, jint offset,
                                                                          jint length) {
    return read_into(env, conn_fd, buf, offset, length, &connection_ops_t::read);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_readNonBlockNative(JNIEnv *env, jobject,
                                                                                  jlong conn_fd, jbyteArray buf,
                                                                                  jint offset, jint length) {
    return read_into(env, conn_fd, buf, offset, length, &connection_ops_t::read_nonblock);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_writeNative(JNIEnv *env, jobject, jlong conn_fd,
                                                                           jbyteArray buf, jint offset,
                                                                           jint length) {
    connection_t *conn = talvo::open_connection(conn_fd);
    if (conn == nullptr || buf == nullptr) return TALVO_ERROR;
    // Nothing to send is not a failure, whatever the offset.
    if (length <= 0) return 0;
    if (!talvo::array_window_ok(env, buf, offset, length)) return TALVO_ERROR;
    char buffer[stream_buffer_size];
    const window windows[] = {{buf, offset, length}};
    return write_windows(env, conn, windows, buffer, stream_buffer_size);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_writeNative2(JNIEnv *env, jobject, jlong conn_fd,
                                                                            jbyteArray buf1, jint off1, jint len1,
                                                                            jbyteArray buf2, jint off2,
                                                                            jint len2) {
    connection_t *conn = talvo::open_connection(conn_fd);
    if (conn == nullptr || !talvo::array_window_ok(env, buf1, off1, len1) ||
        !talvo::array_window_ok(env, buf2, off2, len2))
        return TALVO_ERROR;
    // The tail of the first array and the head of the second share a chunk,
    // and so a send.
    char buffer[pair_buffer_size];
    const window windows[] = {{buf1, off1, len1}, {buf2, off2, len2}};
    return write_windows(env, conn, windows, buffer, pair_buffer_size);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_flushNative(JNIEnv *, jobject, jlong conn_fd) {
    // Nothing is held natively between calls, so there is nothing to flush.
    return talvo::from_handle<connection_t>(conn_fd) == nullptr ? TALVO_ERROR : 0;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_velmar_vfs_JniStream_sendFileNative(JNIEnv *env, jobject, jlong conn_fd,
                                                                               jint fd, jlong offset, jlong length) {
    connection_t *conn = file_send_connection(env, conn_fd, fd, offset, length);
    if (conn == nullptr) return TALVO_ERROR;
    if (conn->ops == &std_ops) return talvo::std_send_file(conn, fd, offset, length);
    return send_file_through_ops(conn, fd, offset, std::min<int64_t>(length, INT64_MAX - offset));
}

extern "C" JNIEXPORT jlong JNICALL Java_com_velmar_vfs_JniStream_trySendFileNative(JNIEnv *env, jobject,
                                                                                  jlong conn_fd, jint fd,
                                                                                  jlong offset, jlong length) {
    connection_t *conn = file_send_connection(env, conn_fd, fd, offset, length);
    if (conn == nullptr || conn->ops != &std_ops) return TALVO_ERROR;
    return length == 0 ? 0 : talvo::std_try_send_file(conn, fd, offset, length);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_tryReadNative(JNIEnv *env, jobject, jlong conn_fd,
                                                                             jbyteArray buf, jint offset,
                                                                             jint length) {
    connection_t *conn = plain_window(env, conn_fd, buf, offset, length);
    if (conn == nullptr) return TALVO_ERROR;
    // A receive of nothing would look like the peer's end.
    if (length == 0) return 0;
    char buffer[stream_buffer_size];
    int result = talvo::std_try_recv(conn, buffer, std::min(length, stream_buffer_size));
    if (result > 0) set_byte_array_region(env, buf, offset, result, buffer);
    return result;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_tryWriteNative(JNIEnv *env, jobject, jlong conn_fd,
                                                                              jbyteArray buf, jint offset,
                                                                              jint length) {
    connection_t *conn = plain_window(env, conn_fd, buf, offset, length);
    if (conn == nullptr) return TALVO_ERROR;
    if (length == 0) return 0;
    char buffer[stream_buffer_size];
    int chunk = std::min(length, stream_buffer_size);
    get_byte_array_region(env, buf, offset, chunk, buffer);
    return talvo::std_try_send(conn, buffer, chunk);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_tryWriteNative2(JNIEnv *env, jobject, jlong conn_fd,
                                                                               jbyteArray buf1, jint off1, jint len1,
                                                                               jbyteArray buf2, jint off2,
                                                                               jint len2) {
    connection_t *conn = plain_window(env, conn_fd, buf1, off1, len1);
    if (conn == nullptr || !talvo::array_window_ok(env, buf2, off2, len2)) return TALVO_ERROR;
    // The first window and as much of the second as fits go in one send.
    char buffer[pair_buffer_size];
    int first = std::min(len1, pair_buffer_size);
    int second = std::min(len2, pair_buffer_size - first);
    if (first + second == 0) return 0;
    get_byte_array_region(env, buf1, off1, first, buffer);
    get_byte_array_region(env, buf2, off2, second, buffer + first);
    return talvo::std_try_send(conn, buffer, first + second);
}
