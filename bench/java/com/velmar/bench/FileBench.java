package com.velmar.bench;

import com.velmar.vfs.FileStatus;
import com.velmar.vfs.JniFilePathImpl;
import com.velmar.vfs.JniFileStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFileAttributes;
import java.util.Comparator;
import java.util.Random;
import java.util.stream.Stream;

/**
 * The file natives side by side with their JDK peers, in one JVM: status and
 * length queries in operations per second, and 256 MiB streamed through
 * JniFileStream, FileInputStream/FileOutputStream and FileChannel with a heap
 * ByteBuffer, in MiB/s.  Usage: FileBench [DIRECTORY [queries|streams]]
 */
public final class FileBench {
    private static final int FILES = 1000;
    private static final long STREAM_BYTES = 256L << 20;
    private static final long QUERY_NANOS = 500_000_000L;
    private static final int ROUNDS = 7;
    private static final int STREAM_ROUNDS = 5;

    private static final JniFilePathImpl paths = new JniFilePathImpl();
    private static final JniFileStream streams = new JniFileStream();
    private static long sink;

    private FileBench() {}

    interface Query { long run(int i) throws IOException; }

    interface Transfer { void run(Path file, byte[] buffer) throws IOException; }

    /** Queries per second over the file set of each query, best of rounds taken in turns. */
    static double[] queries(Query... queries) throws IOException {
        double[] best = new double[queries.length];
        for (int round = 0; round < ROUNDS; round++) {
            for (int q = 0; q < queries.length; q++) {
                long count = 0;
                long start = System.nanoTime();
                long elapsed;
                do {
                    for (int i = 0; i < FILES; i++) sink += queries[q].run(i);
                    count += FILES;
                    elapsed = System.nanoTime() - start;
                } while (elapsed < QUERY_NANOS);
                best[q] = Math.max(best[q], count * 1e9 / elapsed);
            }
        }
        return best;
    }

    /**
     * MiB per second of each transfer of 256 MiB, best of the rounds; the
     * transfers take turns within a round so that they share the machine's
     * moods alike.  A fresh file is deleted before each transfer, which then
     * creates it anew.
     */
    static double[] throughput(Path file, boolean fresh, int bufferSize, Transfer... transfers) throws IOException {
        byte[] buffer = new byte[bufferSize];
        new Random(1).nextBytes(buffer);
        double[] best = new double[transfers.length];
        for (int round = 0; round < STREAM_ROUNDS; round++) {
            for (int t = 0; t < transfers.length; t++) {
                // Dropping the last run's pages here keeps their writeback out of the next timing.
                if (fresh) Files.deleteIfExists(file);
                long start = System.nanoTime();
                transfers[t].run(file, buffer);
                best[t] = Math.max(best[t], (STREAM_BYTES >> 20) * 1e9 / (System.nanoTime() - start));
            }
        }
        return best;
    }

    static byte[] bytes(Path path) { return path.toString().getBytes(StandardCharsets.UTF_8); }

    static void nativeRead(Path file, byte[] buffer) {
        byte[] name = bytes(file);
        int fd = paths.nativeOpenRead(name, name.length);
        long total = 0;
        for (int n; (n = streams.nativeRead(fd, buffer, 0, buffer.length)) > 0; ) total += n;
        streams.nativeClose(fd);
        check(total);
    }

    static void nativeWrite(Path file, byte[] buffer) {
        byte[] name = bytes(file);
        int fd = paths.nativeOpenWrite(name, name.length, false);
        for (long left = STREAM_BYTES; left > 0; left -= buffer.length) {
            if (streams.nativeWrite(fd, buffer, 0, buffer.length) != 1) throw new IllegalStateException("write failed");
        }
        streams.nativeClose(fd);
    }

    static void streamRead(Path file, byte[] buffer) throws IOException {
        long total = 0;
        try (FileInputStream in = new FileInputStream(file.toFile())) {
            for (int n; (n = in.read(buffer)) > 0; ) total += n;
        }
        check(total);
    }

    static void streamWrite(Path file, byte[] buffer) throws IOException {
        try (FileOutputStream out = new FileOutputStream(file.toFile())) {
            for (long left = STREAM_BYTES; left > 0; left -= buffer.length) out.write(buffer);
        }
    }

