package com.velmar.server.port;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.Pipe;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

class JniSelectManagerTest {
    private final JniSelectManager manager = new JniSelectManager();
    private final List<WatchedPipe> pipes = new ArrayList<>();
    private long handle;

    /** A pipe whose read end the manager watches; a byte written makes it readable. */
    static final class WatchedPipe {
        final Pipe pipe;
        final int fd;

        WatchedPipe(Pipe pipe, int fd) {
            this.pipe = pipe;
            this.fd = fd;
        }

        void makeReadable() throws IOException {
            assertEquals(1, pipe.sink().write(ByteBuffer.wrap(new byte[] {'x'})));
        }

        void drain() throws IOException {
            assertEquals(1, pipe.source().read(ByteBuffer.allocate(1)));
        }

        void close() throws IOException {
            pipe.source().close();
            pipe.sink().close();
        }
    }

    /** The pipes among the open descriptors, by number: "pipe:[inode]". */
    private static Map<Integer, String> openPipes() throws IOException {
        Map<Integer, String> pipes = new HashMap<>();
        try (Stream<Path> list = Files.list(Path.of("/proc/self/fd"))) {
            for (Path p : (Iterable<Path>) list::iterator) {
                try {
                    String target = Files.readSymbolicLink(p).toString();
                    if (target.startsWith("pipe:")) pipes.put(Integer.parseInt(p.getFileName().toString()), target);
                } catch (NoSuchFileException gone) {
                    // the listing's own descriptor, or one closed meanwhile
                }
            }
        }
        return pipes;
    }

    private static boolean isReadEnd(int fd) throws IOException {
        String flags = Files.readAllLines(Path.of("/proc/self/fdinfo/" + fd)).stream()
                .filter(l -> l.startsWith("flags:")).findFirst().orElseThrow();
        return (Integer.parseInt(flags.substring(6).trim(), 8) & 3) == 0;
    }

    /** Finds the read end's number among the pipe descriptors that Pipe.open added. */
    private WatchedPipe newPipe() throws IOException {
        for (int attempt = 0; attempt < 20; attempt++) {
            Map<Integer, String> before = openPipes();
            Pipe pipe = Pipe.open();
            Map<Integer, String> added = openPipes();
            added.entrySet().removeIf(e -> e.getValue().equals(before.get(e.getKey())));
            if (added.size() == 2 && new HashSet<>(added.values()).size() == 1) {
                for (int fd : added.keySet()) {
                    if (isReadEnd(fd)) {
                        WatchedPipe watched = new WatchedPipe(pipe, fd);
                        pipes.add(watched);
                        return watched;
                    }
                }
            }
            pipe.source().close();
            pipe.sink().close();
        }
        throw new IOException("could not tell the pipe's descriptors apart");
    }

    @BeforeEach
    void open() {
        handle = manager.createNative();
        assertNotEquals(0, handle);
        manager.initNative(handle);
    }

    @AfterEach
    void close() throws IOException {
        manager.closeNative(handle);
        for (WatchedPipe p : pipes) p.close();
    }

    private static long millisSince(long start) {
        return TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
    }

    @Test
    void aSelectOnAnEmptySetTimesOutAfterAboutMs() {
        long start = System.nanoTime();
        assertEquals(-1, manager.selectNative(handle, 200));
        long elapsed = millisSince(start);
        assertTrue(elapsed >= 190 && elapsed < 3000, "waited " + elapsed + " ms");
    }

    @Test
    void readyDescriptorsComeBackInTheOrderOfTheirAddition() throws IOException {
        WatchedPipe first = newPipe();
        WatchedPipe second = newPipe();
        WatchedPipe quiet = newPipe();
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
        WatchedPipe p = newPipe();
        p.makeReadable();
        manager.addNative(handle, p.fd);
        assertEquals(p.fd, manager.selectNative(handle, 5000));
        assertEquals(-1, manager.selectNative(handle, 100), "still readable, but no longer watched");
        manager.addNative(handle, p.fd);
        assertEquals(p.fd, manager.selectNative(handle, 5000));
    }

    @Test
    void anAddWhileTheSelectingThreadWaitsIsWatchedAtOnce() throws Exception {
        WatchedPipe quiet = newPipe();
        WatchedPipe ready = newPipe();
        manager.addNative(handle, quiet.fd);
        ready.makeReadable();
        CompletableFuture<Integer> selected = CompletableFuture.supplyAsync(() -> manager.selectNative(handle, 20000));
        Thread.sleep(100);
        long start = System.nanoTime();
        assertEquals(ready.fd, manager.addNative(handle, ready.fd));
        assertEquals(ready.fd, selected.get(10, TimeUnit.SECONDS));
        assertTrue(millisSince(start) < 3000);
    }

    @Test
    void aRemovedDescriptorIsNeverReported() throws Exception {
        WatchedPipe removedReady = newPipe();
        WatchedPipe removedWhileWaiting = newPipe();
        WatchedPipe other = newPipe();
        manager.addNative(handle, removedReady.fd);
        manager.addNative(handle, removedWhileWaiting.fd);
        manager.addNative(handle, other.fd);
        removedReady.makeReadable();
        assertEquals(removedReady.fd, manager.removeNative(handle, removedReady.fd));
        assertEquals(9999, manager.removeNative(handle, 9999), "not in the set: still answered with fd");

        CompletableFuture<Integer> selected = CompletableFuture.supplyAsync(() -> manager.selectNative(handle, 20000));
        Thread.sleep(100);
        manager.removeNative(handle, removedWhileWaiting.fd);
        removedWhileWaiting.makeReadable();
        Thread.sleep(100);
        other.makeReadable();
        assertEquals(other.fd, selected.get(10, TimeUnit.SECONDS));
        assertEquals(-1, manager.selectNative(handle, 100));
    }

    @Test
    void aDescriptorAddedTwiceAndRemovedOnceIsReportedOnce() throws IOException {
        WatchedPipe p = newPipe();
        manager.addNative(handle, p.fd);
        manager.addNative(handle, p.fd);
        manager.removeNative(handle, p.fd);
        p.makeReadable();
        assertEquals(p.fd, manager.selectNative(handle, 5000));
        assertEquals(-1, manager.selectNative(handle, 100));
    }

    @Test
    void closeWakesAWaitingSelectAndLeavesEveryCallAnsweringMinusOne() throws Exception {
        WatchedPipe p = newPipe();
        manager.addNative(handle, p.fd);
        CompletableFuture<Integer> selected = CompletableFuture.supplyAsync(() -> manager.selectNative(handle, -1));
        Thread.sleep(100);
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
