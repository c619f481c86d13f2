// Entry points of com.velmar.vfs.JniStream: reads and writes of a connection.
#include "boundary.h"
#include "com_velmar_vfs_JniStream.h"

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniStream_flushNative(JNIEnv *, jobject, jlong conn_fd) {
    // Nothing is held natively between calls, so there is nothing to flush.
    return conn_fd == 0 ? -1 : 0;
}
