package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.*;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

class FileStreamTest extends FileTestBase {
    static byte[] random(int size) {
        byte[] data = new byte[size];
        new Random(size).nextBytes(data);
        return data;
    }

    @Test
    void readsFillExactlyTheWindowUntilTheEndAndAFifoGivesWhatIsReady() throws Exception {
        byte[] data = random(50000);
        int fd = openRead(Files.write(dir.resolve("data"), data));
        byte[] buf = new byte[40010];
        Arrays.fill(buf, (byte) 0x55);
        assertEquals(40000, stream.nativeRead(fd, buf, 7, 40000));
        assertArrayEquals(Arrays.copyOf(data, 40000), Arrays.copyOfRange(buf, 7, 40007));
        for (int i : new int[] {0, 6, 40007, 40009}) assertEquals(0x55, buf[i]);
        assertEquals(10000, stream.nativeRead(fd, buf, 0, 40000));
        assertArrayEquals(Arrays.copyOfRange(data, 40000, 50000), Arrays.copyOf(buf, 10000));
        assertEquals(0, stream.nativeRead(fd, buf, 0, 0));
        assertEquals(-1, stream.nativeRead(fd, buf, 0, 40000));
        assertEquals(0, stream.nativeClose(fd));

        Path fifo = fifo("fifo");
        try (RandomAccessFile ends = new RandomAccessFile(fifo.toFile(), "rw")) {  // both ends: no open blocks
            ends.write(data, 0, 100);
            int pipe = openRead(fifo);
            assertEquals(100, assertTimeoutPreemptively(Duration.ofSeconds(10),
                                                        () -> stream.nativeRead(pipe, buf, 0, 40000)));
            assertArrayEquals(Arrays.copyOf(data, 100), Arrays.copyOf(buf, 100));
            assertEquals(0, stream.nativeClose(pipe));
        }
    }

    static long writeCallsOfThisThread() throws IOException {
        String line = Files.readAllLines(Path.of("/proc/thread-self/io")).get(3);  // "syscw: N"
        return Long.parseLong(line.substring(6).strip());
    }

    @Test
    void aShortWriteIsContinuedFromTheFirstByteNotWritten() throws Exception {
        // A process stop interrupts a blocked pipe write after part of it went
        // through; the writer must go on from there.  The stops come from a
        // separate shell, which always sends the matching continue.
        Path fifo = fifo("fifo");
        byte[] data = random(4 << 20);
        try (RandomAccessFile reader = new RandomAccessFile(fifo.toFile(), "rw")) {
            int fd = openWrite(fifo, false);
            CompletableFuture<long[]> writer = CompletableFuture.supplyAsync(() -> {
                try {
                    long before = writeCallsOfThisThread();
                    int result = stream.nativeWrite(fd, data, 0, data.length);
                    return new long[] {result, writeCallsOfThisThread() - before, stream.nativeClose(fd)};
                } catch (IOException e) {
                    throw new AssertionError(e);
                }
            });
            long pid = ProcessHandle.current().pid();
            Process stopper = new ProcessBuilder("sh", "-c",
                "for i in $(seq 25); do kill -STOP " + pid + "; sleep 0.01; kill -CONT " + pid + "; sleep 0.03; done")
                .start();
            // Drained slowly, so the writer spends its time blocked on a full pipe.
            ByteArrayOutputStream received = new ByteArrayOutputStream();
            assertTimeoutPreemptively(Duration.ofSeconds(60), () -> {
                byte[] chunk = new byte[4096];
                for (int n; received.size() < data.length && (n = reader.read(chunk)) > 0; ) {
                    received.write(chunk, 0, n);
                    if (received.size() % (64 << 10) == 0) Thread.sleep(10);
                }
            });
            assertTrue(stopper.waitFor(60, TimeUnit.SECONDS));
            long[] outcome = writer.get(60, TimeUnit.SECONDS);
            reader.write('!');  // anything sent beyond the data would come before it
            assertEquals('!', reader.read());
            assertEquals(1, outcome[0]);
            assertArrayEquals(data, received.toByteArray());
            assertTrue(outcome[1] > data.length / 16384, "no short write happened: " + outcome[1] + " writes");
        }
    }

