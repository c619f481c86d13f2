package fileserver;

import com.velmar.server.port.JniSelectManager;
import com.velmar.vfs.JniServerSocketImpl;
import com.velmar.vfs.JniSocketImpl;
import com.velmar.vfs.JniStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The server on libtalvo. Accepting threads park each new connection on one of
 * a few select managers. A selecting thread only dispatches: it hands each
 * connection reported readable to a worker and closes those whose time is up;
 * it never reads, writes or opens a file, so no client and no disk can stall
 * it. A worker reads what has arrived, answers, and parks the connection again;
 * a head that is not all there is parked too, until it completes or its
 * deadline passes. An idle connection holds no thread.
 *
 * <p>The library's reads block (as the socket does, up to its receive time-out),
 * and a connection with urgent data alone is reported readable with nothing to
 * read: that is why no selecting thread reads, and why the receive time-out is
 * short. Every read follows a report, so a client that keeps to the protocol
 * never meets it; the idle and head limits are the loops' own.
 */
final class NativeServer implements FileServer.Server {
    private static final JniServerSocketImpl LISTENER = new JniServerSocketImpl();
    private static final JniSocketImpl SOCKET = new JniSocketImpl();
    private static final JniStream STREAM = new JniStream();
    private static final JniSelectManager SELECT = new JniSelectManager();

    /** The kernel's bound on one read (the library's least): how long a report with nothing behind it holds a worker. */
    private static final int READ_GUARD_MS = 500;
    /**
     * How long a worker waits for the next request on a connection it just answered
     * before parking it: a busy keep-alive client then costs no hop through a selecting
     * thread, whose hand-off to a worker is a thread wake-up (hundreds of µs, and a
     * scheduler slice on a loaded machine, the tail of the latency).
     */
    private static final int LINGER_MS = 20;
    /** Longest wait of a selecting thread, so that a deadline parked meanwhile is kept within it. */
    private static final long TURN_NANOS = TimeUnit.MILLISECONDS.toNanos(100);

    private final FileServer.Options options;
    private final HttpSession.Site site;
    private final long idleNanos;
    private final long headNanos;
    private final Workers workers;
    /** Writes the 503 answers, so that neither a selecting nor an accepting thread writes. */
    private final Workers refusals;
    /** Files kept open by each worker thread, closed when the thread ends. */
    private final ThreadLocal<FileCache> files;
    private final AtomicInteger open = new AtomicInteger();
    private final List<Thread> acceptors = new ArrayList<>();
    private final List<Thread> selectors = new ArrayList<>();
    private Loop[] loops = new Loop[0];
    private long listener;
    private volatile boolean stopping;
    private final CountDownLatch go = new CountDownLatch(1);

    NativeServer(FileServer.Options options, String root, HttpSession.AccessLog log) {
        this.options = options;
        this.site = new HttpSession.Site(root, new NativeFs(), log, options.dotfiles);
        idleNanos = TimeUnit.MILLISECONDS.toNanos(options.readTimeoutMs);
        headNanos = TimeUnit.MILLISECONDS.toNanos(options.headTimeoutMs);
        files = ThreadLocal.withInitial(() -> new FileCache(site.fs()));
        workers = new Workers(0, options.workers > 0 ? options.workers : 256, options.queue, "worker", () -> {
            files.get().clear();
            files.remove();
        });
        refusals = new Workers(2, 2, 256, "refuse", () -> {});
    }

    @Override
    public int bind() throws IOException {
        FileServer.checkListen(options.addr, options.port);
        try {
            listener = LISTENER.bindPort(options.addr, options.port, options.backlog);
        } catch (Exception e) { // the library's SocketException for an address that is not numeric
            throw new IOException(e.getMessage(), e);
        }
        if (listener == 0) throw new IOException("cannot listen on " + options.addr + " port " + options.port);
        LISTENER.nativeSetConnectionReadTimeout(listener, READ_GUARD_MS);
        LISTENER.nativeSetConnectionWriteTimeout(listener, options.writeTimeoutMs);
        return LISTENER.getLocalPort(listener);
    }

    @Override
    public void start() {
        loops = new Loop[options.loops];
        for (int i = 0; i < loops.length; i++) {
            loops[i] = new Loop();
            selectors.add(FileServer.gated(go, loops[i]::run, "select-" + i));
        }
        for (int i = 0; i < options.acceptors; i++) acceptors.add(FileServer.gated(go, this::acceptLoop, "accept-" + i));
        selectors.forEach(Thread::start);
        acceptors.forEach(Thread::start);
        // The 503 writers too: answering that the workers are out must not need a new thread.
        refusals.prestartAllCoreThreads();
    }

