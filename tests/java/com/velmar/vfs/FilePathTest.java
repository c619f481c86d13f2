package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.*;
import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.util.*;
import java.util.concurrent.*;
import org.junit.jupiter.api.Test;

class FilePathTest extends FileTestBase {
    /** The path's bytes followed by zero bytes up to `size`: the system call sees only the path. */
    static byte[] padded(Path path, int size) { return Arrays.copyOf(bytes(path), size); }

    static boolean closeOnExec(int fd) throws IOException {
        String flags = Files.readAllLines(Path.of("/proc/self/fdinfo/" + fd)).get(1);  // "flags:\t0..."
        return (Integer.parseInt(flags.substring(6).strip(), 8) & 02000000) != 0;
    }

    static String mode(Path path) throws IOException {
        return PosixFilePermissions.toString(Files.getPosixFilePermissions(path));
    }

    @Test
    void pathsOfOneTo8191BytesAreTakenWholeAndBadOnesRefusedQuietly() throws Exception {
        assertEquals(1, files.nativeIsEnabled());
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
        assertEquals("content", Files.readString(file));
        assertEquals("rw-r-----", mode(file));
        for (byte[] none : new byte[][] {null, new byte[0], padded(file, 8192)}) {
            assertFalse(JniFilePathImpl.nativeCanRead(none) || files.nativeIsDirectory(none));
            assertNull(JniFilePathImpl.nativeStat(none, false));
            assertNull(JniFilePathImpl.nativeStat(none, true));
            assertFalse(JniFilePathImpl.nativeLink(none, name, true));
            assertFalse(JniFilePathImpl.nativeLink(bytes(dir.resolve("link")), none, false));
        }
        assertFalse(Files.exists(dir.resolve("link"), LinkOption.NOFOLLOW_LINKS));
    }

    static void assertMatchesSystem(Path path, LinkOption... noFollow) throws IOException {
        FileStatus status = JniFilePathImpl.nativeStat(bytes(path), noFollow.length > 0);
        Map<String, Object> unix = Files.readAttributes(path, "unix:*", noFollow);
        int type = (Integer) unix.get("mode") & 0170000;
        Object[][] fields = {
            {"dev", status.dev}, {"ino", status.ino}, {"mode", status.mode}, {"nlink", status.nlink},
            {"uid", status.uid}, {"gid", status.gid}, {"rdev", status.rdev}, {"size", status.size},
            {"isRegularFile", status.isRegularFile}, {"isDirectory", status.isDirectory},
            {"isSymbolicLink", status.isSymbolicLink}, {"lastAccessTime", status.atime},
            {"lastModifiedTime", status.mtime}, {"ctime", status.ctime}, {type == 0010000, status.isFifo},
            {type == 0020000, status.isCharacterDevice}, {type == 0060000, status.isBlockDevice},
            {type == 0140000, status.isSocket},
        };
        for (Object[] field : fields) {
            Object expected = field[0] instanceof String key ? unix.get(key) : field[0];
            if (expected instanceof FileTime time) expected = Math.floorDiv(time.toMillis(), 1000L);
            assertEquals(expected, field[1], path + " " + Arrays.toString(field));
        }
        assertTrue(status.blocks * 512 >= status.size || type != 0100000);
    }

