package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/**
 * Reads and writes of an accepted connection, named by its handle from {@link JniSocketImpl#nativeAllocate()}.
 *
 * <p>Every call returns a byte count or one of the negative results below; none throws. The blocking calls
 * ({@link #readNative}, {@link #writeNative}, {@link #writeNative2}, {@link #sendFileNative}) wait as the socket
 * does, each system call up to the connection's receive or send time-out, and close the connection themselves when
 * they fail: after a negative result every further call on the handle returns {@link #ERROR}. The calls whose names
 * begin with {@code try} make one system call that never waits and never close the connection: the caller decides.
 *
 * <p>Calls on one connection must come one at a time (any thread, but not two at once); calls on different
 * connections are independent. Bytes are staged through a buffer on the calling thread's stack, at most 16384 bytes
 * per system call (32768 for the two-array calls), and Java arrays are never pinned. A window outside its array, a
 * negative length or offset, the handle 0 and a closed connection all give {@link #ERROR} without any I/O.
 */
public class JniStream {
    /** A null handle, closed connection or bad argument; or the operation failed. */
    public static final int ERROR = -1;
    /** A call that never waits could move nothing now: the socket has no data, or no room. */
    public static final int WOULD_BLOCK = -2;
    /** A blocking write or file send found the peer gone (reset, or the connection's end). */
    public static final int PEER_GONE = -3;
    /** The connection's read or write time-out expired; the connection is closed. */
    public static final int TIMEOUT = -4;

    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state: the handles do. */
    public JniStream() {}

    /**
     * One read of at most {@code min(length, 16384)} bytes into {@code buf[offset..]}, waiting up to the
     * connection's receive time-out for the first byte.
     *
     * @param conn the connection's handle
     * @param buf the array the bytes go to or come from
     * @param offset where the window starts in {@code buf}
     * @param length the window's length in bytes
     * @return the bytes stored; 0 when the peer has ended its sending side (or {@code length} is 0);
     *     {@link #ERROR} for a bad argument or a failure, {@link #TIMEOUT} when the time-out expired: both close the
     *     connection, but for a bad argument, which touches nothing
     */
    public native int readNative(long conn, byte[] buf, int offset, int length);

    /**
     * One read through the connection's non-blocking read operation: on a plain connection a receive that still
     * waits as the socket does, so call it only after a readiness report (for a read that never waits, use
     * {@link #tryReadNative}). It never closes the connection.
     *
     * @param conn the connection's handle
     * @param buf the array the bytes go to or come from
     * @param offset where the window starts in {@code buf}
     * @param length the window's length in bytes
     * @return as {@link #readNative}; a failure is {@link #ERROR}
     */
    public native int readNonBlockNative(long conn, byte[] buf, int offset, int length);

    /**
     * Writes the whole window, in sends of up to 16384 bytes, each waiting up to the send time-out.
     *
     * @param conn the connection's handle
     * @param buf the array the bytes go to or come from
     * @param offset where the window starts in {@code buf}
     * @param length the window's length in bytes
     * @return {@code length} once all went out; 0 when {@code length} is 0 or negative; {@link #ERROR},
     *     {@link #PEER_GONE} or {@link #TIMEOUT} on a failure, which closes the connection (what went out before it is
     *     not reported)
     */
    public native int writeNative(long conn, byte[] buf, int offset, int length);

    /**
     * Writes {@code buf1}'s window and then {@code buf2}'s, the end of the first and the start of the second in one
     * send (a response head and a small body), in sends of up to 32768 bytes.
     *
     * @param conn the connection's handle
     * @param buf1 the first array (a response head, say)
     * @param off1 where its window starts
     * @param len1 its window's length
     * @param buf2 the second array (a body)
     * @param off2 where its window starts
     * @param len2 its window's length
     * @return {@code len1 + len2}, or a negative result as {@link #writeNative}; either array null is {@link #ERROR}
     */
    public native int writeNative2(long conn, byte[] buf1, int off1, int len1, byte[] buf2, int off2, int len2);

    /**
     * Nothing is held natively between calls, so there is nothing to flush.
     *
     * @param conn the connection's handle
     * @return 0, also for a closed connection; {@link #ERROR} for the handle 0
     */
    public native int flushNative(long conn);

