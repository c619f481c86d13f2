package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.velmar.ChildJvm;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.io.TempDir;

/** A temporary directory and the two file native classes, here or in a child JVM. */
abstract class FileTestBase {
    @TempDir
    Path dir;

    static final JniFilePathImpl files = new JniFilePathImpl();
    static final JniFileStream stream = new JniFileStream();

    static byte[] bytes(Object path) { return path.toString().getBytes(StandardCharsets.UTF_8); }

    static int openWrite(Object path, boolean append) {
        return files.nativeOpenWrite(bytes(path), bytes(path).length, append);
    }

    static int openRead(Object path) { return files.nativeOpenRead(bytes(path), bytes(path).length); }

    static void write(int fd, String text) { assertEquals(1, stream.nativeWrite(fd, bytes(text), 0, text.length())); }

    Path fifo(String name) throws Exception {
        assertEquals(0, new ProcessBuilder("mkfifo", dir.resolve(name).toString()).start().waitFor());
        return dir.resolve(name);
    }

    /** What Child printed, run through wrapper (setpriv, prlimit ...). */
    String inChild(List<String> wrapper, String... args) throws Exception {
        return ChildJvm.run(dir, wrapper, Child.class, args).out().strip();
    }

    /** The file natives in a child JVM, for another account or lowered limits: the result or what was thrown. */
    public static final class Child {
        public static void main(String[] args) {
            try {
                System.out.println(switch (args[0]) {
                    case "open-write" -> openWrite(args[1], false);
                    case "can-read" -> JniFilePathImpl.nativeCanRead(bytes(args[1]));
                    case "open-until-refused" -> {
                        for (int i = 0; openWrite(args[1] + "/f" + i, false) >= 0; i++) continue;
                        yield "-1 without an exception";
                    }
                    default -> {  // "write": args[2] bytes of the pattern i % 251 in one call
                        byte[] data = new byte[Integer.parseInt(args[2])];
                        for (int i = 0; i < data.length; i++) data[i] = (byte) (i % 251);
                        yield stream.nativeWrite(openWrite(args[1], false), data, 0, data.length);
                    }
                });
            } catch (Exception e) {  // the natives declare nothing, yet raise IOException
                System.out.println(e.getClass().getSimpleName() + ": " + e.getMessage());
            }
        }
    }
}