    @Test
    void aWriteThatFailsAfterEarlierPassesReportsFailure() throws Exception {
        // With the file size limit at 20480 bytes the second pass is cut short
        // and the third refused; what reached the file is the array's start.
        Path file = dir.resolve("limited");
        assertEquals("-1", inChild(List.of("prlimit", "--fsize=20480:20480"), "write", file.toString(), "40000"));
        byte[] written = Files.readAllBytes(file);
        assertEquals(20480, written.length);
        for (int i = 0; i < written.length; i++) assertEquals((byte) (i % 251), written[i]);
    }

    @Test
    void positionsBeyond2GiBSurviveOnlyInTheLongResult() throws Exception {
        Path file = dir.resolve("sparse");
        int fd = openWrite(file, false);
        long threeGiB = 3L << 30;
        assertEquals((int) threeGiB, stream.nativeSeekStart(fd, threeGiB));
        assertEquals(threeGiB, stream.nativeSkip(fd, 0));
        assertEquals(threeGiB + 10, stream.nativeSkip(fd, 10));
        assertEquals(threeGiB - 10, stream.nativeSkip(fd, -20));
        write(fd, "x");
        assertEquals(threeGiB - 9, Files.size(file));
        assertEquals((int) (threeGiB - 9), stream.nativeSeekEnd(fd, 0));
        assertEquals(-1, stream.nativeSeekStart(fd, -1));
        assertEquals(-1, stream.nativeSkip(fd, -(4L << 30)));
        assertEquals((int) (threeGiB - 11), stream.nativeSeekEnd(fd, -2));
        assertEquals(0, stream.nativeClose(fd));
    }

    @Test
    void badDescriptorsAndWindowsFailWithoutTouchingTheFile() throws Exception {
        byte[] ten = new byte[10];
        assertEquals(-1, stream.nativeRead(-1, ten, 0, 10));
        assertEquals(-1, stream.nativeWrite(-1, ten, 0, 10));
        assertEquals(0, stream.nativeSkip(-1, 10));
        assertEquals(-1, stream.nativeSeekStart(-1, 0));

        byte[] data = random(100);
        int in = openRead(Files.write(dir.resolve("in"), data));
        Path outFile = dir.resolve("out");
        int out = openWrite(outFile, false);
        // {array, offset, length, read result, write result}: with nothing to
        // move nothing is looked at, as a zero-length request.
        Object[][] windows = {
            {null, 0, 10, -1, -1}, {ten, -1, 5, -1, -1}, {ten, 5, 6, -1, -1}, {ten, Integer.MAX_VALUE, 10, -1, -1},
            {ten, 5, Integer.MAX_VALUE, -1, -1}, {null, 0, 0, 0, 1}, {ten, 0, -1, 0, 1}, {ten, 11, 0, 0, 1},
            {ten, Integer.MIN_VALUE, 0, 0, 1},
        };
        for (Object[] w : windows) {
            String what = Arrays.toString(w);
            assertEquals(w[3], stream.nativeRead(in, (byte[]) w[0], (int) w[1], (int) w[2]), what);
            assertEquals(w[4], stream.nativeWrite(out, (byte[]) w[0], (int) w[1], (int) w[2]), what);
        }
        assertEquals(-1, stream.nativeWrite(in, ten, 0, 10), "open for reading");
        assertEquals(0, stream.nativeSkip(in, 0), "nothing consumed");
        assertEquals(0, Files.size(outFile), "nothing written");
        assertEquals(0, stream.nativeFlushToDisk(out));
        for (int fd : new int[] {in, out}) {
            assertEquals(0, stream.nativeClose(fd));
            assertEquals(-1, stream.nativeClose(fd), "closed twice");
        }
        assertArrayEquals(data, Files.readAllBytes(dir.resolve("in")));
    }
}
