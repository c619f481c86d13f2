package com.velmar.server.port;

import com.velmar.util.NativeLibrary;

/** One poll set: a selecting thread waits while any thread adds and removes descriptors. */
public class JniSelectManager {
    static { NativeLibrary.load(); }

    public native long createNative();
    public native void initNative(long manager);
    public native int addNative(long manager, int fd);
    public native int removeNative(long manager, int fd);
    public native int selectNative(long manager, long ms);
    public native void closeNative(long manager);
}
