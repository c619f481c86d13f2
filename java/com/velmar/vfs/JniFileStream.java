package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** Reads, writes and positioning on a plain file descriptor. */
public class JniFileStream {
    /** nativeRead: the end of the file or a failure, before any byte was read; nativeWrite: a failure. */
    public static final int FAILED = -1;
    /** nativeWrite: every byte was written. */
    public static final int WRITTEN = 1;

    static { NativeLibrary.load(); }

    public native int nativeRead(int fd, byte[] buf, int offset, int length);
    public native int nativeWrite(int fd, byte[] buf, int offset, int length);
    public native long nativeSkip(int fd, long offset);
    public native int nativeClose(int fd);
    public native int nativeFlushToDisk(int fd);
    public native int nativeSeekStart(int fd, long offset);
    public native int nativeSeekEnd(int fd, long offset);
}
