package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.File;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.io.UncheckedIOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.*;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

class FilePathTest extends FileTestBase {
    /** The path's bytes followed by zero bytes up to `size`: the system call sees only the path. */
    static byte[] padded(Path path, int size) { return Arrays.copyOf(bytes(path), size); }

    static boolean closeOnExec(int fd) throws IOException {
        String flags = Files.readAllLines(Path.of("/proc/self/fdinfo/" + fd)).get(1);  // "flags:\t0..."
        return (Integer.parseInt(flags.substring(6).strip(), 8) & 02000000) != 0;
    }

    @Test
    void pathsOfOneTo8191BytesAreTakenWholeAndBadOnesRefusedQuietly() throws Exception {
        assertEquals(1, files.nativeIsEnabled());
        Path file = Files.writeString(dir.resolve("kept"), "content");
        Files.setPosixFilePermissions(file, PosixFilePermissions.fromString("rw-r-----"));
        byte[] name = bytes(file);
        assertEquals(7, files.nativeGetLength(padded(file, 8191), 8191));
        assertTrue(JniFilePathImpl.nativeCanRead(padded(file, 8191)));
        assertEquals(7, files.nativeGetLength(bytes(file + "-suffix"), name.length), "a prefix of the array");
        Path fresh = dir.resolve("fresh");
        assertEquals(0, stream.nativeClose(files.nativeOpenWrite(padded(fresh, 8191), 8191, false)));

        // Each bad length on the file's own name, one past 8191 (cutting it
        // would have opened the file), then a null and an empty array.
        Object[][] cases = {{name, 0}, {name, -1}, {name, Integer.MIN_VALUE}, {name, name.length + 1},
                            {name, Integer.MAX_VALUE}, {padded(file, 8192), 8192}, {null, 5}, {new byte[0], 0}};
        for (Object[] c : cases) {
            byte[] path = (byte[]) c[0];
            int length = (int) c[1];
            assertEquals(-1, files.nativeGetLength(path, length));
            assertEquals(-1, files.nativeGetLastModified(path, length));
            assertEquals(-1, files.nativeOpenRead(path, length));
            assertEquals(-1, files.nativeOpenWrite(path, length, false));
            files.nativeChmod(path, length, 0777);
        }
        assertEquals(-1, files.nativeOpenWrite(padded(dir.resolve("new"), 8192), 8192, false));
        assertFalse(Files.exists(dir.resolve("new")));
        assertEquals("content", Files.readString(file));
        assertEquals("rw-r-----", PosixFilePermissions.toString(Files.getPosixFilePermissions(file)));
        for (byte[] none : new byte[][] {null, new byte[0], padded(file, 8192)}) {
            assertFalse(JniFilePathImpl.nativeCanRead(none));
            assertNull(JniFilePathImpl.nativeStat(none, false));
            assertNull(JniFilePathImpl.nativeStat(none, true));
            assertFalse(files.nativeIsDirectory(none));
            assertFalse(JniFilePathImpl.nativeLink(none, name, true));
            assertFalse(JniFilePathImpl.nativeLink(bytes(dir.resolve("link")), none, false));
        }
        assertFalse(Files.exists(dir.resolve("link"), LinkOption.NOFOLLOW_LINKS));
    }

    static void assertMatchesSystem(Path path, FileStatus status, LinkOption... options) throws IOException {
        Map<String, Object> unix = Files.readAttributes(path, "unix:*", options);
        Object[][] fields = {
            {"dev", status.dev}, {"ino", status.ino}, {"mode", status.mode}, {"nlink", status.nlink},
            {"uid", status.uid}, {"gid", status.gid}, {"rdev", status.rdev}, {"size", status.size},
            {"isRegularFile", status.isRegularFile}, {"isDirectory", status.isDirectory},
            {"isSymbolicLink", status.isSymbolicLink}, {"lastAccessTime", status.atime},
            {"lastModifiedTime", status.mtime}, {"ctime", status.ctime},
        };
        for (Object[] field : fields) {
            Object expected = unix.get(field[0]);
            if (expected instanceof FileTime time) expected = Math.floorDiv(time.toMillis(), 1000L);
            assertEquals(expected, field[1], path + " " + field[0]);
        }
        // The other kinds, by the file type bits that the system reported.
        int type = (Integer) unix.get("mode") & 0170000;
        assertEquals(type == 0020000, status.isCharacterDevice, "character device");
        assertEquals(type == 0060000, status.isBlockDevice, "block device");
        assertEquals(type == 0010000, status.isFifo, "fifo");
        assertEquals(type == 0140000, status.isSocket, "socket");
        assertTrue(status.blocks * 512 >= status.size || type != 0100000);
    }

