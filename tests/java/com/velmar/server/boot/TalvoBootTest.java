package com.velmar.server.boot;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmar.ChildJvm;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;

/**
 * The launches run in a child JVM, whose working directory they change; each
 * launches a script that records what it was started with into the directory
 * "record" of its working directory.
 */
class TalvoBootTest {
    private static final long DAEMON_TIMEOUT_MS = 20_000;
    private static final String LONG_PATH = "/" + "p".repeat(5000);
    private static final String SCRIPT = String.join("\n",
            "#!/bin/sh",
            "mkdir record.tmp",
            "cat /proc/$$/cmdline > record.tmp/cmdline",
            "cat /proc/$$/environ > record.tmp/environ",
            "cat /proc/$$/stat > record.tmp/stat",
            "readlink /proc/$$/cwd > record.tmp/cwd",
            "mv record.tmp record",
            "");

    @TempDir
    static Path dir;

    private static ChildJvm.Result launches;

    @BeforeAll
    static void launchInAChildJvm() throws Exception {
        for (String name : List.of("relative", "absolute")) {
            Path bin = Files.createDirectories(dir.resolve(name).resolve("bin"));
            // The daemon has no PATH: the script names its tools by absolute path.
            Path script = bin.resolve("record.sh");
            Files.writeString(script, SCRIPT.replaceAll("(?m)^(mkdir|cat|readlink|mv) ", "/bin/$1 "));
            Files.setPosixFilePermissions(script, PosixFilePermissions.fromString("rwxr-xr-x"));
        }
        Files.createDirectories(dir.resolve("missing"));
        launches = ChildJvm.run(dir, List.of(), Child.class, dir.toString());
    }

    /** What a daemon recorded about itself. */
    record Record(List<String> argv, List<String> envp, String cwd, long pid, long ppid, long session) {
        static Record read(Path workdir) throws Exception {
            Path record = workdir.resolve("record");
            ChildJvm.awaitFile(record, DAEMON_TIMEOUT_MS);
            String stat = Files.readString(record.resolve("stat"));
            // pid (comm) state ppid pgrp session ...
            String[] fields = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
            return new Record(strings(Files.readAllBytes(record.resolve("cmdline"))),
                    strings(Files.readAllBytes(record.resolve("environ"))),
                    Files.readString(record.resolve("cwd")).trim(),
                    Long.parseLong(stat.substring(0, stat.indexOf(' '))),
                    Long.parseLong(fields[1]), Long.parseLong(fields[3]));
        }

        /** NUL-terminated strings, their bytes kept as ISO-8859-1 characters. */
        static List<String> strings(byte[] bytes) {
            String all = new String(bytes, StandardCharsets.ISO_8859_1);
            return all.isEmpty() ? List.of() : List.of(all.substring(0, all.length() - 1).split("\0", -1));
        }
    }

    private static String bytes(String utf8) {
        return new String(utf8.getBytes(StandardCharsets.UTF_8), StandardCharsets.ISO_8859_1);
    }

    @Test
    void aRelativeProgramRunsUnderPwdWithExactlyTheGivenVectorsInANewSession() throws Exception {
        Path workdir = dir.resolve("relative").toRealPath();
        Record record = Record.read(workdir);
        assertEquals("1", launches.value("relative.result"));
        // The kernel puts the script's interpreter before the path it was given.
        // A null element is an empty string in its place; U+0000 travels as 0xC0 0x80.
        assertEquals(List.of("/bin/sh", "bin/record.sh", "first", "", "", "a\u00c0\u0080b", bytes("\u00e9\u20ac"),
                "last"), record.argv());
        assertEquals(List.of("A=1", "", "B=x\u00c0\u0080y"), record.envp());
        assertEquals(workdir.toString(), record.cwd());
        assertEquals(record.pid(), record.session(), "the daemon leads a new session");
        long jvm = Long.parseLong(launches.value("pid"));
        assertNotEquals(jvm, record.ppid(), "the daemon is not a child of the JVM");
        assertNotEquals(Long.parseLong(launches.value("session")), record.session());
        assertEquals(workdir.toString(), launches.value("relative.cwd"), "the JVM moved too");
        assertEquals("", launches.value("relative.children"), "the intermediate process was reaped");

        Path absolute = dir.resolve("absolute").toRealPath();
        record = Record.read(absolute);
        assertEquals(List.of("/bin/sh", absolute.resolve("bin/record.sh").toString()), record.argv());
        assertEquals(List.of(), record.envp(), "an empty environment stays empty");
    }