    /**
     * Sends {@code length} bytes of the open file {@code fd} from {@code offset} without copying them through Java
     * (the kernel's file send on a plain connection). The file's own position never moves, so one open descriptor
     * may serve several connections at once from several threads. Blocks as {@link #writeNative}: each send waits up
     * to the connection's send time-out, and short sends are continued. Offsets and lengths beyond 2 GiB work.
     *
     * <p>On a connection of a plug-in's operation table (an encrypting one, say) the same bytes are read from the
     * file in 16384-byte passes and written through its write operation.
     *
     * @param conn the connection's handle
     * @param fd an open file descriptor, readable (as from {@link JniFilePathImpl#nativeOpenRead})
     * @param offset the file position of the first byte to send
     * @param length how many bytes to send at most
     * @return the bytes sent: {@code length}, or fewer when the file ends before {@code offset + length} (it
     *     shrank: the body is short, so the caller should close the connection); 0 for a {@code length} of 0;
     *     {@link #ERROR} for handle 0, a closed connection, a negative {@code fd}, {@code offset} or {@code length},
     *     or a descriptor that cannot be sent from (none of which touches the connection); otherwise
     *     {@link #ERROR}, {@link #PEER_GONE} or {@link #TIMEOUT}, after which the connection is closed
     */
    public native long sendFileNative(long conn, int fd, long offset, long length);

    /**
     * One receive of at most {@code min(length, 16384)} bytes that never waits. Urgent data alone is not data: it
     * gives {@link #WOULD_BLOCK}. Any thread may call it, a selecting thread included.
     *
     * @param conn the connection's handle
     * @param buf the array the bytes go to or come from
     * @param offset where the window starts in {@code buf}
     * @param length the window's length in bytes
     * @return the bytes stored; 0 when the peer has ended its sending side (or {@code length} is 0);
     *     {@link #WOULD_BLOCK} when nothing has arrived; {@link #ERROR} for a failure or a bad argument, and on a
     *     connection of a plug-in's operation table (use the blocking calls there). The connection stays open.
     */
    public native int tryReadNative(long conn, byte[] buf, int offset, int length);

    /**
     * One send of at most {@code min(length, 16384)} bytes that never waits.
     *
     * @param conn the connection's handle
     * @param buf the array the bytes go to or come from
     * @param offset where the window starts in {@code buf}
     * @param length the window's length in bytes
     * @return the bytes the socket took now, maybe fewer than asked (0 for a {@code length} of 0);
     *     {@link #WOULD_BLOCK} when it has no room; {@link #ERROR} for a failure (the peer gone included) or a bad
     *     argument, and on a connection of a plug-in's operation table. The connection stays open.
     */
    public native int tryWriteNative(long conn, byte[] buf, int offset, int length);

    /**
     * One send that never waits of {@code buf1}'s window followed by {@code buf2}'s, at most 32768 bytes in all: a
     * response head and a small body in one system call.
     *
     * @param conn the connection's handle
     * @param buf1 the first array (a response head, say)
     * @param off1 where its window starts
     * @param len1 its window's length
     * @param buf2 the second array (a body)
     * @param off2 where its window starts
     * @param len2 its window's length
     * @return the bytes the socket took, counted from the start of {@code buf1}'s window; otherwise as
     *     {@link #tryWriteNative}
     */
    public native int tryWriteNative2(long conn, byte[] buf1, int off1, int len1, byte[] buf2, int off2, int len2);

    /**
     * One file send that never waits: as much of {@code fd}'s bytes from {@code offset} as the socket takes now, at
     * most {@code length}. The file's position never moves, and the connection's blocking calls keep their time-outs.
     *
     * @param conn the connection's handle
     * @param fd an open file descriptor, readable (as from {@link JniFilePathImpl#nativeOpenRead})
     * @param offset the file position of the first byte to send
     * @param length how many bytes to send at most
     * @return the bytes sent; 0 when the file has no bytes at {@code offset} (or {@code length} is 0);
     *     {@link #WOULD_BLOCK} when the socket has no room; {@link #ERROR} for a failure or a bad argument, and on a
     *     connection of a plug-in's operation table. The connection stays open.
     */
    public native long trySendFileNative(long conn, int fd, long offset, long length);
}
