package com.velmar.vfs.net;

import static com.velmar.vfs.net.Loopback.SERVER;
import static com.velmar.vfs.net.Loopback.SOCKETS;
import static com.velmar.vfs.net.Loopback.STREAM;
import static com.velmar.vfs.net.Loopback.pattern;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.Socket;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
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

        EchoServer(int acceptorCount) throws IOException {
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
            while (true) {
                int n = STREAM.readNative(conn, buf, 0, buf.length);
                if (n <= 0) {
                    if (n < 0) faults.add("read " + n);
                    break;
                }
                int w = STREAM.writeNative(conn, buf, 0, n);
                if (w != n) {
                    faults.add("write " + w + " of " + n);
                    break;
                }
            }
            SOCKETS.nativeClose(conn);
            SOCKETS.nativeFree(conn);
        }

        void stop() throws InterruptedException {
            stopping = true;
            // No acceptor may enter nativeAccept after the record is gone.
            for (Thread acceptor : acceptors) Loopback.awaitInNativeAccept(acceptor);
            loop.closeListener();
            for (Thread acceptor : acceptors) acceptor.join(10_000);
            for (Thread handler : handlers) handler.join(10_000);
        }
    }

    private static void echoFrom(int port, int seed) throws Exception {
        try (Socket client = new Socket("127.0.0.1", port)) {
            client.setSoTimeout(60_000);
            byte[] data = pattern(MIB, seed);
            Thread writer = new Thread(() -> {
                try {
                    OutputStream out = client.getOutputStream();
                    for (int at = 0; at < MIB; at += 10_000) out.write(data, at, Math.min(10_000, MIB - at));
                    client.shutdownOutput();
                } catch (IOException e) {
                    throw new RuntimeException(e);
                }
            });
            writer.start();
            InputStream in = client.getInputStream();
            byte[] back = in.readNBytes(MIB);
            writer.join();
            assertArrayEquals(data, back, "client " + seed);
            assertEquals(-1, in.read());
        }
    }

    private static int openDescriptors() {
        String[] fds = new File("/proc/self/fd").list();
        return fds == null ? -1 : fds.length;
    }

    @Test
    void thirtyTwoClientsGetTheirMebibyteBackInOrderAndNoDescriptorLeaks() throws Exception {
        // One warm-up exchange, so that what the JVM opens once is open before counting.
        EchoServer warmUp = new EchoServer(1);
        echoFrom(warmUp.loop.port, 0);
        warmUp.stop();
        warmUp.loop.close();
        int before = openDescriptors();

        EchoServer server = new EchoServer(4);
        List<Thread> clients = new ArrayList<>();
        ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
        AtomicInteger done = new AtomicInteger();
        for (int i = 1; i <= 32; i++) {
            int seed = i;
            clients.add(new Thread(() -> {
                try {
                    echoFrom(server.loop.port, seed);
                    done.incrementAndGet();
                } catch (Throwable t) {
                    failures.add(t);
                }
            }));
        }
        clients.forEach(Thread::start);
        for (Thread client : clients) client.join(90_000);
        server.stop();
        server.loop.close();

        assertTrue(failures.isEmpty(), () -> failures.peek().toString());
        assertEquals(32, done.get());
        assertTrue(server.faults.isEmpty(), server.faults::toString);
        assertTrue(openDescriptors() <= before, "descriptors " + before + " -> " + openDescriptors());
    }
}