    @Test
    void linksAreMadeAndEveryStatusFieldMatchesWhatTheSystemReportsThroughThemOrNot() throws Exception {
        Path file = Files.write(dir.resolve("file"), new byte[10000]);
        // Ids above 2^31 arrive bit for bit as negative ints; a time before
        // the epoch keeps its sign, one past 2^32 its whole value.
        Files.setAttribute(file, "unix:uid", (int) 4_000_000_000L);
        Files.setAttribute(file, "unix:gid", (int) 3_000_000_000L);
        Files.setAttribute(file, "basic:lastAccessTime", FileTime.from(-100, TimeUnit.SECONDS));
        Files.setLastModifiedTime(file, FileTime.from((1L << 32) + 10, TimeUnit.SECONDS));
        assertEquals(10, files.nativeGetLastModified(bytes(file), bytes(file).length));
        Path hard = dir.resolve("hard"), link = dir.resolve("link"), dangling = dir.resolve("dangling");
        Path missing = dir.resolve("missing"), socket = dir.resolve("socket");
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
            for (Path any : List.of(file, hard, link, dir, fifo("fifo"), Path.of("/dev/null"), socket)) {
                assertMatchesSystem(any);
                assertMatchesSystem(any, LinkOption.NOFOLLOW_LINKS);
            }
        }
        assertMatchesSystem(dangling, LinkOption.NOFOLLOW_LINKS);
        assertNull(JniFilePathImpl.nativeStat(bytes(dangling), false));
        assertNull(JniFilePathImpl.nativeStat(bytes(missing), true));
        assertFalse(files.nativeIsDirectory(bytes(dangling)));
        assertEquals(-1, files.nativeGetLength(bytes(dangling), bytes(dangling).length));
        assertTrue(files.nativeIsDirectory(bytes(Files.createSymbolicLink(dir.resolve("to-dir"), dir))));
    }

    @Test
    void openWriteTruncatesAppendsCreatesWithTheUmaskAndExplainsFailures() throws Exception {
        Path file = Files.writeString(dir.resolve("file"), "hello world"), created = dir.resolve("created");
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
        assertEquals(0, stream.nativeClose(openWrite(created, false)));
        assertEquals(mode(Files.createFile(dir.resolve("by-java"))), mode(created));  // 0666 less the umask

        Object[][] failures = {{dir, "' is a directory"}, {dir.resolve("none/file"), "' unknown error (errno=2)."},
                               {file.resolve("file"), "' parent directory does not exist"}};
        for (Object[] f : failures) {
            assertEquals("'" + f[0] + f[1],
                         assertThrows(IOException.class, () -> openWrite(f[0], true)).getMessage());
        }
    }

    @Test
    void openReadRefusesADirectoryEvenOneRenamedIntoPlaceAndKeepsNoDescriptor() throws Exception {
        Path file = Files.writeString(dir.resolve("file"), "x"), sub = Files.createDirectory(dir.resolve("sub"));
        Path path = dir.resolve("swapped");
        int descriptors = new File("/proc/self/fd").list().length;
        assertEquals(-1, openRead(sub));
        CompletableFuture<Void> swapper = CompletableFuture.runAsync(() -> {
            for (int i = 0; i < 20_000; i++) {
                Path moved = i % 2 == 0 ? file : sub;
                assertTrue(moved.toFile().renameTo(path.toFile()) && path.toFile().renameTo(moved.toFile()));
            }
        });
        for (byte[] one = new byte[1]; !swapper.isDone(); ) {
            int fd = openRead(path), got = fd < 0 ? 1 : stream.nativeRead(fd, one, 0, 1);
            if (fd >= 0) stream.nativeClose(fd);
            assertEquals(1, got, "a directory's descriptor reads as -1");
        }
        swapper.get();
        assertEquals(descriptors, new File("/proc/self/fd").list().length);
    }

    @Test
    void theSystemDeniesAnUnprivilegedAccountAndAFullDescriptorTable() throws Exception {
        assertEquals("IOException: too many files open",
                     inChild(List.of("prlimit", "--nofile=64:64"), "open-until-refused", dir.toString()));
        assumeTrue((Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid") == 0, "needs root");
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
        Path locked = Files.createDirectory(dir.resolve("locked"), PosixFilePermissions.asFileAttribute(
                PosixFilePermissions.fromString("r-xr-xr-x")));
        Path secret = Files.writeString(dir.resolve("secret"), "s"), open = Files.writeString(dir.resolve("open"), "o");
        Files.setPosixFilePermissions(secret, PosixFilePermissions.fromString("rw-------"));
        List<String> nobody = List.of("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups");
        assertEquals("IOException: '" + locked.resolve("new") + "' permission denied",
                     inChild(nobody, "open-write", locked.resolve("new").toString()));
        assertEquals("false", inChild(nobody, "can-read", secret.toString()));
        assertEquals("true", inChild(nobody, "can-read", open.toString()));
        assertTrue(JniFilePathImpl.nativeCanRead(bytes(secret)));
    }
}
