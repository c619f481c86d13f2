package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** One accepted connection; the handle is the address of its native record. */
public class JniSocketImpl {
    static { NativeLibrary.load(); }

    public native long nativeAllocate();
    public native void nativeClose(long conn);
    public native void nativeFree(long conn);
    public native boolean isSecure(long conn);
    public native String getCipher(long conn);
    public native int getCipherBits(long conn);
    public native boolean nativeReadNonBlock(long conn, int ms);
    public native int getRemoteIP(long conn, byte[] buffer, int offset, int length);
    public native int getRemotePort(long conn);
    public native int getLocalIP(long conn, byte[] buffer, int offset, int length);
    public native int getLocalPort(long conn);
    public native int getClientCertificate(long conn, byte[] buffer, int offset, int length);
    public native int getNativeFd(long conn);
}
