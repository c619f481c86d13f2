package com.velmar;

import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.TimeUnit;
import java.util.regex.Pattern;

/** Runs a main class in its own JVM, with -Xcheck:jni (a JNI warning fails), for natives that change the process. */
public final class ChildJvm {
    private static final Pattern JNI_PROBLEM =
            Pattern.compile("WARNING in native method|FATAL ERROR in native method|JNI (WARNING|ERROR)");

    /** What the child wrote, in files that stay readable (and growing, for its daemons) after it ended. */
    public record Result(Path stdout, Path stderr) {
        public String out() throws IOException { return Files.readString(stdout, StandardCharsets.ISO_8859_1); }

        public String err() throws IOException { return Files.readString(stderr, StandardCharsets.ISO_8859_1); }

        /** The value of the first stdout line "key=value". */
        public String value(String key) throws IOException {
            String out = out();
            return Arrays.stream(out.split("\n")).filter(line -> line.startsWith(key + "=")).findFirst()
                    .map(line -> line.substring(key.length() + 1)).orElseGet(() -> fail("no " + key + "= in:\n" + out));
        }
    }

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
        Result r = new Result(Files.createTempFile(dir, "child", ".out"), Files.createTempFile(dir, "child", ".err"));
        Process process = new ProcessBuilder(command).redirectOutput(r.stdout.toFile())
                .redirectError(r.stderr.toFile()).start();
        if (!process.waitFor(60, TimeUnit.SECONDS)) process.destroyForcibly();
        String err = r.err();
        assertFalse(process.isAlive() || JNI_PROBLEM.matcher(err).find(), command + " hung, or JNI warned:\n" + err);
        assertEquals(0, process.exitValue(), "stdout:\n" + r.out() + "\nstderr:\n" + err);
        return r;
    }

    /** A wrapper that runs the child in a private mount namespace after the shell commands setup. */
    public static List<String> inMountNamespace(String setup) {
        return List.of("unshare", "--mount", "--propagation", "private", "sh", "-c",
                "set -e\n" + setup + "\nexec \"$@\"", "sh");
    }
}
