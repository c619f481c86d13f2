package com.velmar.bench;

import com.velmar.vfs.JniServerSocketImpl;
import com.velmar.vfs.JniSocketImpl;
import com.velmar.vfs.JniStream;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * A server on the connection natives against the same server on java.net sockets:
 * (a) 1 GiB sent with 64 KiB writes to a plain C receiver, with a C sender as the
 * ceiling; (b) 100-byte request / 100-byte reply round trips from a C client over 1
 * and 16 connections, the contenders taking turns.
 * Usage: NetBench PEER_PROGRAM [bulk|round-trips]
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
    }

    private static final class NativeServer implements Server {
        final int port;
        final long ss;
        final Thread acceptor;
        final List<Thread> workers = new ArrayList<>();
        volatile boolean stopping;

        NativeServer(Handler handler) throws IOException {
            port = freePort();
            ss = SERVER.bindPort("127.0.0.1", port, 0);
            if (ss == 0) throw new IOException("bind failed");
            acceptor = new Thread(() -> {
                while (!stopping) {
                    long conn = SOCKETS.nativeAllocate();
                    if (!SERVER.nativeAccept(ss, conn)) {
                        SOCKETS.nativeFree(conn);
                        return;
                    }
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
                }
            });
            acceptor.start();
        }

        public int port() {
            return port;
        }

        public void stop() throws Exception {
            stopping = true;
            // The acceptor waits in nativeAccept; the close wakes it, and it stops.
            while (acceptor.isAlive() && !inNativeAccept(acceptor)) Thread.sleep(1);
            Thread.sleep(5);
            SERVER.closeNative(ss);
            acceptor.join();
            synchronized (workers) {
                for (Thread worker : workers) worker.join();
            }
        }
    }

    private static boolean inNativeAccept(Thread thread) {
        StackTraceElement[] stack = thread.getStackTrace();
        return stack.length > 0 && stack[0].getMethodName().equals("nativeAccept");
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

    /** The same transfer from a C sender: the ceiling. */
    private static double bulkCeiling() throws Exception {
        Process sender = new ProcessBuilder(peer, "send-server", Long.toString(BULK_BYTES))
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        BufferedReader out = new BufferedReader(new InputStreamReader(sender.getInputStream(), StandardCharsets.US_ASCII));
        String port = out.readLine();
        double seconds = Double.parseDouble(runPeer("receive", port.trim(), Long.toString(BULK_BYTES)));
        if (sender.waitFor() != 0) throw new IOException("sender failed");
        return BULK_BYTES / seconds;
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
        if (args.length < 1 || args.length > 2 || (args.length == 2 && !args[1].matches("bulk|round-trips"))) {
            System.err.println("usage: NetBench PEER_PROGRAM [bulk|round-trips]");
            System.exit(2);
        }
        peer = args[0];
        boolean bulkPart = args.length == 1 || args[1].equals("bulk");
        boolean roundTripPart = args.length == 1 || args[1].equals("round-trips");
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
            cBulk = Math.max(cBulk, bulkCeiling());
        }
        if (bulkPart) {
            System.out.printf("(a) 1 GiB, 64 KiB writes, best of %d  natives %6.0f MB/s  jdk %6.0f MB/s  C %6.0f MB/s%n",
                RUNS, nativeBulk / 1e6, jdkBulk / 1e6, cBulk / 1e6);
            System.out.printf("    natives/jdk %.2f  natives/C %.2f%n", nativeBulk / jdkBulk, nativeBulk / cBulk);
        }
        for (int conns : roundTripPart ? new int[] {1, 16} : new int[0]) {
            long nativeCount = 0, jdkCount = 0;
            for (int slice = 0; slice < SLICES; slice++) {
                nativeCount += roundTrips(natives, conns, SLICE_MS);
                jdkCount += roundTrips(jdk, conns, SLICE_MS);
            }
            double seconds = SLICES * SLICE_MS / 1000.0;
            System.out.printf("(b) 100 B request/reply, %2d connection%s  natives %7.0f/s  jdk %7.0f/s  natives/jdk %.2f%n",
                    conns, conns == 1 ? " " : "s", nativeCount / seconds, jdkCount / seconds,
                    (double) nativeCount / jdkCount);
        }
    }
}
