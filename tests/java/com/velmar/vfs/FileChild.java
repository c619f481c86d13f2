package com.velmar.vfs;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Runs file natives in a child JVM, for cases that need another account or
 * lowered limits.  Each command prints one line: the result, or the message of
 * the IOException that the call raised.
 */
public final class FileChild {
    private FileChild() {}

    /** What a child printed and how it ended. */
    public record Outcome(int status, String stdout, String stderr) {}

    /**
     * Starts a child JVM under `wrapper` (e.g. setpriv or prlimit and their
     * arguments) that runs one command of main below, with JNI checks on.
     */
    public static Outcome run(List<String> wrapper, String... command) throws IOException, InterruptedException {
        List<String> line = new ArrayList<>(wrapper);
        line.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        line.addAll(List.of("-Xcheck:jni", "-XX:-UsePerfData",
                            "-cp", System.getProperty("talvo.classpath"),
                            "-Dtalvo.library=" + System.getProperty("talvo.library"),
                            FileChild.class.getName()));
        line.addAll(Arrays.asList(command));
        Process child = new ProcessBuilder(line).start();
        child.getOutputStream().close();
        if (!child.waitFor(60, TimeUnit.SECONDS)) {
            child.destroyForcibly();
            throw new IllegalStateException("child JVM did not finish: " + line);
        }
        String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
        String err = new String(child.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
        if (err.contains("in native method")) throw new IllegalStateException("JNI problem in child: " + err);
        return new Outcome(child.exitValue(), out, err);
    }

    private static byte[] path(String text) { return text.getBytes(StandardCharsets.UTF_8); }

    public static void main(String[] args) {
        JniFilePathImpl files = new JniFilePathImpl();
        JniFileStream stream = new JniFileStream();
        try {
            switch (args[0]) {
                case "open-write": {
                    byte[] name = path(args[1]);
                    System.out.println(files.nativeOpenWrite(name, name.length, false));
                    break;
                }
                case "can-read":
                    System.out.println(JniFilePathImpl.nativeCanRead(path(args[1])));
                    break;
                case "open-until-refused": {
                    // Opens new files in a directory until the descriptor table is full.
                    for (int i = 0; ; i++) {
                        byte[] name = path(args[1] + "/f" + i);
                        if (files.nativeOpenWrite(name, name.length, false) < 0) {
                            System.out.println("-1 without an exception");
                            return;
                        }
                    }
                }
                case "write": {
                    // Writes args[2] bytes of the pattern i % 251 in one call.
                    byte[] name = path(args[1]);
                    int fd = files.nativeOpenWrite(name, name.length, false);
                    byte[] data = new byte[Integer.parseInt(args[2])];
                    for (int i = 0; i < data.length; i++) data[i] = (byte) (i % 251);
                    System.out.println(stream.nativeWrite(fd, data, 0, data.length));
                    break;
                }
                default:
                    throw new IllegalArgumentException(args[0]);
            }
        } catch (Exception e) {
            // The natives declare nothing, yet raise IOException.
            System.out.println(e.getClass().getSimpleName() + ": " + e.getMessage());
        }
    }
}
