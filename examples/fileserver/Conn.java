package fileserver;

import com.velmar.vfs.JniStream;

/**
 * One client connection as the request handling sees it. Results follow the
 * library's stream calls: a byte count, 0 when the peer closed, or a negative
 * code ({@link JniStream#ERROR}, {@link JniStream#PEER_GONE}, {@link JniStream#TIMEOUT}),
 * after which the connection is already closed.
 */
interface Conn {
    int read(byte[] buf, int off, int len);

    /** Writes all of the window, or returns a negative code. */
    int write(byte[] buf, int off, int len);

    /** Writes {@code head[0, headLen)} and then the body window, the two joined in one send where they fit. */
    int write2(byte[] head, int headLen, byte[] body, int off, int len);

    /** The peer's numeric address, for the access log. */
    String peer();

    /**
     * Reads and drops what the peer still sends, until it pauses (or for at
     * most {@link FileServer#DRAIN_MS}), before a close: closing with unread
     * bytes makes the kernel reset the connection, which can destroy the answer
     * before the client has read it.
     */
    void drain();

    void close();
}
