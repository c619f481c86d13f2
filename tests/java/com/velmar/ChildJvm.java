package com.velmar;

import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;

/**
 * Runs a main class in a JVM of its own, for natives that change the whole
 * process (ids, working directory) or that need a process started in a
 * private mount namespace.  The child has -Xcheck:jni like the test JVM, and
 * a JNI warning in it fails the test.
 */
public final class ChildJvm {
    private static final Pattern JNI_PROBLEM =
            Pattern.compile("WARNING in native method|FATAL ERROR in native method|JNI (WARNING|ERROR)");

    /** What the child wrote; the output files stay readable after it ended. */
    public record Result(Path stdout, Path stderr) {
        public String out() { return read(stdout); }

        public String err() { return read(stderr); }

        /** The value of the first stdout line "key=value". */
        public String value(String key) {
            for (String line : out().split("\n")) {
                if (line.startsWith(key + "=")) return line.substring(key.length() + 1);
            }
            return fail("no line " + key + "= in the child's output:\n" + out() + "\nstderr:\n" + err());
        }
    }

    private ChildJvm() {}

    /** Runs main with args in a new JVM started through wrapper (such as unshare or setpriv; may be empty). */
    public static Result run(Path dir, List<String> wrapper, Class<?> main, String... args) throws Exception {
        return run(dir, wrapper, List.of(), main, args);
    }

    /** As above, with JVM options after the usual ones (a later -D wins). */
    public static Result run(Path dir, List<String> wrapper, List<String> options, Class<?> main, String... args)
            throws Exception {
        List<String> command = new ArrayList<>(wrapper);
        Collections.addAll(command, Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-Xcheck:jni",
                "--enable-native-access=ALL-UNNAMED", "-cp", System.getProperty("talvo.classpath"),
                "-Dtalvo.library=" + System.getProperty("talvo.library"));
        command.addAll(options);
        command.add(main.getName());
        Collections.addAll(command, args);
        Result result = new Result(Files.createTempFile(dir, "child", ".out"),
                Files.createTempFile(dir, "child", ".err"));
        Process process = new ProcessBuilder(command).redirectOutput(result.stdout().toFile())
                .redirectError(result.stderr().toFile()).start();
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            fail("the child JVM did not end within 60 s: " + command);
        }
        assertFalse(JNI_PROBLEM.matcher(result.err()).find(), "JNI problem in the child JVM:\n" + result.err());
        if (process.exitValue() != 0) {
            fail("the child JVM ended with " + process.exitValue() + "\nstdout:\n" + result.out() + "\nstderr:\n"
                    + result.err());
        }
        return result;
    }

    /** A wrapper that runs the child in a private mount namespace after the shell commands setup. */
    public static List<String> inMountNamespace(String setup) {
        return List.of("unshare", "--mount", "--propagation", "private", "sh", "-c",
                "set -e\n" + setup + "\nexec \"$@\"", "sh");
    }

    private static String read(Path path) {
        try {
            return Files.readString(path, StandardCharsets.ISO_8859_1);
        } catch (IOException e) {
            throw new AssertionError(e);
        }
    }
}