    @Test
    void everyStatusFieldMatchesWhatTheSystemReportsThroughLinksOrNot() throws Exception {
        Path file = Files.write(dir.resolve("file"), new byte[10000]);
        // Ids above 2^31 arrive bit for bit as negative ints; a time before
        // the epoch keeps its sign, one past 2^32 its whole value.
        Files.setAttribute(file, "unix:uid", (int) 4_000_000_000L);
        Files.setAttribute(file, "unix:gid", (int) 3_000_000_000L);
        Files.setAttribute(file, "basic:lastAccessTime", FileTime.from(-100, TimeUnit.SECONDS));
        Files.setLastModifiedTime(file, FileTime.from((1L << 32) + 10, TimeUnit.SECONDS));
        Files.createLink(dir.resolve("second-name"), file);
        assertEquals(10, files.nativeGetLastModified(bytes(file), bytes(file).length));

        Path link = Files.createSymbolicLink(dir.resolve("link"), file);
        Path dangling = Files.createSymbolicLink(dir.resolve("dangling"), dir.resolve("missing"));
        Path socket = dir.resolve("socket");
        try (ServerSocketChannel listener = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            listener.bind(UnixDomainSocketAddress.of(socket));
            for (Path any : List.of(file, link, dir, fifo("fifo"), Path.of("/dev/null"), socket)) {
                assertMatchesSystem(any, JniFilePathImpl.nativeStat(bytes(any), false));
                assertMatchesSystem(any, JniFilePathImpl.nativeStat(bytes(any), true), LinkOption.NOFOLLOW_LINKS);
            }
        }
        assertMatchesSystem(dangling, JniFilePathImpl.nativeStat(bytes(dangling), true), LinkOption.NOFOLLOW_LINKS);
        assertNull(JniFilePathImpl.nativeStat(bytes(dangling), false));
        assertNull(JniFilePathImpl.nativeStat(bytes(dir.resolve("missing")), true));
        assertFalse(files.nativeIsDirectory(bytes(dangling)));
        assertEquals(-1, files.nativeGetLength(bytes(dangling), bytes(dangling).length));
        assertTrue(files.nativeIsDirectory(bytes(Files.createSymbolicLink(dir.resolve("to-dir"), dir))));
    }

    @Test
    void lengthsOf2GiBAndMoreKeepOnlyTheLow32Bits() throws Exception {
        Path big = dir.resolve("sparse");
        try (RandomAccessFile file = new RandomAccessFile(big.toFile(), "rw")) {
            file.setLength((4L << 30) + 5);
            assertEquals(5, files.nativeGetLength(bytes(big), bytes(big).length));
            assertEquals((4L << 30) + 5, JniFilePathImpl.nativeStat(bytes(big), false).size);
            file.setLength(3L << 30);
            assertEquals((int) (3L << 30), files.nativeGetLength(bytes(big), bytes(big).length));
        }
    }