    @Override
    public void serve() {
        go.countDown();
    }

    private void acceptLoop() {
        int next = 0;
        while (!stopping) {
            long conn = SOCKET.nativeAllocate();
            if (conn == 0) {
                FileServer.pause();
                continue;
            }
            // The listener record stays until every accepting thread has ended (see stop).
            if (!LISTENER.nativeAccept(listener, conn)) {
                SOCKET.nativeFree(conn);
                if (!stopping) FileServer.pause(); // e.g. out of descriptors: do not spin
                continue;
            }
            open.incrementAndGet();
            HttpSession session = new HttpSession(new NativeConn(conn), site);
            if (stopping) {
                session.conn().close();
                break;
            }
            if (open.get() > options.maxConnections) {
                refuse(session);
                continue;
            }
            session.home = next;
            next = (next + 1) % loops.length; // a plain count would go negative after 2^31 connections
            park(session);
        }
    }

    /** A worker's turn with a connection that was reported readable: read, answer, and park it again. */
    private void work(HttpSession session) {
        FileCache cache = files.get();
        HttpSession.Step step = session.serve(1, cache);
        while (true) {
            switch (step) {
                case PARTIAL -> {
                    park(session);
                    return;
                }
                case MORE -> step = session.finish() ? HttpSession.Step.KEEP : HttpSession.Step.CLOSE;
                case CLOSE -> {
                    if (session.unread()) session.conn().drain();
                    session.conn().close();
                    return;
                }
                case KEEP -> {
                    if (stopping) {
                        session.conn().close();
                        return;
                    }
                    if (session.hasBuffered()) {
                        step = session.serve(0, cache); // a pipelined request already read
                    } else if (workers.getQueue().isEmpty()
                            && SOCKET.nativeReadNonBlock(((NativeConn) session.conn()).handle, LINGER_MS)) {
                        // A busy client's next request, without the round through a selecting thread;
                        // never while others wait for a worker.
                        step = session.serve(1, cache);
                    } else {
                        park(session);
                        return;
                    }
                }
            }
        }
    }

    private void hand(HttpSession session) {
        if (!workers.offer(() -> work(session))) refuse(session);
    }

    /** 503 and close, on a thread of its own; when even that is refused, just the close. */
    private void refuse(HttpSession session) {
        boolean taken = refusals.offer(() -> {
            session.refuse();
            session.conn().drain();
            session.conn().close();
        });
        if (!taken) session.conn().close();
    }

    /** Watches the connection for its next bytes, until the idle limit, or the head's deadline when one has begun. */
    private void park(HttpSession session) {
        long now = System.nanoTime();
        long due = now + idleNanos;
        long started = session.headStarted();
        if (started != 0) due = Math.min(due, started + headNanos);
        int fd = ((NativeConn) session.conn()).fd;
        if (due - now > 0 && session.home < loops.length) {
            Loop loop = loops[session.home];
            synchronized (loop) {
                loop.parked.put(fd, session);
                loop.due.add(session, due);
                if (SELECT.addNative(loop.manager, fd) == fd) return;
                // The manager is closed: we are stopping.
                loop.parked.remove(fd);
                loop.due.remove(session);
            }
        }
        session.conn().close();
    }

    /** One select manager, its selecting thread and the connections parked on it. */
    private final class Loop {
        final long manager = SELECT.createNative();
        /** Guarded by this loop: the parked connections by descriptor, and by when they are due. */
        final Map<Integer, HttpSession> parked = new HashMap<>();
        final Due due = new Due();

        Loop() {
            SELECT.initNative(manager);
        }

        void run() {
            long wait = 1;
            while (true) {
                int fd = SELECT.selectNative(manager, wait);
                if (stopping) break;
                HttpSession ready = null;
                synchronized (this) {
                    if (fd >= 0 && (ready = parked.remove(fd)) != null) due.remove(ready);
                    wait = closeOverdue(System.nanoTime());
                }
                if (ready != null) hand(ready);
            }
        }

        /**
         * Closes the connections whose idle limit or head deadline has passed, looking
         * only at the earliest; returns how long the next wait may last, in ms.
         */
        private long closeOverdue(long now) {
            HttpSession first;
            while ((first = due.first()) != null && first.due - now <= 0) {
                due.remove(first);
                int fd = ((NativeConn) first.conn()).fd;
                parked.remove(fd);
                SELECT.removeNative(manager, fd);
                first.conn().close();
            }
            long left = first == null ? TURN_NANOS : Math.min(first.due - now, TURN_NANOS);
            return Math.max(1, TimeUnit.NANOSECONDS.toMillis(left + 999_999));
        }
    }