    /** Waits until the daemons have written `text` on the child JVM's standard output or error. */
    private static void awaitOutput(String text, boolean onError) throws InterruptedException {
        long deadline = System.nanoTime() + DAEMON_TIMEOUT_MS * 1_000_000;
        String seen;
        while (!(seen = onError ? launches.err() : launches.out()).contains(text) && System.nanoTime() < deadline) {
            Thread.sleep(20);
        }
        assertTrue(seen.contains(text), "the child JVM's output:\n" + seen);
    }

    @Test
    void aMissingProgramStillGivesOneAndTheDaemonSaysWhy() throws Exception {
        assertEquals("1", launches.value("missing.result"));
        // A path too long for the system is written whole; no argument at all gives an empty one.
        awaitOutput("exec failed bin/none -> 2\n", true);
        awaitOutput("exec failed " + LONG_PATH + " -> 36\n", true);
        awaitOutput("exec failed  -> 2\n", true);
    }

    @Test
    void theDaemonStartsWithNoSignalBlocked() throws Exception {
        // The JVM's threads block SIGQUIT; a shell would clear its mask itself,
        // so the daemon here is grep, printing its own mask to the JVM's output.
        awaitOutput("SigBlk:\t0000000000000000\n", false);
    }

    private static String nullPointer(Executable call) {
        return assertThrows(NullPointerException.class, call).getMessage();
    }

    @Test
    void aNullArgumentIsReportedAndNothingHappens() throws Exception {
        TalvoBoot boot = new TalvoBoot();
        String[] argv = {"/bin/true"};
        String[] envp = {};
        Path cwd = Path.of("/proc/self/cwd").toRealPath();
        assertEquals("argv", nullPointer(() -> boot.execDaemon(null, envp, "/")));
        assertEquals("envp", nullPointer(() -> boot.execDaemon(argv, null, "/")));
        assertEquals("pwd", nullPointer(() -> boot.execDaemon(argv, envp, null)));
        assertEquals("argv", nullPointer(() -> boot.execDaemon(null, envp, null)));
        assertEquals(cwd, Path.of("/proc/self/cwd").toRealPath());
        assertEquals(0, ProcessHandle.current().children().count());
    }

    /** Launches the three daemons under args[0] and prints what the JVM saw. */
    public static final class Child {
        public static void main(String[] args) throws Exception {
            Path base = Path.of(args[0]);
            TalvoBoot boot = new TalvoBoot();
            System.out.println("pid=" + ProcessHandle.current().pid());
            String stat = Files.readString(Path.of("/proc/self/stat"));
            System.out.println("session=" + stat.substring(stat.lastIndexOf(')') + 2).split(" ")[3]);

            String[] argv = {"bin/record.sh", "first", null, "", "a\u0000b", "\u00e9\u20ac", "last"};
            String[] envp = {"A=1", null, "B=x\u0000y"};
            report("relative", boot.execDaemon(argv, envp, base.resolve("relative").toString()));

            String absolute = base.resolve("absolute").toRealPath().toString();
            report("absolute", boot.execDaemon(new String[] {absolute + "/bin/record.sh"}, new String[0], absolute));

            report("missing", boot.execDaemon(new String[] {"bin/none"}, new String[0],
                    base.resolve("missing").toString()));

            boot.execDaemon(new String[] {LONG_PATH}, new String[0], "/");
            boot.execDaemon(new String[0], new String[0], "/");
            boot.execDaemon(new String[] {"/bin/grep", "SigBlk", "/proc/self/status"}, new String[0], "/");
        }

        private static void report(String name, int result) throws IOException {
            System.out.println(name + ".result=" + result);
            System.out.println(name + ".cwd=" + Path.of("/proc/self/cwd").toRealPath());
            // Children of this JVM, zombies included.
            String children = ProcessHandle.current().children().map(h -> Long.toString(h.pid()))
                    .collect(Collectors.joining(" "));
            System.out.println(name + ".children=" + children);
            System.out.flush();
        }
    }
}
