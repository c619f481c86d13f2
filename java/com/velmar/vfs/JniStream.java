package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** Reads and writes of a connection: a byte count, or one of the negative results below. */
public class JniStream {
    /** A null handle, closed connection or bad array; or the operation failed. */
    public static final int ERROR = -1;
    /** A write found the peer gone. */
    public static final int PEER_GONE = -3;
    /** The connection's read or write time-out expired. */
    public static final int TIMEOUT = -4;

    static { NativeLibrary.load(); }

    public native int readNative(long conn, byte[] buf, int offset, int length);
    public native int readNonBlockNative(long conn, byte[] buf, int offset, int length);
    public native int writeNative(long conn, byte[] buf, int offset, int length);
    public native int writeNative2(long conn, byte[] buf1, int off1, int len1, byte[] buf2, int off2, int len2);
    public native int flushNative(long conn);
}
