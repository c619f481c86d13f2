package com.velmar.server.port;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmar.vfs.net.Loopback;
import java.io.IOException;
import java.net.Socket;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

class JniSelectManagerTest {
    private final JniSelectManager manager = new JniSelectManager();
    private Loopback loop;
    private long handle;

    /** An accepted connection that the manager watches; a byte from its client makes it readable. */
    private final class Watched {
        final Socket client;
        final long conn;
        final int fd;

        Watched() throws IOException {
            client = loop.connect();
            conn = loop.accept();
            fd = Loopback.SOCKETS.getNativeFd(conn);
        }

        void makeReadable() throws IOException {
            client.getOutputStream().write('x');
            assertTrue(Loopback.SOCKETS.nativeReadNonBlock(conn, 5000));
        }

        void drain() {
            assertEquals(1, Loopback.STREAM.readNative(conn, new byte[1], 0, 1));
        }
    }

    @BeforeEach
    void open() throws IOException {
        loop = new Loopback("127.0.0.1");
        handle = manager.createNative();
        assertNotEquals(0, handle);
        manager.initNative(handle);
    }

    @AfterEach
    void close() throws IOException {
        manager.closeNative(handle);
        loop.close();
    }

    /** A select of `ms` on another thread, which is waiting by the time this returns. */
    private CompletableFuture<Integer> selectLater(long ms) throws InterruptedException {
        CompletableFuture<Integer> selected = CompletableFuture.supplyAsync(() -> manager.selectNative(handle, ms));
        Thread.sleep(100);
        return selected;
    }

    private static long millisSince(long start) { return TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start); }

    @Test
    void aSelectOnAnEmptySetTimesOutAfterAboutMs() {
        long start = System.nanoTime();
        assertEquals(-1, manager.selectNative(handle, 200));
        long elapsed = millisSince(start);
        assertTrue(elapsed >= 190 && elapsed < 3000, "waited " + elapsed + " ms");
    }

    @Test
    void readyDescriptorsComeBackInTheOrderOfTheirAddition() throws IOException {
        Watched first = new Watched();
        Watched second = new Watched();
        Watched quiet = new Watched();
        assertEquals(first.fd, manager.addNative(handle, first.fd));
        assertEquals(quiet.fd, manager.addNative(handle, quiet.fd));
        assertEquals(second.fd, manager.addNative(handle, second.fd));
        second.makeReadable();
        first.makeReadable();
        assertEquals(first.fd, manager.selectNative(handle, 5000));
        // The second comes from the same wait: it is reported even though it
        // is no longer readable now.
        second.drain();
        assertEquals(second.fd, manager.selectNative(handle, 5000));
        assertEquals(-1, manager.selectNative(handle, 100));
    }

    @Test
    void aReportedDescriptorIsReportedAgainOnlyAfterANewAdd() throws IOException {
        Watched p = new Watched();
        p.makeReadable();
        // Added once, then twice and removed once: either way reported once.
        for (int adds : new int[] {1, 2}) {
            for (int i = 0; i < adds; i++) manager.addNative(handle, p.fd);
            if (adds == 2) manager.removeNative(handle, p.fd);
            assertEquals(p.fd, manager.selectNative(handle, 5000));
            assertEquals(-1, manager.selectNative(handle, 100), "still readable, but no longer watched");
        }
    }

    @Test
    void anAddWhileTheSelectingThreadWaitsIsWatchedAtOnce() throws Exception {
        Watched quiet = new Watched();
        Watched ready = new Watched();
        manager.addNative(handle, quiet.fd);
        ready.makeReadable();
        CompletableFuture<Integer> selected = selectLater(20000);
        long start = System.nanoTime();
        assertEquals(ready.fd, manager.addNative(handle, ready.fd));
        assertEquals(ready.fd, selected.get(10, TimeUnit.SECONDS));
        assertTrue(millisSince(start) < 3000);
    }

    @Test
    void aRemovedDescriptorIsNeverReported() throws Exception {
        Watched removedReady = new Watched();
        Watched removedWhileWaiting = new Watched();
        Watched other = new Watched();
        manager.addNative(handle, removedReady.fd);
        manager.addNative(handle, removedWhileWaiting.fd);
        manager.addNative(handle, other.fd);
        removedReady.makeReadable();
        assertEquals(removedReady.fd, manager.removeNative(handle, removedReady.fd));
        assertEquals(9999, manager.removeNative(handle, 9999), "not in the set: still answered with fd");

        CompletableFuture<Integer> selected = selectLater(20000);
        manager.removeNative(handle, removedWhileWaiting.fd);
        removedWhileWaiting.makeReadable();
        Thread.sleep(100);
        other.makeReadable();
        assertEquals(other.fd, selected.get(10, TimeUnit.SECONDS));
        assertEquals(-1, manager.selectNative(handle, 100));
    }

    @Test
    void closeWakesAWaitingSelectAndLeavesEveryCallAnsweringMinusOne() throws Exception {
        Watched p = new Watched();
        manager.addNative(handle, p.fd);
        CompletableFuture<Integer> selected = selectLater(-1);
        long start = System.nanoTime();
        manager.closeNative(handle);
        assertEquals(-1, selected.get(10, TimeUnit.SECONDS));
        assertTrue(millisSince(start) < 3000);
        p.makeReadable();
        assertEquals(-1, manager.addNative(handle, p.fd));
        assertEquals(-1, manager.removeNative(handle, p.fd));
        assertEquals(-1, manager.selectNative(handle, 0));
        manager.closeNative(handle);
    }

    @Test
    void handleZeroAndNegativeDescriptorsAnswerMinusOne() {
        manager.initNative(0);
        assertEquals(-1, manager.addNative(0, 5));
        assertEquals(-1, manager.removeNative(0, 5));
        assertEquals(-1, manager.selectNative(0, 0));
        manager.closeNative(0);
        assertEquals(-1, manager.addNative(handle, -1));
        assertEquals(-1, manager.removeNative(handle, -7));
    }
}
