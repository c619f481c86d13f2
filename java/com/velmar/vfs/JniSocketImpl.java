package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/**
 * One accepted connection; the handle is the address of its native record.
 *
 * <p>A record goes through these states: allocated ({@link #nativeAllocate()}, no descriptor), open
 * (after {@link JniServerSocketImpl#nativeAccept}), closed ({@link #nativeClose}, or a failed read or
 * write of {@link JniStream}), freed ({@link #nativeFree}). The queries answer in every state but freed;
 * the addresses and ports stay readable after the close. No method blocks except
 * {@link #nativeReadNonBlock}, none throws, and none takes a lock: any thread may call them, but calls
 * on one record are not guarded against each other, and {@code nativeFree} must come after every other
 * call on the handle has returned. Every method given the handle 0 returns the neutral result it names
 * and touches nothing; a freed or invented handle is the caller's error and may crash the JVM. Loading
 * this class loads the native library ({@link NativeLibrary#load()}).
 */
public class JniSocketImpl {
    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state: the handles do. */
    public JniSocketImpl() {}

    /**
     * Makes a connection record that holds no connection yet, for {@link JniServerSocketImpl#nativeAccept}.
     * A record may be used for one accepted connection after another, closed in between.
     *
     * @return the record's handle; 0 when there is no memory for it
     */
    public native long nativeAllocate();

    /**
     * Closes the connection's descriptor; the record stays, closed. Later reads and writes on it return
     * {@link JniStream#ERROR}. Returns at once.
     *
     * @param conn the connection's handle; 0 or an already closed connection does nothing
     */
    public native void nativeClose(long conn);

    /**
     * Frees the record; the handle is dead afterwards. It does not close the descriptor: close an open
     * connection with {@link #nativeClose} first, or its descriptor stays open.
     *
     * @param conn the connection's handle; 0 does nothing
     */
    public native void nativeFree(long conn);

    /**
     * Whether the connection is encrypted. The library's own connections are plain TCP.
     *
     * @param conn the connection's handle
     * @return true only for a connection of a secure transport that has its cipher; false for a plain
     *     connection and for the handle 0
     */
    public native boolean isSecure(long conn);

    /**
     * The name of the connection's cipher.
     *
     * @param conn the connection's handle
     * @return the cipher's name on a secure connection; null for a plain connection and for the handle 0
     */
    public native String getCipher(long conn);

    /**
     * The key length of the connection's cipher.
     *
     * @param conn the connection's handle
     * @return the cipher's bits on a secure connection; 0 for a plain connection and for the handle 0
     */
    public native int getCipherBits(long conn);

    /**
     * Waits until the connection has something to read, without reading it. Blocks for at most
     * {@code ms} milliseconds.
     *
     * @param conn the connection's handle
     * @param ms the longest wait in milliseconds; 0 does not wait; a negative value waits without limit
     * @return true when data, urgent data, an error or a hang-up is pending (the next read reports the
     *     last two); false when the time passed, a signal ended the wait, the connection is closed, or the
     *     handle is 0
     */
    public native boolean nativeReadNonBlock(long conn, int ms);

    /**
     * The peer's numeric address as text ({@code 127.0.0.1}, {@code ::1}), copied without a terminating
     * zero byte. The text is copied only when it is shorter than {@code length}.
     *
     * @param conn the connection's handle
     * @param buffer the array to copy the text into
     * @param offset where the text goes in {@code buffer}
     * @param length the room at {@code offset}
     * @return the text's length, also when it did not fit and nothing was copied; 0 when the address
     *     has no text, for the handle 0, a null array, a negative {@code offset} or {@code length}, and
     *     when the text would not lie inside the array (nothing copied)
     */
    public native int getRemoteIP(long conn, byte[] buffer, int offset, int length);

    /**
     * The peer's port.
     *
     * @param conn the connection's handle
     * @return the port, 0 to 65535; 0 before an accept and for the handle 0
     */
    public native int getRemotePort(long conn);

    /**
     * The local numeric address of the connection as text, copied without a terminating zero byte, only
     * when it is shorter than {@code length}.
     *
     * @param conn the connection's handle
     * @param buffer the array to copy the text into
     * @param offset where the text goes in {@code buffer}
     * @param length the room at {@code offset}
     * @return the text's length when it was copied; 0 when it did not fit, for the handle 0, a null
     *     array, a negative {@code offset} or {@code length}, and when the text would not lie inside the
     *     array (nothing copied)
     */
    public native int getLocalIP(long conn, byte[] buffer, int offset, int length);

    /**
     * The local port of the connection.
     *
     * @param conn the connection's handle
     * @return the port, 0 to 65535; 0 before an accept and for the handle 0
     */
    public native int getLocalPort(long conn);

    /**
     * The client's certificate on a secure connection, at most 8192 bytes of it.
     *
     * @param conn the connection's handle
     * @param buffer the array to copy the certificate into
     * @param offset where it goes in {@code buffer}
     * @param length the room at {@code offset}
     * @return the certificate's length when it was copied; a length greater than {@code length} when it
     *     did not fit (nothing copied); -1 on a plain connection, for the handle 0, a null array, a
     *     negative {@code offset} or {@code length}, or a window outside the array
     */
    public native int getClientCertificate(long conn, byte[] buffer, int offset, int length);

    /**
     * The connection's descriptor, for {@code JniSelectManager.addNative}. It stays the record's: do not
     * close it directly.
     *
     * @param conn the connection's handle
     * @return the descriptor; -1 before an accept, after the close, and for the handle 0
     */
    public native int getNativeFd(long conn);
}
