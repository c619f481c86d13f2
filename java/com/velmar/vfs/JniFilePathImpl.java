package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** File-system calls on byte-array paths. */
public class JniFilePathImpl {
    static { NativeLibrary.load(); }

    public native int nativeIsEnabled();
    public native int nativeGetLastModified(byte[] name, int length);
    public native int nativeGetLength(byte[] name, int length);
    public static native boolean nativeCanRead(byte[] name);
    public static native FileStatus nativeStat(byte[] name, boolean doLstat);
    public static native boolean nativeLink(byte[] name, byte[] target, boolean hardLink);
    public native boolean nativeIsDirectory(byte[] name);
    public native void nativeChmod(byte[] name, int length, int mode);
    public native int nativeOpenRead(byte[] name, int length);
    public native int nativeOpenWrite(byte[] name, int length, boolean isAppend);
}
