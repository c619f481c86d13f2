package fileserver;

import com.velmar.vfs.JniStream;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.SocketTimeoutException;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * The same request handling on the JDK alone: java.net.ServerSocket, a thread
 * per connection on its socket streams, and java.nio.file. The socket streams
 * have a read time-out but no send time-out and no deadline for a whole head:
 * a watchdog thread closes the connections that exceed either.
 */
final class JdkServer implements FileServer.Server {
    /** How often the watchdog looks. */
    private static final long WATCH_MS = 100;

    private final FileServer.Options options;
    private final HttpSession.Site site;
    private final Set<JdkConn> open = ConcurrentHashMap.newKeySet();
    private final Workers workers;
    private final Workers refusals;
    private ServerSocket listener;
    private Thread acceptor;
    private Thread watchdog;
    private volatile boolean stopping;
    private final CountDownLatch go = new CountDownLatch(1);

    JdkServer(FileServer.Options options, String root, HttpSession.AccessLog log) {
        this.options = options;
        this.site = new HttpSession.Site(root, new JdkFs(), log, options.dotfiles);
        // A connection holds its thread for its whole life.
        int max = options.workers > 0 ? options.workers : options.maxConnections;
        workers = new Workers(0, max, options.queue, "worker", () -> {});
        refusals = new Workers(2, 2, 256, "refuse", () -> {});
    }

    @Override
    public int bind() throws IOException {
        listener = new ServerSocket();
        listener.setReuseAddress(true);
        try {
            listener.bind(new InetSocketAddress(InetAddress.getByName(options.addr), options.port), options.backlog);
        } catch (IOException e) {
            close(listener);
            throw FileServer.listenFailure(options.addr, options.port, e);
        }
        // The JDK readies its socket closing at the first close, with a descriptor of its own: done at
        // the descriptor limit, that fails for good and no socket is ever closed again. So close one now.
        try {
            close(new ServerSocket(0, 1, InetAddress.getLoopbackAddress()));
        } catch (IOException e) {
            // no loopback to bind: the first close comes later
        }
        return listener.getLocalPort();
    }

    @Override
    public void start() {
        acceptor = FileServer.gated(go, this::acceptLoop, "accept");
        watchdog = FileServer.gated(go, this::watch, "watchdog");
        watchdog.start();
        acceptor.start();
        refusals.prestartAllCoreThreads();
    }

    @Override
    public void serve() {
        go.countDown();
    }

    private void acceptLoop() {
        while (!stopping) {
            Socket socket;
            try {
                socket = listener.accept();
            } catch (IOException e) {
                if (!stopping) FileServer.pause();
                continue;
            }
            JdkConn conn;
            try {
                socket.setTcpNoDelay(true);
                socket.setSoTimeout(options.readTimeoutMs);
                conn = new JdkConn(socket);
            } catch (IOException e) {
                close(socket); // e.g. the peer already reset it
                continue;
            }
            if (stopping) {
                conn.close();
                break;
            }
            if (open.size() > options.maxConnections || !workers.offer(() -> serve(conn))) refuse(conn);
        }
    }

    private void refuse(JdkConn conn) {
        boolean taken = refusals.offer(() -> {
            conn.session.refuse();
            conn.drain();
            conn.close();
        });
        if (!taken) conn.close();
    }

    private void serve(JdkConn conn) {
        HttpSession session = conn.session;
        FileCache files = new FileCache(site.fs());
        while (!stopping) {
            HttpSession.Step step = session.serve(-1, files);
            if (step == HttpSession.Step.MORE) step = session.finish() ? HttpSession.Step.KEEP : HttpSession.Step.CLOSE;
            if (step != HttpSession.Step.KEEP) {
                if (session.unread()) conn.drain();
                break;
            }
        }
        files.clear();
        conn.close();
    }

    /** Closes the connections whose write has waited longer than the write time-out, or whose head is overdue. */
    private void watch() {
        long writeNanos = TimeUnit.MILLISECONDS.toNanos(options.writeTimeoutMs);
        long headNanos = TimeUnit.MILLISECONDS.toNanos(options.headTimeoutMs);
        while (!stopping) {
            long now = System.nanoTime();
            for (JdkConn c : open) {
                long writing = c.writingSince;
                long head = c.session.headStarted();
                if ((writing != 0 && now - writing > writeNanos) || (head != 0 && now - head > headNanos)) c.close();
            }
            try {
                Thread.sleep(WATCH_MS);
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    @Override
    public void stop() {
        stopping = true;
        go.countDown();
        if (listener != null) close(listener);
        open.forEach(JdkConn::close);
        for (Thread t : new Thread[] {acceptor, watchdog}) {
            if (t == null) continue;
            t.interrupt();
            try {
                t.join(3000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        workers.shutdown();
        refusals.shutdown();
    }

    @Override
    public void await() throws InterruptedException {
        if (acceptor != null) acceptor.join();
    }

    static void close(java.io.Closeable c) {
        try {
            c.close();
        } catch (IOException ignored) {
            // already gone
        }
    }

    private final class JdkConn implements Conn {
        private final Socket socket;
        private final InputStream in;
        private final OutputStream out;
        private final byte[] joined = new byte[32 * 1024];
        final HttpSession session;
        /** When the write under way began (System.nanoTime), or 0: for the watchdog. */
        volatile long writingSince;

        JdkConn(Socket socket) throws IOException {
            this.socket = socket;
            this.in = socket.getInputStream();
            this.out = socket.getOutputStream();
            this.session = new HttpSession(this, site);
            open.add(this);
        }

        @Override
        public int read(byte[] buf, int off, int len) {
            try {
                int n = in.read(buf, off, len);
                return n < 0 ? 0 : n;
            } catch (SocketTimeoutException e) {
                close();
                return JniStream.TIMEOUT;
            } catch (IOException e) {
                close();
                return JniStream.ERROR;
            }
        }

        @Override
        public int write(byte[] buf, int off, int len) {
            writingSince = System.nanoTime();
            try {
                out.write(buf, off, len);
                return len;
            } catch (IOException e) {
                close();
                return JniStream.ERROR;
            } finally {
                writingSince = 0;
            }
        }

        /** Joins the head and the start of the body in one write, as the native two-array write does. */
        @Override
        public int write2(byte[] head, int headLen, byte[] body, int off, int len) {
            int first = Math.min(len, joined.length - headLen);
            System.arraycopy(head, 0, joined, 0, headLen);
            System.arraycopy(body, off, joined, headLen, first);
            if (headLen + first > 0 && write(joined, 0, headLen + first) < 0) return JniStream.ERROR;
            if (len > first && write(body, off + first, len - first) < 0) return JniStream.ERROR;
            return headLen + len;
        }

        @Override
        public void drain() {
            byte[] buf = new byte[4096];
            long deadline = System.currentTimeMillis() + FileServer.DRAIN_MS;
            try {
                socket.setSoTimeout(FileServer.DRAIN_PAUSE_MS);
                for (int total = 0, n; total < FileServer.DRAIN_LIMIT && System.currentTimeMillis() < deadline
                        && (n = in.read(buf)) > 0; ) {
                    total += n;
                }
            } catch (IOException e) {
                // the peer paused or left: either way, done
            }
        }

        @Override
        public String peer() {
            return socket.getInetAddress().getHostAddress();
        }

        @Override
        public void close() {
            open.remove(this);
            JdkServer.close(socket);
        }
    }
}
