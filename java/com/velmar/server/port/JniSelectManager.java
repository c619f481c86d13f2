package com.velmar.server.port;

import com.velmar.util.NativeLibrary;

/**
 * One set of watched descriptors: a selecting thread waits while any thread adds and removes
 * descriptors. {@code selectNative} reports the ready entry that was added earliest and takes it
 * out of the set; the further ready entries of the same wait follow without another wait.
 *
 * <p>Callers remove a descriptor before they close it. A descriptor closed while still in the set
 * may never be reported (a poll would have reported it as invalid), and a new file that takes its
 * number may go unwatched until the number is added again; from then on every entry of that number
 * watches the new file.
 */
public class JniSelectManager {
    static { NativeLibrary.load(); }

    public native long createNative();
    public native void initNative(long manager);
    public native int addNative(long manager, int fd);
    public native int removeNative(long manager, int fd);
    public native int selectNative(long manager, long ms);
    public native void closeNative(long manager);
}
