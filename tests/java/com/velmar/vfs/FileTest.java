package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.velmar.ChildJvm;
import java.io.*;
import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.time.Duration;
import java.util.*;
import java.util.concurrent.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The path and file stream natives on real files, here or in a child JVM with another account or limits. */
class FileTest {
    static final JniFilePathImpl files = new JniFilePathImpl();
    static final JniFileStream stream = new JniFileStream();

    @TempDir
    Path dir;

    static byte[] bytes(Object path) { return path.toString().getBytes(StandardCharsets.UTF_8); }

    static byte[] padded(Path path, int size) { return Arrays.copyOf(bytes(path), size); }  // zeros after the path

    static int openRead(Object path) { return files.nativeOpenRead(bytes(path), bytes(path).length); }

    static int openWrite(Object path, boolean append) {
        return files.nativeOpenWrite(bytes(path), bytes(path).length, append);
    }

    static void write(int fd, String text) { assertEquals(1, stream.nativeWrite(fd, bytes(text), 0, text.length())); }

    static byte[] random(int size) { byte[] data = new byte[size]; new Random(size).nextBytes(data); return data; }

    static FileAttribute<?> attribute(String permissions) {
        return PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString(permissions));
    }

    static boolean closeOnExec(int fd) throws IOException {
        String flags = Files.readAllLines(Path.of("/proc/self/fdinfo/" + fd)).get(1);  // "flags:\t0..."
        return (Integer.parseInt(flags.substring(6).strip(), 8) & 02000000) != 0;
    }

    Path fifo() throws Exception {
        assertEquals(0, new ProcessBuilder("mkfifo", dir.resolve("fifo").toString()).start().waitFor());
        return dir.resolve("fifo");
    }

    /** What Child printed, run through wrapper (setpriv, prlimit ...). */
    String inChild(List<String> wrapper, String... args) throws Exception {
        return ChildJvm.run(dir, wrapper, Child.class, args).out().strip();
    }

    @Test
    void pathsOfOneTo8191BytesAreTakenWholeAndBadOnesRefusedQuietly() throws Exception {
        Path file = Files.writeString(dir.resolve("kept"), "content"), fresh = dir.resolve("fresh");
        Files.setPosixFilePermissions(file, PosixFilePermissions.fromString("rw-r-----"));
        byte[] name = bytes(file);
        assertEquals(7, files.nativeGetLength(padded(file, 8191), 8191));
        assertTrue(JniFilePathImpl.nativeCanRead(padded(file, 8191)));
        assertEquals(7, files.nativeGetLength(bytes(file + "-suffix"), name.length), "a prefix of the array");
        assertEquals(0, stream.nativeClose(files.nativeOpenWrite(padded(fresh, 8191), 8191, false)));
        // Bad lengths on the file's own name, one past 8191 (a cut would have
        // opened the file, or created "new"), a null and an empty array.
        Object[][] cases = {{name, 0}, {name, -1}, {name, Integer.MIN_VALUE}, {name, name.length + 1},
                            {name, Integer.MAX_VALUE}, {padded(file, 8192), 8192}, {null, 5}, {new byte[0], 0},
                            {padded(dir.resolve("new"), 8192), 8192}};
        for (Object[] c : cases) {
            byte[] path = (byte[]) c[0];
            int length = (int) c[1];
            assertEquals(List.of(-1, -1, -1, -1), List.of(files.nativeGetLength(path, length),
                    files.nativeGetLastModified(path, length), files.nativeOpenRead(path, length),
                    files.nativeOpenWrite(path, length, false)), Arrays.toString(c));
            files.nativeChmod(path, length, 0777);
        }
        assertFalse(Files.exists(dir.resolve("new")));
        assertEquals(List.of("content", 0100640),
                     List.of(Files.readString(file), Files.getAttribute(file, "unix:mode")));
        for (byte[] none : new byte[][] {null, new byte[0], padded(file, 8192)}) {
            assertEquals(Arrays.asList(false, false, null, null, false, false), Arrays.asList(
                    JniFilePathImpl.nativeCanRead(none), files.nativeIsDirectory(none),
                    JniFilePathImpl.nativeStat(none, false), JniFilePathImpl.nativeStat(none, true),
                    JniFilePathImpl.nativeLink(none, name, true), JniFilePathImpl.nativeLink(name, none, false)));
        }
    }

    static void assertMatchesSystem(Path path, LinkOption... noFollow) throws Exception {
        FileStatus status = JniFilePathImpl.nativeStat(bytes(path), noFollow.length > 0);
        Map<String, Object> unix = new HashMap<>(Files.readAttributes(path, "unix:*", noFollow));
        int type = (Integer) unix.get("mode") & 0170000;
        unix.put("atime", unix.get("lastAccessTime"));
        unix.put("mtime", unix.get("lastModifiedTime"));
        Map.of(0010000, "isFifo", 0020000, "isCharacterDevice", 0060000, "isBlockDevice", 0140000, "isSocket")
                .forEach((bits, name) -> unix.put(name, type == bits));
        for (String name : List.of("dev", "ino", "mode", "nlink", "uid", "gid", "rdev", "size", "atime", "mtime",
                "ctime", "isRegularFile", "isDirectory", "isSymbolicLink", "isFifo", "isCharacterDevice",
                "isBlockDevice", "isSocket")) {
            Object value = unix.get(name);
            if (value instanceof FileTime time) value = Math.floorDiv(time.toMillis(), 1000L);
            assertEquals(value, FileStatus.class.getField(name).get(status), path + " " + name);
        }
        assertTrue(status.blocks * 512 >= status.size || type != 0100000);
        FileTime mtime = (FileTime) unix.get("lastModifiedTime");
        assertEquals(Math.floorMod(mtime.to(TimeUnit.NANOSECONDS), 1_000_000_000L), status.mtimeNanos, path + " ns");
    }

    @Test
    void linksAreMadeAndEveryStatusFieldMatchesWhatTheSystemReportsThroughThemOrNot() throws Exception {
        Path file = Files.write(dir.resolve("file"), new byte[10000]), socket = dir.resolve("socket");
        // Ids above 2^31 arrive bit for bit as negative ints; a time before
        // the epoch keeps its sign, one past 2^32 its whole value.
        Files.setAttribute(file, "unix:uid", (int) 4_000_000_000L);
        Files.setAttribute(file, "unix:gid", (int) 3_000_000_000L);
        Files.setAttribute(file, "basic:lastAccessTime", FileTime.from(-100, TimeUnit.SECONDS));
        Files.setLastModifiedTime(file, FileTime.from(((1L << 32) + 10) * 1_000_000_000L + 123_456_789, TimeUnit.NANOSECONDS));
        assertEquals(10, files.nativeGetLastModified(bytes(file), bytes(file).length));
        Path hard = dir.resolve("hard"), link = dir.resolve("link"), dangling = dir.resolve("dangling");
        Path missing = dir.resolve("missing");
        assertTrue(JniFilePathImpl.nativeLink(bytes(hard), bytes(file), true));
        assertTrue(JniFilePathImpl.nativeLink(bytes(link), bytes(file), false));
        assertTrue(JniFilePathImpl.nativeLink(bytes(dangling), bytes(missing), false));
        assertTrue(Files.isSymbolicLink(link) && !Files.isSymbolicLink(hard));
        assertEquals(missing, Files.readSymbolicLink(dangling));
        Object[][] failures = {{hard, file, "File exists"}, {dir.resolve("h2"), missing, "No such file or directory"}};
        for (Object[] f : failures) {
            assertEquals(f[2], assertThrows(IOException.class,
                    () -> JniFilePathImpl.nativeLink(bytes(f[0]), bytes(f[1]), true)).getMessage());
        }
        try (ServerSocketChannel listener = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            listener.bind(UnixDomainSocketAddress.of(socket));
            for (Path any : List.of(file, hard, link, dir, fifo(), Path.of("/dev/null"), socket)) {
                assertMatchesSystem(any);
                assertMatchesSystem(any, LinkOption.NOFOLLOW_LINKS);
            }
        }
        assertMatchesSystem(dangling, LinkOption.NOFOLLOW_LINKS);
        assertEquals(Arrays.asList(null, null, false, -1), Arrays.asList(
                JniFilePathImpl.nativeStat(bytes(dangling), false),
                JniFilePathImpl.nativeStat(bytes(missing), true), files.nativeIsDirectory(bytes(dangling)),
                files.nativeGetLength(bytes(dangling), bytes(dangling).length)));
        assertTrue(files.nativeIsDirectory(bytes(Files.createSymbolicLink(dir.resolve("to-dir"), dir))));
    }

    @Test
    void openWriteTruncatesAppendsCreatesWithTheUmaskExplainsFailuresAndSeeksBeyond2GiB() throws Exception {
        Path file = Files.writeString(dir.resolve("file"), "hello world"), created = dir.resolve("created");
        int fd = openWrite(file, false);
        assertTrue(closeOnExec(fd) && Files.size(file) == 0);
        write(fd, "abc");
        assertEquals(0, stream.nativeClose(fd));
        fd = openWrite(file, true);
        assertEquals(0, stream.nativeSeekStart(fd, 0));
        write(fd, "XYZ");
        assertEquals(List.of(0, "abcXYZ"), List.of(stream.nativeClose(fd), Files.readString(file)));
        assertTrue(closeOnExec(fd = openRead(file)));
        assertEquals(0, stream.nativeClose(fd));
        Object[][] failures = {{dir, "' is a directory"}, {dir.resolve("none/file"), "' unknown error (errno=2)."},
                               {file.resolve("file"), "' parent directory does not exist"}};
        for (Object[] f : failures) {
            assertEquals("'" + f[0] + f[1], assertThrows(IOException.class, () -> openWrite(f[0], true)).getMessage());
        }
        fd = openWrite(created, false);
        assertEquals(Files.getAttribute(Files.createFile(dir.resolve("by-java")), "unix:mode"),  // 0666 less the umask
                     Files.getAttribute(created, "unix:mode"));
        // Positions and lengths beyond 2 GiB survive only in the long results.
        long threeGiB = 3L << 30;
        assertEquals((int) threeGiB, stream.nativeSeekStart(fd, threeGiB));
        assertEquals(List.of(threeGiB, threeGiB + 10, threeGiB - 10),
                     List.of(stream.nativeSkip(fd, 0), stream.nativeSkip(fd, 10), stream.nativeSkip(fd, -20)));
        write(fd, "x");
        assertEquals(threeGiB - 9, JniFilePathImpl.nativeStat(bytes(created), false).size);
        assertEquals(List.of((int) (threeGiB - 9), (int) (threeGiB - 9), -1, -1L, (int) (threeGiB - 11), 0),
                     List.of(files.nativeGetLength(bytes(created), bytes(created).length), stream.nativeSeekEnd(fd, 0),
                             stream.nativeSeekStart(fd, -1), stream.nativeSkip(fd, -(4L << 30)),
                             stream.nativeSeekEnd(fd, -2), stream.nativeClose(fd)));
    }

    @Test
    void openReadRefusesADirectoryEvenOneRenamedIntoPlaceAndKeepsNoDescriptor() throws Exception {
        Path file = Files.writeString(dir.resolve("file"), "x"), sub = Files.createDirectory(dir.resolve("sub"));
        Path path = dir.resolve("swapped");
        assertEquals(-1, openRead(sub));
        File[] each = {file.toFile(), sub.toFile()};
        CompletableFuture<Void> swapper = CompletableFuture.runAsync(() -> {
            for (int i = 0; i < 20_000; i++) {
                assertTrue(each[i % 2].renameTo(path.toFile()) && path.toFile().renameTo(each[i % 2]));
            }
        });
        for (byte[] one = new byte[1]; !swapper.isDone(); ) {
            int fd = openRead(path), got = fd < 0 ? 1 : stream.nativeRead(fd, one, 0, 1);
            if (fd >= 0) stream.nativeClose(fd);
            assertEquals(1, got, "a directory's descriptor reads as -1");
        }
        swapper.get();
        String inDir = dir.toRealPath() + "/";
        for (File fd : new File("/proc/self/fd").listFiles()) assertFalse(fd.getCanonicalPath().startsWith(inDir));
    }

    @Test
    void theSystemDeniesAnUnprivilegedAccountAndAWriteBeyondTheSizeLimit() throws Exception {
        // With the file size limit at 20480 bytes the second pass of a write is
        // cut short and the third refused; what reached the file is the array's start.
        Path limited = dir.resolve("limited");
        assertEquals("-1", inChild(List.of("prlimit", "--fsize=20480:20480"), "write", limited.toString()));
        assertArrayEquals(Arrays.copyOf(Child.pattern(40000), 20480), Files.readAllBytes(limited));

        assumeTrue((Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid") == 0, "needs root");
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
        Path locked = Files.createDirectory(dir.resolve("locked"), attribute("r-xr-xr-x"));
        Path secret = Files.createFile(dir.resolve("secret"), attribute("rw-------"));
        Path open = Files.createFile(dir.resolve("open"), attribute("rw-r--r--"));
        List<String> nobody = List.of("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups");
        assertEquals("IOException: '" + locked.resolve("new") + "' permission denied",
                     inChild(nobody, "open-write", locked.resolve("new").toString()));
        assertEquals("false true", inChild(nobody, "can-read", secret.toString(), open.toString()));
        assertTrue(JniFilePathImpl.nativeCanRead(bytes(secret)));
    }

    @Test
    void readsFillExactlyTheWindowUntilTheEndBadWindowsTouchNothingAndAFifoGivesWhatIsReady() throws Exception {
        byte[] data = random(50000), ten = new byte[10], buf = new byte[40010];
        int fd = openRead(Files.write(dir.resolve("data"), data)), out = openWrite(dir.resolve("out"), false);
        // {array, offset, length, read result, write result}: with nothing to
        // move nothing is looked at, as a zero-length request.
        Object[][] windows = {
            {null, 0, 10, -1, -1}, {ten, -1, 5, -1, -1}, {ten, 5, 6, -1, -1}, {ten, Integer.MAX_VALUE, 10, -1, -1},
            {ten, 5, Integer.MAX_VALUE, -1, -1}, {null, 0, 0, 0, 1}, {ten, 0, -1, 0, 1}, {ten, 11, 0, 0, 1},
            {ten, Integer.MIN_VALUE, 0, 0, 1},
        };
        for (Object[] w : windows) {
            assertEquals(List.of(w[3], w[4]), List.of(stream.nativeRead(fd, (byte[]) w[0], (int) w[1], (int) w[2]),
                    stream.nativeWrite(out, (byte[]) w[0], (int) w[1], (int) w[2])), Arrays.toString(w));
        }
        assertEquals(List.of(-1, 0L, 0, 0, -1), List.of(stream.nativeWrite(fd, ten, 0, 10),
                Files.size(dir.resolve("out")),
                stream.nativeFlushToDisk(out), stream.nativeClose(out), stream.nativeClose(out)));

        Arrays.fill(buf, (byte) 0x55);
        assertEquals(40000, stream.nativeRead(fd, buf, 7, 40000));
        assertArrayEquals(Arrays.copyOf(data, 40000), Arrays.copyOfRange(buf, 7, 40007));
        for (int i : new int[] {0, 6, 40007, 40009}) assertEquals(0x55, buf[i]);
        assertEquals(10000, stream.nativeRead(fd, buf, 0, 40000));
        assertArrayEquals(Arrays.copyOfRange(data, 40000, 50000), Arrays.copyOf(buf, 10000));
        assertEquals(List.of(0, -1, 0), List.of(stream.nativeRead(fd, buf, 0, 0), stream.nativeRead(fd, buf, 0, 40000),
                                             stream.nativeClose(fd)));
        try (RandomAccessFile ends = new RandomAccessFile(fifo().toFile(), "rw")) {  // both ends: no open blocks
            ends.write(data, 0, 100);
            int pipe = openRead(dir.resolve("fifo"));
            assertEquals(100, assertTimeoutPreemptively(Duration.ofSeconds(10),
                                                        () -> stream.nativeRead(pipe, buf, 0, 999)));
            assertArrayEquals(Arrays.copyOf(data, 100), Arrays.copyOf(buf, 100));
            assertEquals(0, stream.nativeClose(pipe));
        }
    }

    @Test
    void aTerminalOpenedByADaemonNeverBecomesItsControllingTerminal() throws Exception {
        // A pseudo-terminal that is no session's yet, opened by a session leader that has none: a daemon's case.
        Process pty = new ProcessBuilder("perl", "-e", "my ($m, $unlock, $n) = (undef, pack('i', 0), pack('i', 0)); open($m, '+<', '/dev/ptmx')"
            + " && ioctl($m, 0x40045431, $unlock) && ioctl($m, 0x80045430, $n) or die; $| = 1; print '/dev/pts/', unpack('i', $n), qq(\n); <STDIN>")
            .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        try (BufferedReader out = new BufferedReader(new InputStreamReader(pty.getInputStream()))) {
            String terminal = out.readLine();
            assertTrue(terminal.startsWith("/dev/pts/"));
            // The terminal's number in /proc/self/stat after each open: 0, none (its hang-up would end the daemon).
            assertEquals("0 0", inChild(List.of("setsid", "--wait"), "open-terminal", terminal));
        } finally {
            pty.destroy();
        }
    }

    /** The file natives in a child JVM: prints the result, or the class and message of what was thrown. */
    public static final class Child {
        static byte[] pattern(int size) {
            byte[] data = new byte[size];
            for (int i = 0; i < size; i++) data[i] = (byte) (i % 251);
            return data;
        }

        /** The controlling terminal's number (0 for none) once {@code fd} is open. */
        static String terminal(int fd) throws IOException {
            String stat = Files.readString(Path.of("/proc/self/stat"));
            return fd < 0 ? "not opened" : stat.substring(stat.lastIndexOf(')') + 2).split(" ")[4];
        }

        public static void main(String[] args) {
            try {
                System.out.println(switch (args[0]) {
                    case "open-write" -> openWrite(args[1], false);
                    case "open-terminal" -> terminal(openRead(args[1])) + " " + terminal(openWrite(args[1], true));
                    case "can-read" -> JniFilePathImpl.nativeCanRead(bytes(args[1])) + " "
                                       + JniFilePathImpl.nativeCanRead(bytes(args[2]));
                    default -> stream.nativeWrite(openWrite(args[1], false), pattern(40000), 0, 40000);  // "write"
                });
            } catch (Exception e) {  // the natives declare nothing, yet raise IOException
                System.out.println(e.getClass().getSimpleName() + ": " + e.getMessage());
            }
        }
    }
}
