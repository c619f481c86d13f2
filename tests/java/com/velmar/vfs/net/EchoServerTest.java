package com.velmar.vfs.net;

import static com.velmar.vfs.net.Loopback.SERVER;
import static com.velmar.vfs.net.Loopback.SOCKETS;
import static com.velmar.vfs.net.Loopback.STREAM;
import static com.velmar.vfs.net.Loopback.pattern;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.Socket;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

@Timeout(value = 120, unit = TimeUnit.SECONDS)
class EchoServerTest {
    private static final int MIB = 1 << 20;

    /** An echo server made of the natives only: accepting threads plus one thread per connection. */
    private static final class EchoServer {
        final Loopback loop;
        final List<Thread> acceptors = new ArrayList<>();
        final ConcurrentLinkedQueue<Thread> handlers = new ConcurrentLinkedQueue<>();
        final ConcurrentLinkedQueue<String> faults = new ConcurrentLinkedQueue<>();
        volatile boolean stopping;

        EchoServer(int acceptorCount) throws Exception {
            loop = new Loopback("127.0.0.1");
            for (int i = 0; i < acceptorCount; i++) acceptors.add(new Thread(this::acceptLoop));
            acceptors.forEach(Thread::start);
        }

        private void acceptLoop() {
            while (!stopping) {
                long conn = SOCKETS.nativeAllocate();
                if (!SERVER.nativeAccept(loop.ss, conn)) {
                    SOCKETS.nativeFree(conn);
                    return;
                }
                Thread handler = new Thread(() -> echo(conn));
                handlers.add(handler);
                handler.start();
            }
        }

        private void echo(long conn) {
            byte[] buf = new byte[16384];
            for (int n; (n = STREAM.readNative(conn, buf, 0, buf.length)) != 0; ) {
                int w = n < 0 ? n : STREAM.writeNative(conn, buf, 0, n);
                if (n < 0 || w != n) {
                    faults.add("read " + n + ", wrote " + w);
                    break;
                }
            }
            SOCKETS.nativeClose(conn);
            SOCKETS.nativeFree(conn);
        }

        void stop() throws Exception {
            stopping = true;
            // No acceptor may enter nativeAccept after the record is gone.
            for (Thread acceptor : acceptors) Loopback.awaitInNativeAccept(acceptor);
            loop.closeListener();
            for (Thread acceptor : acceptors) acceptor.join(10_000);
            for (Thread handler : handlers) handler.join(10_000);
            loop.close();
        }
    }

    private static void echoFrom(int port, int seed) throws Exception {
        try (Socket client = new Socket("127.0.0.1", port)) {
            client.setSoTimeout(60_000);
            byte[] data = pattern(MIB, seed);
            CompletableFuture<Void> writer = CompletableFuture.runAsync(() -> {
                try {
                    OutputStream out = client.getOutputStream();
                    for (int at = 0; at < MIB; at += 10_000) out.write(data, at, Math.min(10_000, MIB - at));
                    client.shutdownOutput();
                } catch (Exception e) {
                    throw new RuntimeException(e);
                }
            });
            InputStream in = client.getInputStream();
            assertArrayEquals(data, in.readNBytes(MIB), "client " + seed);
            writer.get(60, TimeUnit.SECONDS);
            assertEquals(-1, in.read());
        }
    }

    private static int openDescriptors() { return new File("/proc/self/fd").list().length; }

    @Test
    void thirtyTwoClientsGetTheirMebibyteBackInOrderAndNoDescriptorLeaks() throws Exception {
        // One warm-up exchange, so that what the JVM opens once is open before counting.
        EchoServer warmUp = new EchoServer(1);
        echoFrom(warmUp.loop.port, 0);
        warmUp.stop();
        int before = openDescriptors();

        EchoServer server = new EchoServer(4);
        List<CompletableFuture<Void>> clients = new ArrayList<>();
        for (int i = 1; i <= 32; i++) {
            int seed = i;
            clients.add(CompletableFuture.runAsync(() -> {
                try {
                    echoFrom(server.loop.port, seed);
                } catch (Exception e) {
                    throw new RuntimeException(e);
                }
            }, runnable -> new Thread(runnable).start()));
        }
        for (CompletableFuture<Void> client : clients) client.get(90, TimeUnit.SECONDS);
        server.stop();
        assertTrue(server.faults.isEmpty(), server.faults::toString);
        assertTrue(openDescriptors() <= before, "descriptors " + before + " -> " + openDescriptors());
    }
}
