package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/**
 * A TCP listening socket; the handle is the address of its native record.
 *
 * <p>A listening socket lives from {@link #bindPort} to {@link #closeNative}: the time-out setters,
 * {@code nativeAccept} and {@code getLocalPort} may be called from any threads in between, and any
 * number of threads may wait in {@code nativeAccept} at once. Every method given the handle 0 returns
 * at once with false or 0 and touches nothing; a handle used after {@code closeNative}, or one that
 * {@code bindPort} did not return, is the caller's error and may crash the JVM. Loading this class loads
 * the native library ({@link NativeLibrary#load()}).
 */
public class JniServerSocketImpl {
    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state: the handles do. */
    public JniServerSocketImpl() {}

    /**
     * Opens a socket listening on a numeric address and a port, with address reuse on. A port that
     * another socket holds is tried again every 100 ms: the call blocks for up to about 5.1 seconds
     * before it gives up. Connections accepted from it start with read and write time-outs of 65000 ms.
     * The descriptor is not inherited by programs the process starts. When {@code addr} is not a numeric
     * address or {@code port} lies outside 0 to 65535, the call throws {@link java.net.SocketException}
     * (not declared) with the message "can't find address ADDR".
     *
     * @param addr a numeric IPv4 or IPv6 address ({@code 127.0.0.1}, {@code ::1}, {@code 0.0.0.0});
     *     names are not looked up; at most its first 255 characters are used
     * @param port the port, 0 to 65535; 0 lets the system choose one
     * @param listenBacklog the length of the queue of connections not yet accepted; 0 or less means 100
     * @return the handle of the listening socket; 0 when the system refuses the socket, the port stays
     *     taken, or there is no memory for the record (no exception then)
     * @throws NullPointerException with the message "missing addr" when {@code addr} is null
     */
    public native long bindPort(String addr, int port, int listenBacklog);

    /**
     * Sets the read time-out that connections accepted from now on get: a read that waits longer
     * returns {@link JniStream#TIMEOUT} and closes the connection. Connections already accepted keep
     * theirs. Any thread, any time while the socket is open; returns at once.
     *
     * @param ss the listening socket's handle; 0 does nothing
     * @param timeout milliseconds; 0 to 499 mean 500, a negative value means 600000 (ten minutes)
     */
    public native void nativeSetConnectionReadTimeout(long ss, int timeout);

    /**
     * Sets the write time-out that connections accepted from now on get: a write that finds no room
     * for longer returns {@link JniStream#TIMEOUT} and closes the connection. As
     * {@link #nativeSetConnectionReadTimeout} otherwise.
     *
     * @param ss the listening socket's handle; 0 does nothing
     * @param timeout milliseconds; 0 to 499 mean 500, a negative value means 600000 (ten minutes)
     */
    public native void nativeSetConnectionWriteTimeout(long ss, int timeout);

    /**
     * Waits for the next client and accepts it into a connection record. The call blocks without limit
     * until a client connects, the accept fails, or another thread closes the listening socket. The
     * accepted connection has Nagle's delay off, the socket's current time-outs, and its two addresses
     * stored for {@link JniSocketImpl}'s queries.
     *
     * @param ss the listening socket's handle
     * @param conn a connection record from {@link JniSocketImpl#nativeAllocate()} that holds no open
     *     connection; each thread waiting at once needs its own
     * @return true when a connection was accepted into {@code conn}; false when either handle is 0, the
     *     accept failed or the socket was closed, and then {@code conn} holds no connection. A thread
     *     woken by {@code closeNative} may instead return true with a connection whose first read
     *     returns 0 (its peer has already closed).
     */
    public native boolean nativeAccept(long ss, long conn);

    /**
     * The port that {@link #bindPort} was asked for: 0 when the system chose the port. Returns at once.
     *
     * @param ss the listening socket's handle
     * @return the port as given to {@code bindPort}; 0 for the handle 0
     */
    public native int getLocalPort(long ss);

    /**
     * Closes the listening socket and frees its record. Threads waiting in {@code nativeAccept} are woken
     * and return; the call blocks until every one of them has left the accept (normally within a second),
     * so that none touches the freed record. Call it once, from any thread; the handle is dead afterwards.
     *
     * @param ss the listening socket's handle; 0 does nothing
     * @return 0
     */
    public native int closeNative(long ss);
}
