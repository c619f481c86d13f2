package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.nio.file.*;
import java.time.Duration;
import java.util.*;
import java.util.concurrent.*;
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
        assertEquals(List.of(0, -1, 0), List.of(stream.nativeRead(fd, buf, 0, 0), stream.nativeRead(fd, buf, 0, 40000),
                                             stream.nativeClose(fd)));

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
            FutureTask<long[]> writer = new FutureTask<>(() -> {
                long before = writeCallsOfThisThread();
                return new long[] {stream.nativeWrite(fd, data, 0, data.length), writeCallsOfThisThread() - before};
            });
            new Thread(writer).start();
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
            assertEquals(0, stream.nativeClose(fd));
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
    void positionsAndLengthsBeyond2GiBSurviveOnlyInTheLongResults() throws Exception {
        Path file = dir.resolve("sparse");
        int fd = openWrite(file, false);
        long threeGiB = 3L << 30;
        assertEquals((int) threeGiB, stream.nativeSeekStart(fd, threeGiB));
        assertEquals(threeGiB, stream.nativeSkip(fd, 0));
        assertEquals(threeGiB + 10, stream.nativeSkip(fd, 10));
        assertEquals(threeGiB - 10, stream.nativeSkip(fd, -20));
        write(fd, "x");
        assertEquals(threeGiB - 9, JniFilePathImpl.nativeStat(bytes(file), false).size);
        assertEquals((int) (threeGiB - 9), files.nativeGetLength(bytes(file), bytes(file).length));
        assertEquals((int) (threeGiB - 9), stream.nativeSeekEnd(fd, 0));
        assertEquals(-1, stream.nativeSeekStart(fd, -1));
        assertEquals(-1, stream.nativeSkip(fd, -(4L << 30)));
        assertEquals((int) (threeGiB - 11), stream.nativeSeekEnd(fd, -2));
        assertEquals(0, stream.nativeClose(fd));
    }

    @Test
    void badDescriptorsAndWindowsFailWithoutTouchingTheFile() throws Exception {
        byte[] ten = new byte[10];
        assertEquals(List.of(-1, -1, 0L, -1), List.of(stream.nativeRead(-1, ten, 0, 10),
                stream.nativeWrite(-1, ten, 0, 10), stream.nativeSkip(-1, 10), stream.nativeSeekStart(-1, 0)));

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
            assertEquals(List.of(w[3], w[4]), List.of(stream.nativeRead(in, (byte[]) w[0], (int) w[1], (int) w[2]),
                    stream.nativeWrite(out, (byte[]) w[0], (int) w[1], (int) w[2])), Arrays.toString(w));
        }
        assertEquals(-1, stream.nativeWrite(in, ten, 0, 10), "open for reading");
        assertEquals(0, stream.nativeSkip(in, 0), "nothing consumed");
        assertEquals(0, Files.size(outFile), "nothing written");
        assertEquals(0, stream.nativeFlushToDisk(out));
        assertEquals(List.of(0, 0, -1, -1), List.of(stream.nativeClose(in), stream.nativeClose(out),
                                                   stream.nativeClose(in), stream.nativeClose(out)));
        assertArrayEquals(data, Files.readAllBytes(dir.resolve("in")));
    }
}
