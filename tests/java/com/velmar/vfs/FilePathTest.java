package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.velmar.ChildJvm;
import java.io.File;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.io.UncheckedIOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
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
        for (String line : Files.readAllLines(Path.of("/proc/self/fdinfo/" + fd))) {
            if (line.startsWith("flags:")) return (Integer.parseInt(line.substring(6).strip(), 8) & 02000000) != 0;
        }
        throw new AssertionError("no flags for descriptor " + fd);
    }

    static boolean runningAsRoot() throws IOException {
        return (Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid") == 0;
    }

    @Test
    void pathsOfOneTo8191BytesAreTakenWholeAndLongerOnesRefused() throws Exception {
        assertEquals(1, files.nativeIsEnabled());
        Path file = Files.writeString(dir.resolve("five"), "12345");
        byte[] longest = padded(file, 8191);
        byte[] tooLong = padded(file, 8192);
        assertEquals(5, files.nativeGetLength(longest, 8191));
        assertEquals(-1, files.nativeGetLength(tooLong, 8192));
        assertNotNull(JniFilePathImpl.nativeStat(longest, false));
        assertNull(JniFilePathImpl.nativeStat(tooLong, false));
        assertTrue(JniFilePathImpl.nativeCanRead(longest));
        assertFalse(JniFilePathImpl.nativeCanRead(tooLong));

        // Refused without a system call: nothing is created and nothing thrown,
        // where cutting the array to 8191 bytes would have created the file.
        Path fresh = dir.resolve("fresh");
        assertEquals(-1, files.nativeOpenWrite(padded(fresh, 8192), 8192, false));
        assertFalse(Files.exists(fresh));
        int fd = files.nativeOpenWrite(padded(fresh, 8191), 8191, false);
        assertTrue(fd >= 0);
        assertEquals(0, stream.nativeClose(fd));
        assertTrue(Files.exists(fresh));

        // 8191 real bytes reach open, which finds the name too long; the
        // message with that path is cut at the end of the message buffer.
        String name = "/" + "n".repeat(8190);
        IOException e = assertThrows(IOException.class, () -> files.nativeOpenWrite(bytes(name), 8191, false));
        assertEquals(("'" + name + "' unknown error (errno=36).").substring(0, 8191), e.getMessage());
    }

    @Test
    void badPathArgumentsFailQuietlyWithoutTouchingTheFile() throws Exception {
        Path file = Files.writeString(dir.resolve("kept"), "content");
        Files.setPosixFilePermissions(file, PosixFilePermissions.fromString("rw-r-----"));
        byte[] name = bytes(file);
        // An explicit length shorter than the array takes a prefix of it.
        assertEquals(7, files.nativeGetLength(bytes(file + "-suffix"), name.length));

        // Each bad length on the file's own name, then a null and an empty array.
        Object[][] cases = {{name, 0}, {name, -1}, {name, Integer.MIN_VALUE}, {name, name.length + 1},
                            {name, Integer.MAX_VALUE}, {null, 5}, {new byte[0], 0}};
        for (Object[] c : cases) {
            byte[] path = (byte[]) c[0];
            int length = (int) c[1];
            assertEquals(-1, files.nativeGetLength(path, length));
            assertEquals(-1, files.nativeGetLastModified(path, length));
            assertEquals(-1, files.nativeOpenRead(path, length));
            assertEquals(-1, files.nativeOpenWrite(path, length, false));
            files.nativeChmod(path, length, 0777);
        }
        assertEquals("content", Files.readString(file));
        assertEquals("rw-r-----", PosixFilePermissions.toString(Files.getPosixFilePermissions(file)));
        for (byte[] none : new byte[][] {null, new byte[0]}) {
            assertFalse(JniFilePathImpl.nativeCanRead(none));
            assertNull(JniFilePathImpl.nativeStat(none, false));
            assertNull(JniFilePathImpl.nativeStat(none, true));
            assertFalse(files.nativeIsDirectory(none));
            assertFalse(JniFilePathImpl.nativeLink(none, name, true));
            assertFalse(JniFilePathImpl.nativeLink(bytes(dir.resolve("link")), none, false));
        }
        assertFalse(JniFilePathImpl.nativeLink(padded(dir.resolve("link"), 8192), name, false));
        assertFalse(Files.exists(dir.resolve("link"), LinkOption.NOFOLLOW_LINKS));
    }

    @Test
    void lstatReportsTheLinkAndStatWhatItPointsAt() throws Exception {
        Path target = Files.createDirectory(dir.resolve("target"));
        Path link = Files.createSymbolicLink(dir.resolve("link"), target);
        FileStatus own = JniFilePathImpl.nativeStat(bytes(link), true);
        assertTrue(own.isSymbolicLink);
        assertFalse(own.isDirectory);
        FileStatus followed = JniFilePathImpl.nativeStat(bytes(link), false);
        assertTrue(followed.isDirectory);
        assertFalse(followed.isSymbolicLink);
        assertEquals(Files.getAttribute(target, "unix:ino"), followed.ino);
        assertTrue(files.nativeIsDirectory(bytes(link)));

        Path missing = dir.resolve("missing");
        Path dangling = Files.createSymbolicLink(dir.resolve("dangling"), missing);
        assertNull(JniFilePathImpl.nativeStat(bytes(dangling), false));
        assertTrue(JniFilePathImpl.nativeStat(bytes(dangling), true).isSymbolicLink);
        assertNull(JniFilePathImpl.nativeStat(bytes(missing), true));
        assertFalse(files.nativeIsDirectory(bytes(dangling)));
        assertEquals(-1, files.nativeGetLength(bytes(dangling), bytes(dangling).length));
    }

    static void assertMatchesSystem(Path path, FileStatus status, LinkOption... options) throws IOException {
        Map<String, Object> unix = Files.readAttributes(path, "unix:*", options);
        Object[][] fields = {
            {"dev", status.dev}, {"ino", status.ino}, {"mode", status.mode}, {"nlink", status.nlink},
            {"uid", status.uid}, {"gid", status.gid}, {"rdev", status.rdev}, {"size", status.size},
            {"isRegularFile", status.isRegularFile}, {"isDirectory", status.isDirectory},
            {"isSymbolicLink", status.isSymbolicLink},
        };
        for (Object[] field : fields) assertEquals(unix.get(field[0]), field[1], (String) field[0]);
        assertEquals(seconds(unix.get("lastAccessTime")), status.atime, "atime");
        assertEquals(seconds(unix.get("lastModifiedTime")), status.mtime, "mtime");
        assertEquals(seconds(unix.get("ctime")), status.ctime, "ctime");
        // The other kinds, by the file type bits that the system reported.
        int type = (Integer) unix.get("mode") & 0170000;
        assertEquals(type == 0020000, status.isCharacterDevice, "character device");
        assertEquals(type == 0060000, status.isBlockDevice, "block device");
        assertEquals(type == 0010000, status.isFifo, "fifo");
        assertEquals(type == 0140000, status.isSocket, "socket");
    }

    static long seconds(Object time) { return Math.floorDiv(((FileTime) time).toMillis(), 1000L); }

    @Test
    void everyStatusFieldMatchesWhatTheSystemReports() throws Exception {
        Path file = Files.write(dir.resolve("file"), new byte[10000]);
        // Ids above 2^31 arrive bit for bit as negative ints; a time before
        // the epoch keeps its sign, one past 2^32 its whole value.
        Files.setAttribute(file, "unix:uid", (int) 4_000_000_000L);
        Files.setAttribute(file, "unix:gid", (int) 3_000_000_000L);
        Files.setAttribute(file, "basic:lastAccessTime", FileTime.from(-100, TimeUnit.SECONDS));
        long late = (1L << 32) + 10;
        Files.setLastModifiedTime(file, FileTime.from(late, TimeUnit.SECONDS));
        Files.createLink(dir.resolve("second-name"), file);
        FileStatus status = JniFilePathImpl.nativeStat(bytes(file), false);
        assertMatchesSystem(file, status);
        assertEquals((int) 4_000_000_000L, status.uid);
        assertEquals(-100, status.atime);
        assertEquals(late, status.mtime);
        assertEquals(10, files.nativeGetLastModified(bytes(file), bytes(file).length));
        assertTrue(status.blocks * 512 >= status.size);

        Path link = Files.createSymbolicLink(dir.resolve("link"), file);
        assertMatchesSystem(link, JniFilePathImpl.nativeStat(bytes(link), true), LinkOption.NOFOLLOW_LINKS);
        Path socket = dir.resolve("socket");
        try (ServerSocketChannel listener = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            listener.bind(UnixDomainSocketAddress.of(socket));
            for (Path other : new Path[] {dir, fifo("fifo"), Path.of("/dev/null"), socket}) {
                assertMatchesSystem(other, JniFilePathImpl.nativeStat(bytes(other), false));
            }
        }
    }

    @Test
    void lengthsOf2GiBAndMoreKeepOnlyTheLow32Bits() throws Exception {
        Path big = dir.resolve("sparse");
        byte[] name = bytes(big);
        try (RandomAccessFile file = new RandomAccessFile(big.toFile(), "rw")) {
            file.setLength((4L << 30) + 5);
            assertEquals(5, files.nativeGetLength(name, name.length));
            assertEquals((4L << 30) + 5, JniFilePathImpl.nativeStat(name, false).size);
            file.setLength(3L << 30);
            assertEquals((int) (3L << 30), files.nativeGetLength(name, name.length));
            assertTrue(files.nativeGetLength(name, name.length) < 0);
        }
    }

    @Test
    void openWriteTruncatesAppendsAndCreatesWithTheUmask() throws Exception {
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

        int umask = Integer.parseInt(shell("umask"), 8);
        Path created = dir.resolve("created");
        fd = openWrite(created, false);
        assertEquals(0, stream.nativeClose(fd));
        assertEquals(0666 & ~umask, (Integer) Files.getAttribute(created, "unix:mode") & 07777);
        assertTrue(closeOnExec(fd = openRead(file)));
        assertEquals(0, stream.nativeClose(fd));
    }

    @Test
    void openWriteFailuresCarryTheirMessages() throws Exception {
        IOException e = assertThrows(IOException.class, () -> openWrite(dir, false));
        assertEquals("'" + dir + "' is a directory", e.getMessage());
        Path orphan = dir.resolve("no-such-dir").resolve("file");
        e = assertThrows(IOException.class, () -> openWrite(orphan, true));
        assertEquals("'" + orphan + "' unknown error (errno=2).", e.getMessage());
        Path underFile = Files.writeString(dir.resolve("plain"), "x").resolve("file");
        e = assertThrows(IOException.class, () -> openWrite(underFile, false));
        assertEquals("'" + underFile + "' parent directory does not exist", e.getMessage());
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

    String asNobody(String command, Path path) throws Exception {
        List<String> wrapper = List.of("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups");
        return ChildJvm.run(dir, wrapper, FileChild.class, command, path.toString()).out().strip();
    }

    @Test
    void anUnprivilegedAccountIsDeniedByTheSystem() throws Exception {
        assumeTrue(runningAsRoot(), "needs root to start a child as nobody");
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxr-xr-x"));
        Path locked = Files.createDirectory(dir.resolve("locked"));
        Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("r-xr-xr-x"));
        Path secret = Files.writeString(dir.resolve("secret"), "s");
        Files.setPosixFilePermissions(secret, PosixFilePermissions.fromString("rw-------"));
        Path open = Files.writeString(dir.resolve("open"), "o");
        Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rw-r--r--"));

        Path denied = locked.resolve("new");
        assertEquals("IOException: '" + denied + "' permission denied", asNobody("open-write", denied));
        assertEquals("false", asNobody("can-read", secret));
        assertEquals("true", asNobody("can-read", open));
        assertTrue(JniFilePathImpl.nativeCanRead(bytes(secret)));
    }

    @Test
    void aFullDescriptorTableIsReportedAsTooManyFilesOpen() throws Exception {
        ChildJvm.Result child = ChildJvm.run(dir, List.of("prlimit", "--nofile=64:64"), FileChild.class,
                                             "open-until-refused", dir.toString());
        assertEquals("IOException: too many files open", child.out().strip());
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

        IOException e = assertThrows(IOException.class,
                                     () -> JniFilePathImpl.nativeLink(bytes(hard), bytes(target), true));
        assertEquals("File exists", e.getMessage());
        e = assertThrows(IOException.class,
                         () -> JniFilePathImpl.nativeLink(bytes(dir.resolve("h2")), bytes(nowhere), true));
        assertEquals("No such file or directory", e.getMessage());
    }
}
