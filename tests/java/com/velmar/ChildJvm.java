package com.velmar;

import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;

/**
 * Runs a main class in a JVM of its own, for natives that change the whole process (ids, working
 * directory) or need a private mount namespace.  The child has -Xcheck:jni, and a JNI warning in it fails.
 */
public final class ChildJvm {
    private static final Pattern JNI_PROBLEM =
            Pattern.compile("WARNING in native method|FATAL ERROR in native method|JNI (WARNING|ERROR)");

    /** What the child wrote, in files that stay readable (and growing, for its daemons) after it ended. */
    public record Result(Path stdout, Path stderr) {
        public String out() { return read(stdout); }

        public String err() { return read(stderr); }

        /** The value of the first stdout line "key=value". */
        public String value(String key) {
            return Arrays.stream(out().split("\n")).filter(line -> line.startsWith(key + "=")).findFirst()
                    .map(line -> line.substring(key.length() + 1))
                    .orElseGet(() -> fail("no line " + key + "= in the child's output:\n" + out() + "\n" + err()));
        }

        private static String read(Path path) {
            try {
                return Files.readString(path, StandardCharsets.ISO_8859_1);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }
    }

    /** Runs main with args in a new JVM started through wrapper (such as unshare or setpriv; may be empty). */
    public static Result run(Path dir, List<String> wrapper, Class<?> main, String... args) throws Exception {
        List<String> command = new ArrayList<>(wrapper);
        command.addAll(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-Xcheck:jni",
                "-cp", System.getProperty("talvo.classpath"), "-Dtalvo.library=" + System.getProperty("talvo.library"),
                main.getName()));
        command.addAll(List.of(args));
        Result r = new Result(Files.createTempFile(dir, "child", ".out"), Files.createTempFile(dir, "child", ".err"));
        Process process = new ProcessBuilder(command).redirectOutput(r.stdout.toFile())
                .redirectError(r.stderr.toFile()).start();
        if (!process.waitFor(60, TimeUnit.SECONDS)) process.destroyForcibly();
        assertFalse(process.isAlive() || JNI_PROBLEM.matcher(r.err()).find(), () -> command + " hung or:\n" + r.err());
        assertEquals(0, process.exitValue(), () -> "stdout:\n" + r.out() + "\nstderr:\n" + r.err());
        return r;
    }

    /** A wrapper that runs the child in a private mount namespace after the shell commands setup. */
    public static List<String> inMountNamespace(String setup) {
        return List.of("unshare", "--mount", "--propagation", "private", "sh", "-c",
                "set -e\n" + setup + "\nexec \"$@\"", "sh");
    }
}
