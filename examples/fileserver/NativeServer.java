package fileserver;

import com.velmar.server.port.JniSelectManager;
import com.velmar.vfs.FileStatus;
import com.velmar.vfs.JniFilePathImpl;
import com.velmar.vfs.JniFileStream;
import com.velmar.vfs.JniServerSocketImpl;
import com.velmar.vfs.JniSocketImpl;
import com.velmar.vfs.JniStream;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * The server on libtalvo: threads wait in the native accept, a worker serves a
 * connection while requests keep coming, and a connection that goes quiet is
 * parked on the select manager, holding no thread until it is readable again.
 */
final class NativeServer implements FileServer.Server {
    /** How long a worker waits for the next request of a connection before parking it. */
    static final int LINGER_MS = 20;

    private static final JniServerSocketImpl LISTENER = new JniServerSocketImpl();
    private static final JniSocketImpl SOCKET = new JniSocketImpl();
    private static final JniStream STREAM = new JniStream();
    private static final JniSelectManager SELECT = new JniSelectManager();
    private static final JniFilePathImpl PATH = new JniFilePathImpl();
    private static final JniFileStream FILE = new JniFileStream();

    private final FileServer.Options options;
    private final HttpSession.Site site;
    private final Map<Integer, HttpSession> parked = new ConcurrentHashMap<>();
    private final List<Thread> threads = new ArrayList<>();
    private final ExecutorService workers;
    private long listener;
    private long manager;
    private volatile boolean stopping;

    NativeServer(FileServer.Options options, String root, HttpSession.AccessLog log) {
        this.options = options;
        this.site = new HttpSession.Site(root, new NativeFs(), log);
        AtomicInteger n = new AtomicInteger();
        workers = Executors.newCachedThreadPool(r -> FileServer.daemon(r, "worker-" + n.incrementAndGet()));
    }

    @Override
    public int start() throws IOException {
        listener = LISTENER.bindPort(options.addr, options.port, options.backlog);
        if (listener == 0) throw new IOException("cannot listen on " + options.addr + ":" + options.port);
        LISTENER.nativeSetConnectionReadTimeout(listener, options.readTimeoutMs);
        LISTENER.nativeSetConnectionWriteTimeout(listener, options.writeTimeoutMs);
        manager = SELECT.createNative();
        SELECT.initNative(manager);
        threads.add(FileServer.daemon(this::selectLoop, "select"));
        for (int i = 0; i < options.acceptors; i++) threads.add(FileServer.daemon(this::acceptLoop, "accept-" + i));
        threads.forEach(Thread::start);
        return LISTENER.getLocalPort(listener);
    }

    private void acceptLoop() {
        while (!stopping) {
            long conn = SOCKET.nativeAllocate();
            if (conn == 0) {
                pause();
                continue;
            }
            if (!LISTENER.nativeAccept(listener, conn)) {
                SOCKET.nativeFree(conn);
                if (!stopping) pause(); // e.g. out of descriptors: do not spin
                continue;
            }
            HttpSession session = new HttpSession(new NativeConn(conn), site);
            if (stopping) {
                session.conn().close();
                break;
            }
            workers.execute(() -> serve(session));
        }
    }

    /** Serves requests while they come; parks the connection when it goes quiet. */
    private void serve(HttpSession session) {
        NativeConn conn = (NativeConn) session.conn();
        while (session.serveOne()) {
            if (stopping) break;
            if (session.hasBuffered() || SOCKET.nativeReadNonBlock(conn.handle, LINGER_MS)) continue;
            int fd = SOCKET.getNativeFd(conn.handle);
            session.idleSince = System.nanoTime();
            parked.put(fd, session);
            if (SELECT.addNative(manager, fd) == fd) return;
            // The manager is closed: we are stopping, and whoever takes it out closes it.
            if (parked.remove(fd, session)) conn.close();
            return;
        }
        conn.close();
    }

    /** Hands readable parked connections to workers, and closes those idle for longer than the read time-out. */
    private void selectLoop() {
        long idleLimit = TimeUnit.MILLISECONDS.toNanos(options.readTimeoutMs);
        long lastSweep = System.nanoTime();
        while (true) {
            int fd = SELECT.selectNative(manager, 1000);
            if (stopping) break;
            if (fd >= 0) {
                HttpSession session = parked.remove(fd);
                if (session != null) workers.execute(() -> serve(session));
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

    @Override
    public void stop() {
        stopping = true;
        // Wakes every thread waiting in the accept, closes the socket and frees its record.
        LISTENER.closeNative(listener);
        SELECT.closeNative(manager);
        for (Thread t : threads) join(t);
        for (Integer fd : parked.keySet()) {
            HttpSession s = parked.remove(fd);
            if (s != null) s.conn().close();
        }
        workers.shutdown();
        try {
            workers.awaitTermination(LINGER_MS + 2000, TimeUnit.MILLISECONDS);
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

    private static void pause() {
        try {
            Thread.sleep(10);
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
            for (int total = 0; total < FileServer.DRAIN_LIMIT && SOCKET.nativeReadNonBlock(handle, FileServer.DRAIN_PAUSE_MS); ) {
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

    /** Paths as UTF-8 byte arrays, files as plain descriptors. */
    static final class NativeFs implements Fs {
        @Override
        public FileStatus stat(String path, boolean lstat) {
            return JniFilePathImpl.nativeStat(path.getBytes(StandardCharsets.UTF_8), lstat);
        }

        @Override
        public FileIn open(String path) {
            byte[] name = path.getBytes(StandardCharsets.UTF_8);
            int fd = PATH.nativeOpenRead(name, name.length);
            if (fd < 0) return null;
            return new FileIn() {
                @Override
                public int read(byte[] buf, int off, int len) {
                    return FILE.nativeRead(fd, buf, off, len);
                }

                @Override
                public void close() {
                    FILE.nativeClose(fd);
                }
            };
        }

        // The library has no call that reads a directory or a link: those two come from the JDK.
        @Override
        public String[] list(String dir) {
            return new File(dir).list();
        }

        @Override
        public String realPath(String path) {
            try {
                return new File(path).getCanonicalPath();
            } catch (IOException e) {
                return null;
            }
        }
    }
}
