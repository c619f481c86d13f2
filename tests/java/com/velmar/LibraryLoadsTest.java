package com.velmar;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmar.vfs.JniStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Where a child JVM finds libtalvo: each case leaves the loader one place that can work, or none. */
class LibraryLoadsTest {
    private static final Path LIBRARY = Path.of(System.getProperty("talvo.library"));

    @TempDir
    Path dir;

    /** Prints the answer of a native call, or the loader's error. */
    public static final class Child {
        public static void main(String[] args) {
            try {
                System.out.println("flush=" + new JniStream().flushNative(1));
            } catch (UnsatisfiedLinkError e) {
                System.out.println("error=" + e.getMessage());
            }
        }
    }

    private ChildJvm.Result child(String library, String tmp, String... options) throws Exception {
        Files.createDirectories(dir.resolve("tmp"));
        List<String> all = new ArrayList<>(List.of("-Dtalvo.library=" + library,
                "-Djava.library.path=" + dir.resolve("path"), "-Djava.io.tmpdir=" + dir.resolve(tmp)));
        all.addAll(List.of(options));
        return ChildJvm.run(dir, List.of("env", "-C", dir.toString()), all, Child.class);
    }

    @Test
    void aRelativeTalvoLibraryOrElseTheJarsCopyLoadsWithoutWarningsAndKilledLoadersCopiesGo() throws Exception {
        assertEquals("0", child(dir.relativize(LIBRARY).toString(), "missing").value("flush"));
        // What a JVM killed during its load leaves: a process that is gone, and one that still loads.
        Process gone = new ProcessBuilder("true").start();
        gone.waitFor();
        Path stale = Files.createDirectories(dir.resolve("tmp/talvo-" + gone.pid() + "-7"));
        Path live = Files.createDirectories(dir.resolve("tmp/talvo-" + ProcessHandle.current().pid() + "-7"));
        Files.writeString(stale.resolve("libtalvo.so"), "left");
        Files.writeString(live.resolve("libtalvo.so"), "loading");
        ChildJvm.Result fromJar = child("", "tmp");
        assertEquals("0", fromJar.value("flush"));
        assertFalse(fromJar.err().contains("WARNING"), fromJar.err());
        try (var left = Files.list(dir.resolve("tmp"))) {
            assertEquals(List.of(live), left.toList(), "the extracted and the killed loader's copies are removed");
        }
        String riscv = child("", "tmp", "-Dos.arch=riscv64").out();
        assertTrue(riscv.contains("no library for Linux on riscv64: the class path carries [linux-"), riscv);
    }

    @Test
    void aLibraryOfAnotherBuildIsRefusedAndTheErrorNamesEveryPlaceTried() throws Exception {
        byte[] bytes = Files.readAllBytes(LIBRARY);
        byte[] id = HexFormat.of().parseHex(new String(
                Child.class.getResourceAsStream("/native/linux-x86_64/libtalvo.so.build-id").readAllBytes()).strip());
        int at = new String(bytes, StandardCharsets.ISO_8859_1).indexOf(new String(id, StandardCharsets.ISO_8859_1));
        bytes[at] ^= 1;
        Files.write(dir.resolve("other.so"), bytes);
        Files.createDirectories(dir.resolve("path"));
        Files.writeString(dir.resolve("path/libtalvo.so"), "not a library");

        String out = child("other.so", "missing").out();
        assertTrue(out.startsWith("error=cannot load libtalvo; tried:"), out);
        assertTrue(out.contains("talvo.library " + dir.resolve("other.so") + ": another build"), out);
        assertTrue(out.contains("java.library.path " + dir.resolve("path/libtalvo.so") + ": java.io.IOException: not a"), out);
        assertTrue(out.contains("talvo.jar's copy: java.nio.file.NoSuchFileException: " + dir.resolve("missing")), out);
    }
}
