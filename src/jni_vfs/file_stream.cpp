// Entry points of com.velmar.vfs.JniFileStream: reads, writes and positioning
// on a plain file descriptor, through a transfer buffer on the stack.
#include "boundary.h"
#include "com_velmar_vfs_JniFileStream.h"

#include <algorithm>
#include <unistd.h>

namespace {

constexpr jint transfer_buffer_size = 16384;
// The results of nativeRead and nativeWrite that are not byte counts.
constexpr jint failed = -1;
constexpr jint written = 1;
static_assert(com_velmar_vfs_JniFileStream_FAILED == failed);
static_assert(com_velmar_vfs_JniFileStream_WRITTEN == written);

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFileStream_nativeRead(JNIEnv *env, jobject, jint fd,
                                                                              jbyteArray buf, jint offset,
                                                                              jint length) {
    if (fd < 0) return failed;
    if (length <= 0) return 0;
    // The whole window is checked before the file is touched: a byte read
    // from the file that cannot be stored would be lost.  Arrays never change
    // length, so every copy below then succeeds.
    if (!talvo::array_window_ok(env, buf, offset, length)) return failed;
    char buffer[transfer_buffer_size];
    jint read_length = 0;
    while (length > 0) {
        const jint sublen = std::min(length, transfer_buffer_size);
        const ssize_t n = talvo::retry_interrupted([&] { return read(fd, buffer, static_cast<size_t>(sublen)); });
        if (n <= 0) return read_length != 0 ? read_length : failed;
        const jint got = static_cast<jint>(n);
        set_byte_array_region(env, buf, offset, got, buffer);
        read_length += got;
        if (got < sublen) break;
        length -= got;
        offset += got;
    }
    return read_length;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFileStream_nativeWrite(JNIEnv *env, jobject, jint fd,
                                                                               jbyteArray buf, jint offset,
                                                                               jint length) {
    if (fd < 0) return failed;
    if (length <= 0) return written;
    // Never a byte to the file that was not copied from the array.
    if (!talvo::array_window_ok(env, buf, offset, length)) return failed;
    char buffer[transfer_buffer_size];
    while (length > 0) {
        const jint sublen = std::min(length, transfer_buffer_size);
        get_byte_array_region(env, buf, offset, sublen, buffer);
        // A short write is continued by the next pass, copied afresh from the
        // first byte not yet written.
        const ssize_t n = talvo::retry_interrupted([&] { return write(fd, buffer, static_cast<size_t>(sublen)); });
        if (n <= 0) return failed;
        length -= static_cast<jint>(n);
        offset += static_cast<jint>(n);
    }
    return written;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_velmar_vfs_JniFileStream_nativeSkip(JNIEnv *, jobject, jint fd,
                                                                               jlong offset) {
    if (fd < 0) return 0;
    return lseek(fd, offset, SEEK_CUR);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFileStream_nativeClose(JNIEnv *, jobject, jint fd) {
    // Not repeated on EINTR: the descriptor is released whatever close reports.
    return fd < 0 ? -1 : close(fd);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFileStream_nativeFlushToDisk(JNIEnv *, jobject, jint fd) {
    return fd < 0 ? -1 : fsync(fd);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFileStream_nativeSeekStart(JNIEnv *, jobject, jint fd,
                                                                                   jlong offset) {
    return fd < 0 ? -1 : talvo::low_32(lseek(fd, offset, SEEK_SET));
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFileStream_nativeSeekEnd(JNIEnv *, jobject, jint fd,
                                                                                 jlong offset) {
    return fd < 0 ? -1 : talvo::low_32(lseek(fd, offset, SEEK_END));
}
