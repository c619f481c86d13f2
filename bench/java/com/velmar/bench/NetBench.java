package com.velmar.bench;

import com.velmar.server.port.JniSelectManager;
import com.velmar.vfs.JniFilePathImpl;
import com.velmar.vfs.JniFileStream;
import com.velmar.vfs.JniServerSocketImpl;
import com.velmar.vfs.JniSocketImpl;
import com.velmar.vfs.JniStream;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * A server on the connection natives against the same server on java.net sockets:
 * (a) 1 GiB sent with 64 KiB writes to a plain C receiver, with a C sender as the
 * ceiling; (b) 100-byte request / 100-byte reply round trips from a C client over 1
 * and 16 connections, the contenders taking turns; (c) a 1 GiB file sent with
 * {@code sendFileNative} against {@code FileChannel.transferTo} and a C sendfile loop;
 * (d) round trips served by one selecting thread with the calls that never wait,
 * against a JDK {@code Selector} loop on non-blocking channels, over 1 and 64 connections.
 * Usage: NetBench PEER_PROGRAM [bulk|round-trips|file|loop]
 */
public final class NetBench {
    private static final long BULK_BYTES = 1L << 30;
    private static final int WRITE_SIZE = 64 * 1024;
    private static final int MESSAGE = 100;
    private static final int RUNS = 5;
    private static final int SLICES = 4;
    private static final int SLICE_MS = 1000;
    // The natives' accepted connections get 65 s time-outs; the JDK server the same.
    private static final int TIMEOUT_MS = 65_000;

    private static final JniServerSocketImpl SERVER = new JniServerSocketImpl();
    private static final JniSocketImpl SOCKETS = new JniSocketImpl();
    private static final JniStream STREAM = new JniStream();
    private static final JniSelectManager SELECT = new JniSelectManager();

    private static String peer;

    /** A server that takes connections on 127.0.0.1 and serves each on its own thread. */
    private interface Server {
        int port();

        void stop() throws Exception;
    }

    private interface Handler {
        void serve(Connection c) throws IOException;
    }

    /** The one connection interface both servers give their handlers. */
    private interface Connection {
        int read(byte[] buf, int off, int len) throws IOException;

        void write(byte[] buf, int off, int len) throws IOException;

        /** Sends the whole file without passing its bytes through Java. */
        default void sendFile(Path file) throws IOException {
            throw new UnsupportedOperationException();
        }
    }

    private static final class NativeServer implements Server {
        final int port;
        final long ss;
        final Thread acceptor;
        final List<Thread> workers = new ArrayList<>();
        volatile boolean stopping;

        NativeServer(Handler handler) throws IOException {
            port = freePort();
            ss = bindLoopback(port);
            acceptor = acceptor(ss, () -> stopping, conn -> {
                Thread worker = new Thread(() -> {
                    try {
                        handler.serve(new Connection() {
                            public int read(byte[] buf, int off, int len) throws IOException {
                                int n = STREAM.readNative(conn, buf, off, len);
                                if (n < 0) throw new IOException("read " + n);
                                return n == 0 ? -1 : n;
                            }

                            public void write(byte[] buf, int off, int len) throws IOException {
                                int n = STREAM.writeNative(conn, buf, off, len);
                                if (n != len) throw new IOException("write " + n);
                            }

                            public void sendFile(Path file) throws IOException {
                                byte[] name = file.toString().getBytes(StandardCharsets.UTF_8);
                                int fd = new JniFilePathImpl().nativeOpenRead(name, name.length);
                                long length = Files.size(file);
                                try {
                                    long n = STREAM.sendFileNative(conn, fd, 0, length);
                                    if (n != length) throw new IOException("sendFile " + n);
                                } finally {
                                    new JniFileStream().nativeClose(fd);
                                }
                            }
                        });
                    } catch (IOException e) {
                        // The peer went away; the bulk receiver reports short transfers.
                    } finally {
                        SOCKETS.nativeClose(conn);
                        SOCKETS.nativeFree(conn);
                    }
                });
                synchronized (workers) {
                    workers.add(worker);
                }
                worker.start();
            });
        }

