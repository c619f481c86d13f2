package fileserver;

/**
 * One client connection: the transport's calls on it, and the state of its
 * session (the request bytes read and not yet answered, its deadline while
 * parked). Only the thread that holds the connection (its select loop after a
 * report, or one worker) uses it.
 */
abstract class Conn {
    /** The non-waiting calls could move nothing now. */
    static final int AGAIN = -2;
    /** The connection failed, or the peer left; it is to be closed. */
    static final int GONE = -1;

    /** The select loop that watches it. */
    final Server.Loop loop;
    /** Bytes read and not yet answered, {@code in[start, end)}; null when there are none. */
    byte[] in;
    int start;
    int end;
    /** When the request head now being read began (System.nanoTime), or 0; while draining, when that began. */
    long headStarted;
    /** After an answer that ends it: what the client still sends is read and dropped until it pauses, then it is closed. */
    boolean draining;
    int drained;
    /** The last report found nothing to read. */
    boolean empty;
    /** Watched by its loop, until {@code due}; guarded by the loop. */
    boolean parked;
    long due;
    /** Its place in the loop's {@link Server.Due}, or -1. */
    int dueSlot = -1;
    private boolean closed;

    Conn(Server.Loop loop) {
        this.loop = loop;
    }

    /** One read that never waits: bytes read, AGAIN, or GONE (the peer closed, or a failure). */
    abstract int read(byte[] buf, int off, int len);

    /** One send of the two windows that never waits: bytes sent (from the first window's start), AGAIN, or GONE. */
    abstract long trySend(byte[] head, int headOff, int headLen, byte[] body, int bodyOff, int bodyLen);

    /** One send of the file's bytes {@code [from, from + length)} that never waits: bytes sent, AGAIN, or GONE. */
    abstract long trySendFile(OpenFile file, long from, long length);

    /** Sends both windows whole, waiting up to the write time-out for each step; false when that fails. */
    abstract boolean send(byte[] head, int headOff, int headLen, byte[] body, int bodyOff, int bodyLen);

    /** Sends the file's bytes {@code [from, from + length)} whole, as {@link #send} does; false when that fails or the file ends early. */
    abstract boolean sendFile(OpenFile file, long from, long length);

    /** Watches the connection for its next bytes on its loop; false when the loop is closed. Called holding the loop. */
    abstract boolean watch();

    /** Stops watching the connection: before it is closed, or handed to a worker. Called holding the loop. */
    abstract void unwatch();

    /** The peer's numeric address, for the access log. */
    abstract String peer();

    /** Releases the transport's connection. */
    abstract void shut();

    final void close() {
        if (closed) return;
        closed = true;
        loop.closed(this);
    }
}
