package fileserver;

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
import java.util.concurrent.ExecutorService;
import java.util.concurrent.RejectedExecutionException;

/**
 * The same request handling on the JDK alone: java.net.ServerSocket, a thread
 * per connection on its socket streams, and java.nio.file. The JDK's socket
 * streams have no send time-out, so only the read time-out applies here.
 */
final class JdkServer implements FileServer.Server {
    private final FileServer.Options options;
    private final HttpSession.Site site;
    private final Set<Socket> open = ConcurrentHashMap.newKeySet();
    private final ExecutorService workers;
    private ServerSocket listener;
    private Thread acceptor;
    private volatile boolean stopping;

    JdkServer(FileServer.Options options, String root, HttpSession.AccessLog log) {
        this.options = options;
        this.site = new HttpSession.Site(root, new JdkFs(), log, options.dotfiles);
        workers = FileServer.workers();
    }

    @Override
    public int start() throws IOException {
        listener = new ServerSocket();
        listener.setReuseAddress(true);
        listener.bind(new InetSocketAddress(InetAddress.getByName(options.addr), options.port), options.backlog);
        acceptor = FileServer.daemon(this::acceptLoop, "accept");
        acceptor.start();
        return listener.getLocalPort();
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
            try {
                socket.setTcpNoDelay(true);
                socket.setSoTimeout(options.readTimeoutMs);
            } catch (IOException e) {
                close(socket); // e.g. the peer already reset it
                continue;
            }
            open.add(socket);
            try {
                workers.execute(() -> serve(socket));
            } catch (RejectedExecutionException stopped) {
                open.remove(socket);
                close(socket);
                break;
            }
        }
    }

    private void serve(Socket socket) {
        JdkConn conn;
        try {
            conn = new JdkConn(socket);
        } catch (IOException e) {
            close(socket);
            return;
        }
        HttpSession session = new HttpSession(conn, site);
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

    @Override
    public void stop() {
        stopping = true;
        close(listener);
        open.forEach(JdkServer::close);
        try {
            acceptor.join(3000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        workers.shutdown();
    }

    @Override
    public void await() throws InterruptedException {
        acceptor.join();
    }

    private static void close(java.io.Closeable c) {
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

        JdkConn(Socket socket) throws IOException {
            this.socket = socket;
            this.in = socket.getInputStream();
            this.out = socket.getOutputStream();
        }

        @Override
        public int read(byte[] buf, int off, int len) {
            try {
                int n = in.read(buf, off, len);
                return n < 0 ? 0 : n;
            } catch (SocketTimeoutException e) {
                close();
                return -4;
            } catch (IOException e) {
                close();
                return -1;
            }
        }

        @Override
        public int write(byte[] buf, int off, int len) {
            try {
                out.write(buf, off, len);
                return len;
            } catch (IOException e) {
                close();
                return -1;
            }
        }

        /** Joins the head and the start of the body in one write, as the native two-array write does. */
        @Override
        public int write2(byte[] head, int headLen, byte[] body, int off, int len) {
            int first = Math.min(len, joined.length - headLen);
            System.arraycopy(head, 0, joined, 0, headLen);
            System.arraycopy(body, off, joined, headLen, first);
            if (headLen + first > 0 && write(joined, 0, headLen + first) < 0) return -1;
            if (len > first && write(body, off + first, len - first) < 0) return -1;
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
            open.remove(socket);
            JdkServer.close(socket);
        }
    }
}