        public int port() {
            return port;
        }

        public void stop() throws Exception {
            stopping = true;
            stopAcceptor(acceptor, ss);
            synchronized (workers) {
                for (Thread worker : workers) worker.join();
            }
        }
    }

    private static boolean inNativeAccept(Thread thread) {
        StackTraceElement[] stack = thread.getStackTrace();
        return stack.length > 0 && stack[0].getMethodName().equals("nativeAccept");
    }

    private static long bindLoopback(int port) throws IOException {
        long ss = SERVER.bindPort("127.0.0.1", port, 0);
        if (ss == 0) throw new IOException("bind failed");
        return ss;
    }

    /** A started thread that accepts connections into new records and hands each over, until stopped. */
    private static Thread acceptor(long ss, java.util.function.BooleanSupplier stopping,
                                   java.util.function.LongConsumer each) {
        Thread acceptor = new Thread(() -> {
            while (!stopping.getAsBoolean()) {
                long conn = SOCKETS.nativeAllocate();
                if (!SERVER.nativeAccept(ss, conn)) {
                    SOCKETS.nativeFree(conn);
                    return;
                }
                each.accept(conn);
            }
        });
        acceptor.start();
        return acceptor;
    }

    /** The acceptor waits in nativeAccept; the listener's close wakes it, and it stops. */
    private static void stopAcceptor(Thread acceptor, long ss) throws InterruptedException {
        while (acceptor.isAlive() && !inNativeAccept(acceptor)) Thread.sleep(1);
        Thread.sleep(5);
        SERVER.closeNative(ss);
        acceptor.join();
    }

    private static final class JdkServer implements Server {
        final ServerSocket listener;
        final Thread acceptor;
        final List<Thread> workers = new ArrayList<>();

        JdkServer(Handler handler) throws IOException {
            listener = new ServerSocket(0, 100, InetAddress.getByName("127.0.0.1"));
            acceptor = new Thread(() -> {
                while (true) {
                    Socket socket;
                    try {
                        socket = listener.accept();
                        socket.setTcpNoDelay(true);
                        socket.setSoTimeout(TIMEOUT_MS);
                    } catch (IOException e) {
                        return;
                    }
                    Thread worker = new Thread(() -> {
                        try (socket) {
                            InputStream in = socket.getInputStream();
                            OutputStream out = socket.getOutputStream();
                            handler.serve(new Connection() {
                                public int read(byte[] buf, int off, int len) throws IOException {
                                    return in.read(buf, off, len);
                                }

                                public void write(byte[] buf, int off, int len) throws IOException {
                                    out.write(buf, off, len);
                                }
                            });
                        } catch (IOException e) {
                            // As above.
                        }
                    });
                    synchronized (workers) {
                        workers.add(worker);
                    }
                    worker.start();
                }
            });
            acceptor.start();
        }

        public int port() {
            return listener.getLocalPort();
        }

        public void stop() throws Exception {
            listener.close();
            acceptor.join();
            synchronized (workers) {
                for (Thread worker : workers) worker.join();
            }
        }
    }

    /** One client of a blocking channel listener, sent the file with transferTo (the JDK's zero-copy send). */
    private static final class JdkFileServer implements Server {
        final ServerSocketChannel listener;
        final Thread sender;

        JdkFileServer(Path file) throws IOException {
            listener = ServerSocketChannel.open().bind(new InetSocketAddress("127.0.0.1", 0));
            sender = new Thread(() -> {
                try (SocketChannel client = listener.accept(); FileChannel in = FileChannel.open(file)) {
                    client.setOption(StandardSocketOptions.TCP_NODELAY, true);
                    for (long at = 0, size = in.size(); at < size;) at += in.transferTo(at, size - at, client);
                } catch (IOException e) {
                    // The receiver reports a short transfer.
                }
            });
            sender.start();
        }

        public int port() {
            return listener.socket().getLocalPort();
        }

        public void stop() throws Exception {
            sender.join();
            listener.close();
        }
    }

