package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.io.TempDir;

/** A temporary directory and the two native classes, for the file suites. */
abstract class FileTestBase {
    @TempDir
    Path dir;

    final JniFilePathImpl files = new JniFilePathImpl();
    final JniFileStream stream = new JniFileStream();

    static byte[] bytes(Object path) { return path.toString().getBytes(StandardCharsets.UTF_8); }

    int openWrite(Path path, boolean append) {
        byte[] name = bytes(path);
        return files.nativeOpenWrite(name, name.length, append);
    }

    int openRead(Path path) {
        byte[] name = bytes(path);
        return files.nativeOpenRead(name, name.length);
    }

    void write(int fd, String text) {
        byte[] data = text.getBytes(StandardCharsets.UTF_8);
        assertEquals(1, stream.nativeWrite(fd, data, 0, data.length));
    }

    static String shell(String command) throws IOException, InterruptedException {
        Process p = new ProcessBuilder("sh", "-c", command).redirectErrorStream(true).start();
        assertTrue(p.waitFor(30, TimeUnit.SECONDS), command);
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).strip();
        assertEquals(0, p.exitValue(), out);
        return out;
    }

    Path fifo(String name) throws IOException, InterruptedException {
        Path fifo = dir.resolve(name);
        shell("mkfifo " + fifo);
        return fifo;
    }
}
