// Entry points of com.velmar.vfs.JniStream: reads and writes of a connection,
// staged through a buffer on the calling thread's stack.
#include "boundary.h"
#include "com_velmar_vfs_JniStream.h"

#include <algorithm>
#include <climits>
#include <cstdint>

// The Java side reads the results by these names.
static_assert(com_velmar_vfs_JniStream_ERROR == TALVO_ERROR);
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