    /** Parked connections ordered by when they are due: a binary heap that knows each one's place. */
    static final class Due {
        private HttpSession[] heap = new HttpSession[64];
        private int size;

        HttpSession first() {
            return size == 0 ? null : heap[0];
        }

        void add(HttpSession s, long due) {
            if (size == heap.length) heap = Arrays.copyOf(heap, size * 2);
            s.due = due;
            place(s, size++);
            up(s.dueSlot);
        }

        void remove(HttpSession s) {
            int i = s.dueSlot;
            if (i < 0) return;
            s.dueSlot = -1;
            HttpSession last = heap[--size];
            heap[size] = null;
            if (i == size) return;
            place(last, i);
            down(i);
            up(last.dueSlot);
        }

        private void up(int i) {
            while (i > 0 && heap[i].due - heap[(i - 1) / 2].due < 0) swap(i, i = (i - 1) / 2);
        }

        private void down(int i) {
            for (int c; (c = 2 * i + 1) < size; i = c) {
                if (c + 1 < size && heap[c + 1].due - heap[c].due < 0) c++;
                if (heap[c].due - heap[i].due >= 0) return;
                swap(i, c);
            }
        }

        private void swap(int a, int b) {
            HttpSession s = heap[a];
            place(heap[b], a);
            place(s, b);
        }

        private void place(HttpSession s, int i) {
            heap[i] = s;
            s.dueSlot = i;
        }
    }

    @Override
    public void stop() {
        stopping = true;
        go.countDown();
        // The listener record is freed only once no thread can enter the accept with it.
        for (int round = 0; round < 3 && acceptors.stream().anyMatch(Thread::isAlive); round++) {
            for (Thread t : acceptors) if (t.isAlive()) FileServer.wake(options.addr, options.port);
            for (Thread t : acceptors) join(t, 1000);
        }
        if (acceptors.stream().anyMatch(Thread::isAlive)) {
            System.err.println("fileserver: an accepting thread did not stop; the listening socket stays open");
        } else if (listener != 0) {
            LISTENER.closeNative(listener);
            listener = 0;
        }
        for (Loop loop : loops) SELECT.closeNative(loop.manager);
        for (Thread t : selectors) join(t, 3000);
        for (Loop loop : loops) {
            synchronized (loop) {
                for (HttpSession s : loop.parked.values()) s.conn().close();
                loop.parked.clear();
            }
        }
        workers.shutdown();
        refusals.shutdown();
        try {
            workers.awaitTermination(2000, TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Override
    public void await() throws InterruptedException {
        for (Thread t : selectors) t.join();
        for (Thread t : acceptors) t.join();
    }

    private static void join(Thread t, long ms) {
        try {
            t.join(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** A connection record of the library. */
    final class NativeConn implements Conn {
        final long handle;
        /** The descriptor, kept after the close: the key under which the connection was parked. */
        final int fd;
        private boolean closed;

        NativeConn(long handle) {
            this.handle = handle;
            this.fd = SOCKET.getNativeFd(handle);
        }

        @Override
        public int read(byte[] buf, int off, int len) {
            return STREAM.readNative(handle, buf, off, len);
        }

        @Override
        public int write(byte[] buf, int off, int len) {
            return STREAM.writeNative(handle, buf, off, len);
        }

        @Override
        public int write2(byte[] head, int headLen, byte[] body, int off, int len) {
            return STREAM.writeNative2(handle, head, 0, headLen, body, off, len);
        }

        @Override
        public String peer() {
            byte[] text = new byte[64];
            int n = SOCKET.getRemoteIP(handle, text, 0, text.length);
            return n > 0 && n < text.length ? new String(text, 0, n, StandardCharsets.US_ASCII) : "-";
        }

        @Override
        public void drain() {
            byte[] buf = new byte[4096];
            long deadline = System.currentTimeMillis() + FileServer.DRAIN_MS;
            for (int total = 0; total < FileServer.DRAIN_LIMIT && System.currentTimeMillis() < deadline
                    && SOCKET.nativeReadNonBlock(handle, FileServer.DRAIN_PAUSE_MS); ) {
                int n = STREAM.readNative(handle, buf, 0, buf.length);
                if (n <= 0) return;
                total += n;
            }
        }

        /** Closes the descriptor and frees the record; only the thread that owns the connection calls it. */
        @Override
        public void close() {
            if (closed) return;
            closed = true;
            SOCKET.nativeClose(handle);
            SOCKET.nativeFree(handle);
            open.decrementAndGet();
        }
    }
}
