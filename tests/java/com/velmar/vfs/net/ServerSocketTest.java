package com.velmar.vfs.net;

import static com.velmar.vfs.net.Loopback.SERVER;
import static com.velmar.vfs.net.Loopback.SOCKETS;
import static com.velmar.vfs.net.Loopback.STREAM;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.SocketException;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

@Timeout(value = 60, unit = TimeUnit.SECONDS)
class ServerSocketTest {
    @Test
    void bindsALoopbackPortWithTheDefaultBacklogAndReportsTheAskedPort() throws IOException {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            assertEquals(loop.port, SERVER.getLocalPort(loop.ss));
            // Backlog 0 means 100: more than one client can queue before any accept.
            for (int i = 0; i < 5; i++) loop.connect();
            for (int i = 0; i < 5; i++) loop.accept();
        }
        long ss = SERVER.bindPort("127.0.0.1", 0, 0);
        assertNotEquals(0, ss);
        assertEquals(0, SERVER.getLocalPort(ss));
        SERVER.closeNative(ss);
    }

    @Test
    void addressesThatAreNotNumericOrMissingAreRefused() {
        SocketException name = assertThrows(SocketException.class, () -> SERVER.bindPort("localhost", 0, 0));
        assertEquals("can't find address localhost", name.getMessage());

        NullPointerException missing = assertThrows(NullPointerException.class, () -> SERVER.bindPort(null, 0, 0));
        assertEquals("missing addr", missing.getMessage());

        // A port the address family cannot hold is not quietly bound as another one.
        for (int port : new int[] {-1, 65536, 70000}) {
            SocketException range = assertThrows(SocketException.class, () -> SERVER.bindPort("127.0.0.1", port, 0));
            assertEquals("can't find address 127.0.0.1", range.getMessage());
        }

        String longAddress = "1".repeat(300);
        SocketException cut = assertThrows(SocketException.class, () -> SERVER.bindPort(longAddress, 0, 0));
        assertEquals("can't find address " + "1".repeat(255), cut.getMessage());
    }

    @Test
    void aPortHeldForAWhileIsBoundOnARetry() throws Exception {
        int port = Loopback.freePort("127.0.0.1");
        // A listener without SO_REUSEADDR on the same port keeps the bind failing.
        ServerSocket holder = new ServerSocket();
        holder.setReuseAddress(false);
        holder.bind(new InetSocketAddress(InetAddress.getByName("127.0.0.1"), port));
        long start = System.nanoTime();
        CompletableFuture<Void> release = CompletableFuture.runAsync(() -> {
            try {
                holder.close();
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }, CompletableFuture.delayedExecutor(3, TimeUnit.SECONDS));
        long ss = SERVER.bindPort("127.0.0.1", port, 0);
        long waitedMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        release.join();
        assertNotEquals(0, ss);
        assertTrue(waitedMs >= 2900 && waitedMs < 5000, "waited " + waitedMs + " ms");
        SERVER.closeNative(ss);
    }

    @Test
    void closeWakesTwoWaitingAcceptorsWithConnectionsWhosePeerHasGone() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            long[] conns = {loop.allocate(), loop.allocate()};
            boolean[] accepted = new boolean[2];
            List<Thread> threads = new ArrayList<>();
            for (int i = 0; i < 2; i++) {
                int n = i;
                threads.add(new Thread(() -> accepted[n] = SERVER.nativeAccept(loop.ss, conns[n])));
            }
            threads.forEach(Thread::start);
            for (Thread thread : threads) Loopback.awaitInNativeAccept(thread);
            loop.closeListener();
            for (Thread thread : threads) thread.join(10_000);
            byte[] buf = new byte[16];
            for (int i = 0; i < 2; i++) {
                assertTrue(accepted[i]);
                assertEquals(0, STREAM.readNative(conns[i], buf, 0, buf.length));
            }
            // A closed listener accepts nothing more and does not block.
            assertFalse(SERVER.nativeAccept(0, conns[0]));
        }
    }

    @Test
    void acceptingThreadsSurviveAConcurrentCloseManyTimes() throws Exception {
        ThreadLocalRandom random = ThreadLocalRandom.current();
        for (int round = 0; round < 40; round++) {
            try (Loopback loop = new Loopback("127.0.0.1")) {
                int acceptors = 2 + round % 5;
                List<Thread> threads = new ArrayList<>();
                AtomicBoolean failed = new AtomicBoolean();
                AtomicInteger withData = new AtomicInteger();
                for (int i = 0; i < acceptors; i++) {
                    long conn = loop.allocate();
                    threads.add(new Thread(() -> {
                        if (SERVER.nativeAccept(loop.ss, conn)) {
                            int read = STREAM.readNative(conn, new byte[1], 0, 1);
                            if (read == 1) withData.incrementAndGet();
                            else if (read != 0) failed.set(true);
                        } else if (SOCKETS.getNativeFd(conn) != -1) {
                            failed.set(true);
                        }
                    }));
                }
                threads.forEach(Thread::start);
                // A real client now and then, so some accepts return with data.
                if (round % 3 == 0) loop.connect().getOutputStream().write(1);
                for (Thread thread : threads) Loopback.awaitInNativeAccept(thread);
                Thread.sleep(random.nextInt(3));
                loop.closeListener();
                for (Thread thread : threads) {
                    thread.join(10_000);
                    assertFalse(thread.isAlive());
                }
                assertFalse(failed.get(), "round " + round);
                assertEquals(round % 3 == 0 ? 1 : 0, withData.get(), "round " + round);
            }
        }
    }
}