    /**
     * Round trips on one selecting thread over the natives: a report, a receive that never waits, a reply sent
     * the same way, and the descriptor added back. An accepting thread parks new connections.
     */
    private static final class NativeLoopServer implements Server {
        final int port;
        final long ss;
        final long manager = SELECT.createNative();
        final long[] conns = new long[1 << 16];
        final int[] got = new int[1 << 16];
        final Thread acceptor;
        final Thread loop;
        volatile boolean stopping;

        NativeLoopServer(Handler ignored) throws IOException {
            port = freePort();
            ss = bindLoopback(port);
            SELECT.initNative(manager);
            acceptor = acceptor(ss, () -> stopping, conn -> {
                int fd = SOCKETS.getNativeFd(conn);
                conns[fd] = conn;
                got[fd] = 0;
                SELECT.addNative(manager, fd);
            });
            loop = new Thread(this::serve);
            loop.start();
        }

        private void serve() {
            byte[] buf = new byte[16384];
            byte[] reply = new byte[MESSAGE];
            Arrays.fill(reply, (byte) 'r');
            while (!stopping) {
                int fd = SELECT.selectNative(manager, 100);
                if (fd < 0) continue;
                long conn = conns[fd];
                int n = STREAM.tryReadNative(conn, buf, 0, buf.length);
                if (n == JniStream.WOULD_BLOCK) {
                    SELECT.addNative(manager, fd);
                    continue;
                }
                if (n <= 0) {
                    SOCKETS.nativeClose(conn);
                    SOCKETS.nativeFree(conn);
                    continue;
                }
                for (got[fd] += n; got[fd] >= MESSAGE; got[fd] -= MESSAGE) {
                    // The client waits for each reply, so an empty socket takes it whole.
                    if (STREAM.tryWriteNative(conn, reply, 0, MESSAGE) != MESSAGE) throw new IllegalStateException();
                }
                SELECT.addNative(manager, fd);
            }
        }

        public int port() {
            return port;
        }

        public void stop() throws Exception {
            stopping = true;
            stopAcceptor(acceptor, ss);
            loop.join();
            SELECT.closeNative(manager);
        }
    }

    /** The same loop on a JDK Selector with non-blocking channels, accepting on the same thread. */
    private static final class JdkLoopServer implements Server {
        final ServerSocketChannel listener;
        final Selector selector;
        final Thread loop;
        volatile boolean stopping;

        JdkLoopServer(Handler ignored) throws IOException {
            listener = ServerSocketChannel.open().bind(new InetSocketAddress("127.0.0.1", 0), 100);
            listener.configureBlocking(false);
            selector = Selector.open();
            listener.register(selector, SelectionKey.OP_ACCEPT);
            loop = new Thread(() -> {
                try {
                    serve();
                } catch (IOException e) {
                    throw new java.io.UncheckedIOException(e);
                }
            });
            loop.start();
        }

        private void serve() throws IOException {
            ByteBuffer buf = ByteBuffer.allocateDirect(16384);
            ByteBuffer reply = ByteBuffer.allocateDirect(MESSAGE);
            while (reply.hasRemaining()) reply.put((byte) 'r');
            while (!stopping) {
                selector.select(100);
                for (var keys = selector.selectedKeys().iterator(); keys.hasNext();) {
                    SelectionKey key = keys.next();
                    keys.remove();
                    if (key.isAcceptable()) {
                        SocketChannel client = listener.accept();
                        if (client == null) continue;
                        client.configureBlocking(false);
                        client.setOption(StandardSocketOptions.TCP_NODELAY, true);
                        client.register(selector, SelectionKey.OP_READ, new int[1]);
                        continue;
                    }
                    SocketChannel client = (SocketChannel) key.channel();
                    int[] got = (int[]) key.attachment();
                    buf.clear();
                    int n = client.read(buf);
                    if (n < 0) {
                        key.cancel();
                        client.close();
                        continue;
                    }
                    for (got[0] += n; got[0] >= MESSAGE; got[0] -= MESSAGE) {
                        if (client.write(reply.clear()) != MESSAGE) throw new IllegalStateException();
                    }
                }
            }
        }

