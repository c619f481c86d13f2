package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** A TCP listening socket; the handle is the address of its native record. */
public class JniServerSocketImpl {
    static { NativeLibrary.load(); }

    public native long bindPort(String addr, int port, int listenBacklog);
    public native void nativeSetConnectionReadTimeout(long ss, int timeout);
    public native void nativeSetConnectionWriteTimeout(long ss, int timeout);
    public native boolean nativeAccept(long ss, long conn);
    public native int getLocalPort(long ss);
    public native int closeNative(long ss);
}
