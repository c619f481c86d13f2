package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** Reads and writes of a connection. Negative results: -1 error, -3 peer gone, -4 time-out. */
public class JniStream {
    static { NativeLibrary.load(); }

    public native int readNative(long conn, byte[] buf, int offset, int length);
    public native int readNonBlockNative(long conn, byte[] buf, int offset, int length);
    public native int writeNative(long conn, byte[] buf, int offset, int length);
    public native int writeNative2(long conn, byte[] buf1, int off1, int len1, byte[] buf2, int off2, int len2);
    public native int flushNative(long conn);
}