    @Test
    void openWriteTruncatesAppendsCreatesWithTheUmaskAndExplainsFailures() throws Exception {
        Path file = Files.writeString(dir.resolve("file"), "hello world");
        int fd = openWrite(file, false);
        assertTrue(closeOnExec(fd));
        assertEquals(0, Files.size(file));
        write(fd, "abc");
        assertEquals(0, stream.nativeClose(fd));
        fd = openWrite(file, true);
        assertEquals(0, stream.nativeSeekStart(fd, 0));
        write(fd, "XYZ");
        assertEquals(0, stream.nativeClose(fd));
        assertEquals("abcXYZ", Files.readString(file));
        assertTrue(closeOnExec(fd = openRead(file)));
        assertEquals(0, stream.nativeClose(fd));

        Path created = dir.resolve("created");
        assertEquals(0, stream.nativeClose(openWrite(created, false)));
        Path byJava = Files.createFile(dir.resolve("by-java"));  // 0666 less the umask
        assertEquals(Files.getAttribute(byJava, "unix:mode"), Files.getAttribute(created, "unix:mode"));

        Path orphan = dir.resolve("no-such-dir").resolve("file");
        Path underFile = file.resolve("file");
        Object[][] failures = {{dir, "' is a directory"}, {orphan, "' unknown error (errno=2)."},
                               {underFile, "' parent directory does not exist"}};
        for (Object[] f : failures) {
            IOException e = assertThrows(IOException.class, () -> openWrite(f[0], true));
            assertEquals("'" + f[0] + f[1], e.getMessage());
        }
    }

    @Test
    void openReadRefusesADirectoryEvenOneRenamedIntoPlaceAndKeepsNoDescriptor() throws Exception {
        Path file = Files.writeString(dir.resolve("file"), "x"), sub = Files.createDirectory(dir.resolve("sub"));
        Path path = dir.resolve("swapped");
        int descriptors = new File("/proc/self/fd").list().length;
        assertEquals(-1, openRead(sub));
        Thread swapper = new Thread(() -> {
            try {
                for (int i = 0; i < 20_000; i++) Files.move(Files.move(i % 2 == 0 ? file : sub, path), i % 2 == 0 ? file : sub);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        });
        swapper.start();
        byte[] one = new byte[1];
        while (swapper.isAlive()) {
            int fd = openRead(path);
            if (fd < 0) continue;
            int got = stream.nativeRead(fd, one, 0, 1);
            stream.nativeClose(fd);
            assertEquals(1, got, "a directory's descriptor reads as -1");
        }
        swapper.join();
        assertEquals(descriptors, new File("/proc/self/fd").list().length);
    }

    @Test
    void theSystemDeniesAnUnprivilegedAccountAndAFullDescriptorTable() throws Exception {
        assertEquals("IOException: too many files open",
                     inChild(List.of("prlimit", "--nofile=64:64"), "open-until-refused", dir.toString()));
        assumeTrue((Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid") == 0, "needs root");
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
        Path locked = Files.createDirectory(dir.resolve("locked"));
        Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("r-xr-xr-x"));
        Path secret = Files.writeString(dir.resolve("secret"), "s");
        Files.setPosixFilePermissions(secret, PosixFilePermissions.fromString("rw-------"));
        Path open = Files.writeString(dir.resolve("open"), "o");
        List<String> nobody = List.of("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups");
        Path denied = locked.resolve("new");
        assertEquals("IOException: '" + denied + "' permission denied",
                     inChild(nobody, "open-write", denied.toString()));
        assertEquals("false", inChild(nobody, "can-read", secret.toString()));
        assertEquals("true", inChild(nobody, "can-read", open.toString()));
        assertTrue(JniFilePathImpl.nativeCanRead(bytes(secret)));
    }

    @Test
    void linksAreMadeOrExplainedByTheSystemsText() throws Exception {
        Path target = Files.writeString(dir.resolve("target"), "data");
        Path hard = dir.resolve("hard");
        assertTrue(JniFilePathImpl.nativeLink(bytes(hard), bytes(target), true));
        assertEquals(Files.getAttribute(target, "unix:ino"), Files.getAttribute(hard, "unix:ino"));
        Path soft = dir.resolve("soft");
        Path nowhere = dir.resolve("nowhere");
        assertTrue(JniFilePathImpl.nativeLink(bytes(soft), bytes(nowhere), false));
        assertEquals(nowhere, Files.readSymbolicLink(soft));

        Object[][] failures = {{hard, target, "File exists"},
                               {dir.resolve("h2"), nowhere, "No such file or directory"}};
        for (Object[] f : failures) {
            assertEquals(f[2], assertThrows(IOException.class,
                    () -> JniFilePathImpl.nativeLink(bytes(f[0]), bytes(f[1]), true)).getMessage());
        }
    }
}