        public int port() {
            return listener.socket().getLocalPort();
        }

        public void stop() throws Exception {
            stopping = true;
            loop.join();
            selector.close();
            listener.close();
        }
    }

    private interface ServerFactory {
        Server start(Handler handler) throws IOException;
    }

    private static int freePort() throws IOException {
        try (ServerSocket probe = new ServerSocket(0, 1, InetAddress.getByName("127.0.0.1"))) {
            return probe.getLocalPort();
        }
    }

    /** Runs the peer program and returns the first line it prints. */
    private static String runPeer(String... args) throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(peer);
        command.addAll(Arrays.asList(args));
        Process process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        String line;
        try (BufferedReader out = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII))) {
            line = out.readLine();
        }
        if (process.waitFor() != 0 || line == null) throw new IOException("peer failed: " + command);
        return line.trim();
    }

    private static final Handler SEND_BULK = c -> {
        byte[] chunk = new byte[WRITE_SIZE];
        Arrays.fill(chunk, (byte) 'x');
        for (long sent = 0; sent < BULK_BYTES; sent += WRITE_SIZE) c.write(chunk, 0, WRITE_SIZE);
    };

    private static final Handler ECHO_MESSAGES = c -> {
        byte[] request = new byte[MESSAGE];
        byte[] reply = new byte[MESSAGE];
        Arrays.fill(reply, (byte) 'r');
        while (true) {
            int got = 0;
            while (got < MESSAGE) {
                int n = c.read(request, got, MESSAGE - got);
                if (n < 0) return;
                got += n;
            }
            c.write(reply, 0, MESSAGE);
        }
    };

    /** Bytes per second of 1 GiB from `factory`'s server to the C receiver. */
    private static double bulk(ServerFactory factory) throws Exception {
        Server server = factory.start(SEND_BULK);
        try {
            double seconds = Double.parseDouble(runPeer("receive", Integer.toString(server.port()),
                    Long.toString(BULK_BYTES)));
            return BULK_BYTES / seconds;
        } finally {
            server.stop();
        }
    }

    /**
     * Bytes per second of {@code bytes} from the C peer started as {@code sender} (a sending
     * server, which prints its port) to the C receiver: a ceiling.
     */
    private static double ceiling(long bytes, String... sender) throws Exception {
        List<String> command = new ArrayList<>(List.of(peer));
        command.addAll(List.of(sender));
        Process process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        BufferedReader out = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
        String port = out.readLine();
        double seconds = Double.parseDouble(runPeer("receive", port.trim(), Long.toString(bytes)));
        if (process.waitFor() != 0) throw new IOException("sender failed");
        return bytes / seconds;
    }

    /** Bytes per second of `file` sent to the C receiver by `server`, which sends it to its first client. */
    private static double fileSend(Server server, long bytes) throws Exception {
        try {
            return bytes / Double.parseDouble(runPeer("receive", Integer.toString(server.port()), Long.toString(bytes)));
        } finally {
            server.stop();
        }
    }

    /** A 1 GiB file of bytes that are not all alike, deleted when the JVM exits. */
    private static Path bulkFile() throws IOException {
        Path file = Files.createTempFile("talvo-netbench", ".bin");
        file.toFile().deleteOnExit();
        byte[] chunk = new byte[1 << 20];
        for (int i = 0; i < chunk.length; i++) chunk[i] = (byte) (i * 7 + i / 251);
        try (OutputStream out = Files.newOutputStream(file, StandardOpenOption.WRITE)) {
            for (long written = 0; written < BULK_BYTES; written += chunk.length) out.write(chunk);
        }
        return file;
    }

    /** Round trips over `conns` connections in `ms` milliseconds. */
    private static long roundTrips(ServerFactory factory, int conns, int ms) throws Exception {
        Server server = factory.start(ECHO_MESSAGES);
        try {
            return Long.parseLong(runPeer("round-trips", Integer.toString(server.port()), Integer.toString(conns),
                    Integer.toString(ms)));
        } finally {
            server.stop();
        }
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 1 || args.length > 2 || (args.length == 2 && !args[1].matches("bulk|round-trips|file|loop"))) {
            System.err.println("usage: NetBench PEER_PROGRAM [bulk|round-trips|file|loop]");
            System.exit(2);
        }
        peer = args[0];
        boolean bulkPart = args.length == 1 || args[1].equals("bulk");
        boolean roundTripPart = args.length == 1 || args[1].equals("round-trips");
        boolean filePart = args.length == 1 || args[1].equals("file");
        boolean loopPart = args.length == 1 || args[1].equals("loop");
        ServerFactory natives = NativeServer::new;
        ServerFactory jdk = JdkServer::new;

        // Warm both servers up so the JIT has compiled their loops.
        roundTrips(natives, 4, 1000);
        roundTrips(jdk, 4, 1000);

        // The contenders take turns, so that a busy moment of the machine
        // does not fall on one of them only.
        double nativeBulk = 0, jdkBulk = 0, cBulk = 0;
        for (int run = 0; bulkPart && run < RUNS; run++) {
            nativeBulk = Math.max(nativeBulk, bulk(natives));
            jdkBulk = Math.max(jdkBulk, bulk(jdk));
            cBulk = Math.max(cBulk, ceiling(BULK_BYTES, "send-server", Long.toString(BULK_BYTES)));
        }
        if (bulkPart) {
            System.out.printf("(a) 1 GiB, 64 KiB writes, best of %d  natives %6.0f MB/s  jdk %6.0f MB/s  C %6.0f MB/s%n",
                RUNS, nativeBulk / 1e6, jdkBulk / 1e6, cBulk / 1e6);
            System.out.printf("    natives/jdk %.2f  natives/C %.2f%n", nativeBulk / jdkBulk, nativeBulk / cBulk);
        }
        for (int conns : roundTripPart ? new int[] {1, 16} : new int[0]) compareRoundTrips("(b)", natives, jdk, conns);
        if (filePart) {
            Path file = bulkFile();
            double nativeFile = 0, jdkFile = 0, cFile = 0;
            for (int run = 0; run < RUNS; run++) {
                nativeFile = Math.max(nativeFile, fileSend(natives.start(c -> c.sendFile(file)), BULK_BYTES));
                jdkFile = Math.max(jdkFile, fileSend(new JdkFileServer(file), BULK_BYTES));
                cFile = Math.max(cFile, ceiling(BULK_BYTES, "sendfile-server", file.toString(), Long.toString(BULK_BYTES)));
            }
            System.out.printf("(c) 1 GiB file, one call, best of %d  sendFileNative %6.0f MB/s  transferTo %6.0f MB/s  C sendfile %6.0f MB/s%n",
                RUNS, nativeFile / 1e6, jdkFile / 1e6, cFile / 1e6);
            System.out.printf("    natives/jdk %.2f  natives/C %.2f%n", nativeFile / jdkFile, nativeFile / cFile);
            Files.delete(file);
        }
        if (loopPart) {
            roundTrips(NativeLoopServer::new, 4, 1000);
            roundTrips(JdkLoopServer::new, 4, 1000);
        }
        for (int conns : loopPart ? new int[] {1, 64} : new int[0])
            compareRoundTrips("(d) one loop,", NativeLoopServer::new, JdkLoopServer::new, conns);
    }

    private static void compareRoundTrips(String label, ServerFactory natives, ServerFactory jdk, int conns) throws Exception {
        long nativeCount = 0, jdkCount = 0;
        for (int slice = 0; slice < SLICES; slice++) {
            nativeCount += roundTrips(natives, conns, SLICE_MS);
            jdkCount += roundTrips(jdk, conns, SLICE_MS);
        }
        double seconds = SLICES * SLICE_MS / 1000.0;
        System.out.printf("%s 100 B request/reply, %2d connection%s  natives %7.0f/s  jdk %7.0f/s  natives/jdk %.2f%n",
                label, conns, conns == 1 ? " " : "s", nativeCount / seconds, jdkCount / seconds,
                (double) nativeCount / jdkCount);
    }
}
