package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** Reads, writes and positioning on a plain file descriptor. */
public class JniFileStream {
    static { NativeLibrary.load(); }

    public native int nativeRead(int fd, byte[] buf, int offset, int length);
    public native int nativeWrite(int fd, byte[] buf, int offset, int length);
    public native long nativeSkip(int fd, long offset);
    public native int nativeClose(int fd);
    public native int nativeFlushToDisk(int fd);
    public native int nativeSeekStart(int fd, long offset);
    public native int nativeSeekEnd(int fd, long offset);
}
