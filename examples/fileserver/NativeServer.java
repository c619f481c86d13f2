package fileserver;

import com.velmar.server.port.JniSelectManager;
import com.velmar.vfs.JniServerSocketImpl;
import com.velmar.vfs.JniSocketImpl;
import com.velmar.vfs.JniStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.TimeUnit;

/**
 * The server on libtalvo. Threads wait in the native accept and park each new
 * connection on one of a few select managers. The selecting thread of a
 * manager serves a connection that became readable itself when the request is
 * all there and its answer goes out in one write, then parks it again; a
 * request that arrives in pieces, a body that takes more writes, or pipelined
 * requests go to a worker thread. An idle connection holds no thread.
 *
 * <p>A selecting thread never waits for a client to send; it can wait for one
 * that stops reading, at most for the write time-out, after which the
 * connection is closed. Hence the shorter default write time-out.
 */
final class NativeServer implements FileServer.Server {
    private static final JniServerSocketImpl LISTENER = new JniServerSocketImpl();
    private static final JniSocketImpl SOCKET = new JniSocketImpl();
    private static final JniStream STREAM = new JniStream();
    private static final JniSelectManager SELECT = new JniSelectManager();

    private final FileServer.Options options;
    private final HttpSession.Site site;
    private final List<Thread> threads = new ArrayList<>();
    private final ExecutorService workers;
    private Loop[] loops;
    private long listener;
    private volatile boolean stopping;

    NativeServer(FileServer.Options options, String root, HttpSession.AccessLog log) {
        this.options = options;
        this.site = new HttpSession.Site(root, new NativeFs(), log, options.dotfiles);
        workers = FileServer.workers();
    }

    @Override
    public int start() throws IOException {
        listener = LISTENER.bindPort(options.addr, options.port, options.backlog);
        if (listener == 0) throw new IOException("cannot listen on " + options.addr + ":" + options.port);
        LISTENER.nativeSetConnectionReadTimeout(listener, options.readTimeoutMs);
        LISTENER.nativeSetConnectionWriteTimeout(listener, options.writeTimeoutMs);
        loops = new Loop[options.loops];
        for (int i = 0; i < loops.length; i++) {
            loops[i] = new Loop();
            threads.add(FileServer.daemon(loops[i]::run, "select-" + i));
        }
        for (int i = 0; i < options.acceptors; i++) threads.add(FileServer.daemon(this::acceptLoop, "accept-" + i));
        threads.forEach(Thread::start);
        return LISTENER.getLocalPort(listener);
    }

    private void acceptLoop() {
        int next = 0;
        while (!stopping) {
            long conn = SOCKET.nativeAllocate();
            if (conn == 0) {
                FileServer.pause();
                continue;
            }
            // closeNative frees the listening record once the threads inside the
            // accept are out: look at the flag as late as possible before entering.
            if (stopping) {
                SOCKET.nativeFree(conn);
                break;
            }
            if (!LISTENER.nativeAccept(listener, conn)) {
                SOCKET.nativeFree(conn);
                if (!stopping) FileServer.pause(); // e.g. out of descriptors: do not spin
                continue;
            }
            HttpSession session = new HttpSession(new NativeConn(conn), site);
            if (stopping) {
                session.conn().close();
                break;
            }
            session.home = next;
            next = (next + 1) % loops.length; // a plain count would go negative after 2^31 connections
            park(session);
        }
    }

    /**
     * Carries a connection on from {@code step} until it is parked, closed or
     * handed to a worker. The selecting thread ({@code inLoop}) never waits on
     * a client: what might wait goes to a worker.
     */
    private void carry(HttpSession session, HttpSession.Step step, boolean inLoop) {
        while (true) {
            switch (step) {
                case MORE, PARTIAL -> {
                    if (inLoop) {
                        hand(session, step);
                        return;
                    }
                    step = step == HttpSession.Step.MORE
                        ? (session.finish() ? HttpSession.Step.KEEP : HttpSession.Step.CLOSE)
                        : session.serve(-1, null);
                }
                case CLOSE -> {
                    if (session.unread()) {
                        if (inLoop) {
                            hand(session, step);
                            return;
                        }
                        session.conn().drain();
                    }
                    session.conn().close();
                    return;
                }
                case KEEP -> {
                    if (stopping) {
                        session.conn().close();
                        return;
                    }
                    if (!session.hasBuffered()) {
                        park(session);
                        return;
                    }
                    if (inLoop) {
                        hand(session, step); // a pipelining client gets one answer per turn of the loop
                        return;
                    }
                    step = session.serve(0, null); // a pipelined request already read
                }
            }
        }
    }

    private void hand(HttpSession session, HttpSession.Step step) {
        try {
            workers.execute(() -> carry(session, step, false));
        } catch (RejectedExecutionException stopped) {
            session.conn().close();
        }
    }

    private void park(HttpSession session) {
        Loop loop = loops[session.home];
        int fd = SOCKET.getNativeFd(((NativeConn) session.conn()).handle);
        session.idleSince = System.nanoTime();
        loop.parked.put(fd, session);
        if (SELECT.addNative(loop.manager, fd) == fd) return;
        // The manager is closed: we are stopping, and whoever takes it out closes it.
        if (loop.parked.remove(fd, session)) session.conn().close();
    }

    /** One select manager, its selecting thread and the connections parked on it. */
    private final class Loop {
        final long manager = SELECT.createNative();
        final Map<Integer, HttpSession> parked = new ConcurrentHashMap<>();
        /** Small files this loop's thread keeps open. */
        final FileCache files = new FileCache(site.fs());

        Loop() {
            SELECT.initNative(manager);
        }

        /** Serves readable connections, and closes those idle for longer than the read time-out. */
        void run() {
            long idleLimit = TimeUnit.MILLISECONDS.toNanos(options.readTimeoutMs);
            long lastSweep = System.nanoTime();
            while (true) {
                int fd = SELECT.selectNative(manager, 1000);
                if (stopping) {
                    files.clear();
                    break;
                }
                if (fd >= 0) {
                    HttpSession session = parked.remove(fd);
                    if (session != null) carry(session, session.serve(1, files), true);
                }
                long now = System.nanoTime();
                if (now - lastSweep < TimeUnit.SECONDS.toNanos(1)) continue;
                lastSweep = now;
                for (Map.Entry<Integer, HttpSession> e : parked.entrySet()) {
                    if (now - e.getValue().idleSince > idleLimit && parked.remove(e.getKey(), e.getValue())) {
                        SELECT.removeNative(manager, e.getKey());
                        e.getValue().conn().close();
                    }
                }
            }
        }
    }

    @Override
    public void stop() {
        stopping = true;
        // Wakes every thread waiting in the accept, closes the socket and frees its record.
        LISTENER.closeNative(listener);
        for (Loop loop : loops) SELECT.closeNative(loop.manager);
        for (Thread t : threads) join(t);
        for (Loop loop : loops) {
            for (Integer fd : loop.parked.keySet()) {
                HttpSession s = loop.parked.remove(fd);
                if (s != null) s.conn().close();
            }
        }
        workers.shutdown();
        try {
            workers.awaitTermination(2000, TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    @Override
    public void await() throws InterruptedException {
        for (Thread t : threads) t.join();
    }

    private static void join(Thread t) {
        try {
            t.join(3000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** A connection record of the library. */
    static final class NativeConn implements Conn {
        final long handle;
        private boolean closed;

        NativeConn(long handle) {
            this.handle = handle;
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
        }
    }
}