    static void channelRead(Path file, byte[] buffer) throws IOException {
        long total = 0;
        ByteBuffer heap = ByteBuffer.wrap(buffer);
        try (FileChannel in = FileChannel.open(file, StandardOpenOption.READ)) {
            for (int n; (n = in.read(heap.clear())) > 0; ) total += n;
        }
        check(total);
    }

    static void channelWrite(Path file, byte[] buffer) throws IOException {
        ByteBuffer heap = ByteBuffer.wrap(buffer);
        try (FileChannel out = FileChannel.open(file, StandardOpenOption.WRITE, StandardOpenOption.CREATE,
                                                StandardOpenOption.TRUNCATE_EXISTING)) {
            for (long left = STREAM_BYTES; left > 0; left -= buffer.length) {
                heap.clear();
                while (heap.hasRemaining()) out.write(heap);
            }
        }
    }

    static void check(long total) {
        if (total != STREAM_BYTES) throw new IllegalStateException("read " + total + " bytes");
    }

    static void row(String what, String unit, double ours, String peer, double theirs) {
        System.out.printf("%-34s %12.0f %-6s | %-36s %12.0f %-6s | ratio %5.2f%n", what, ours, unit, peer, theirs, unit,
                          ours / theirs);
    }

    /** Status and length of the same 1000 files. */
    static void compareQueries(Path root) throws IOException {
        Path[] files = new Path[FILES];
        byte[][] names = new byte[FILES][];
        File[] javaFiles = new File[FILES];
        for (int i = 0; i < FILES; i++) {
            files[i] = Files.write(root.resolve("f" + i), new byte[i]);
            names[i] = bytes(files[i]);
            javaFiles[i] = files[i].toFile();
        }
        double[] stat = queries(i -> {
            FileStatus status = JniFilePathImpl.nativeStat(names[i], false);
            return status.size + status.mtime;
        }, i -> {
            PosixFileAttributes attributes = Files.readAttributes(files[i], PosixFileAttributes.class);
            return attributes.size() + attributes.lastModifiedTime().toMillis();
        });
        row("nativeStat", "ops/s", stat[0], "Files.readAttributes(Posix)", stat[1]);
        double[] length = queries(i -> paths.nativeGetLength(names[i], names[i].length), i -> javaFiles[i].length());
        row("nativeGetLength", "ops/s", length[0], "File.length()", length[1]);
    }

    /** 256 MiB read from the page cache and written to it, with arrays of three sizes. */
    static void compareStreams(Path root) throws IOException {
        Path data = root.resolve("data");
        for (int size : new int[] {8 << 10, 64 << 10, 1 << 20}) {
            String kib = (size >> 10) + " KiB array";
            streamWrite(data, new byte[size]);
            double[] read = throughput(data, false, size, FileBench::nativeRead, FileBench::streamRead,
                                       FileBench::channelRead);
            row("JniFileStream read, " + kib, "MiB/s", read[0], "FileInputStream", read[1]);
            row("JniFileStream read, " + kib, "MiB/s", read[0], "FileChannel, heap ByteBuffer", read[2]);
            double[] write = throughput(root.resolve("written"), true, size, FileBench::nativeWrite,
                                        FileBench::streamWrite, FileBench::channelWrite);
            row("JniFileStream write, " + kib, "MiB/s", write[0], "FileOutputStream", write[1]);
            row("JniFileStream write, " + kib, "MiB/s", write[0], "FileChannel, heap ByteBuffer", write[2]);
        }
    }

    public static void main(String[] args) throws IOException {
        Path root = Files.createTempDirectory(args.length > 0 ? Path.of(args[0]) : Path.of("/tmp"), "filebench");
        String part = args.length > 1 ? args[1] : "all";
        try {
            System.out.printf("queries: %d files, best of %d rounds of %.1f s; streams: %d MiB, best of %d%n", FILES,
                              ROUNDS, QUERY_NANOS / 1e9, STREAM_BYTES >> 20, STREAM_ROUNDS);
            if (!part.equals("streams")) compareQueries(root);
            if (!part.equals("queries")) compareStreams(root);
            if (sink == 42) System.out.println();
        } finally {
            try (Stream<Path> walk = Files.walk(root)) {
                for (Path p : walk.sorted(Comparator.reverseOrder()).toArray(Path[]::new)) Files.delete(p);
            }
        }
    }
}
