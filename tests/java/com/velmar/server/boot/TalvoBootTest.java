package com.velmar.server.boot;

import static org.junit.jupiter.api.Assertions.*;

import com.velmar.ChildJvm;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.List;
import java.util.concurrent.Callable;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;

/** Launches from a child JVM; the recording daemons write what they were started with into "record" of their pwd. */
class TalvoBootTest {
    private static final String LONG_PATH = "/" + "p".repeat(5000);
    // The daemon has no PATH: the script names its tools by absolute path.
    private static final String SCRIPT = String.join("\n", "#!/bin/sh", "/bin/mkdir record.tmp",
            "for f in cmdline environ stat; do /bin/cat /proc/$$/$f > record.tmp/$f; done",
            "/bin/readlink /proc/$$/cwd > record.tmp/cwd", "/bin/mv record.tmp record", "");

    @TempDir
    static Path dir;

    private static void await(Callable<Boolean> done, Object what) throws Exception {
        for (long deadline = System.nanoTime() + 20_000_000_000L; !done.call(); Thread.sleep(20)) {
            if (System.nanoTime() > deadline) fail("waited 20 s for " + what);
        }
    }

    /** NUL-terminated strings, their bytes kept as ISO-8859-1 characters. */
    private static List<String> strings(Path file) throws Exception {
        String all = Files.readString(file, StandardCharsets.ISO_8859_1);
        return all.isEmpty() ? List.of() : List.of(all.substring(0, all.length() - 1).split("\0", -1));
    }

    /** The fields of /proc/PID/stat after "(comm) ": state ppid pgrp session ... */
    private static String[] stat(String text) { return text.substring(text.lastIndexOf(')') + 2).split(" "); }

    @Test
    void programsRunUnderPwdWithExactlyTheGivenVectorsInANewSessionAndAMissingOneSaysWhy() throws Exception {
        Path script = Files.createDirectories(dir.resolve("relative/bin")).resolve("record.sh");
        Files.setPosixFilePermissions(Files.writeString(script, SCRIPT), PosixFilePermissions.fromString("rwxr-xr-x"));
        Files.createDirectories(dir.resolve("missing"));
        ChildJvm.Result launches = ChildJvm.run(dir, List.of(), Child.class, dir.toString());
        assertEquals("1 1", launches.value("results"));
        Path workdir = dir.resolve("relative").toRealPath(), record = workdir.resolve("record");
        await(() -> Files.exists(record), record);
        // The kernel puts the script's interpreter before the path it was given.
        // A null element is an empty string in its place; U+0000 travels as 0xC0 0x80.
        String utf8 = new String("\u00e9\u20ac".getBytes(StandardCharsets.UTF_8), StandardCharsets.ISO_8859_1);
        assertEquals(List.of("/bin/sh", "bin/record.sh", "first", "", "", "a\u00c0\u0080b", utf8, "last"),
                strings(record.resolve("cmdline")));
        assertEquals(List.of("A=1", "", "B=x\u00c0\u0080y"), strings(record.resolve("environ")));
        assertEquals(workdir.toString(), Files.readString(record.resolve("cwd")).trim());
        String stat = Files.readString(record.resolve("stat"));
        String[] fields = stat(stat);
        assertEquals(stat.substring(0, stat.indexOf(' ')), fields[3], "the daemon leads a new session");
        assertNotEquals(launches.value("pid"), fields[1], "the daemon is not a child of the JVM");
        assertNotEquals(launches.value("session"), fields[3]);
        // The JVM's threads block SIGQUIT; a shell would clear its mask itself, so
        // the daemon here is grep, printing its own mask to the JVM's output, after
        // any line of its environment, which stays empty.
        await(() -> launches.out().contains("status:SigBlk:\t0000000000000000\n"), "the mask in\n" + launches.out());
        assertFalse(launches.out().contains("/proc/self/environ:"), launches.out());
        // A path too long for the system is written whole; no argument at all gives an empty one.
        for (String line : List.of("bin/none -> 2\n", LONG_PATH + " -> 36\n", " -> 2\n")) {
            await(() -> launches.err().contains("exec failed " + line), line + " in\n" + launches.err());
        }
    }

    @Test
    void aNullArgumentIsReportedAndNothingHappens() throws Exception {
        String[] argv = {"/bin/true"}, envp = {};
        Object[][] cases = {{null, envp, "/", "argv"}, {argv, null, "/", "envp"}, {argv, envp, null, "pwd"}};
        for (Object[] c : cases) {
            assertEquals(c[3], assertThrows(NullPointerException.class,
                    () -> new TalvoBoot().execDaemon((String[]) c[0], (String[]) c[1], (String) c[2])).getMessage());
        }
        assertEquals(0, ProcessHandle.current().children().count());
    }

    /** Launches the daemons under args[0] and prints what the JVM saw. */
    public static final class Child {
        public static void main(String[] args) throws Exception {
            Path base = Path.of(args[0]);
            TalvoBoot boot = new TalvoBoot();
            System.out.printf("pid=%d%nsession=%s%n", ProcessHandle.current().pid(),
                    stat(Files.readString(Path.of("/proc/self/stat")))[3]);
            String[] argv = {"bin/record.sh", "first", null, "", "a\u0000b", "\u00e9\u20ac", "last"}, none = {};
            String[] envp = {"A=1", null, "B=x\u0000y"};
            System.out.printf("results=%d %d%n", boot.execDaemon(argv, envp, base.resolve("relative").toString()),
                    boot.execDaemon(new String[] {"bin/none"}, none, base.resolve("missing").toString()));
            boot.execDaemon(new String[] {LONG_PATH}, none, "/");
            boot.execDaemon(none, none, "/");
            boot.execDaemon(new String[] {"/bin/grep", "-aH", "-e", "=", "-e", "SigBlk", "/proc/self/environ",
                    "/proc/self/status"}, none, "/");
        }
    }
}
