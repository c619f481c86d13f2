package fileserver;

import static java.nio.file.StandardCopyOption.ATOMIC_MOVE;
import static java.nio.file.StandardCopyOption.REPLACE_EXISTING;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmar.vfs.FileStatus;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Swaps that real connections cannot time: after a file is cached, and between the lookup and the open. */
class HttpSessionTest {
    /** A connection that reads one request once and keeps what is written. */
    static final class ScriptedConn implements Conn {
        final byte[] request = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n".getBytes(StandardCharsets.ISO_8859_1);
        final ByteArrayOutputStream written = new ByteArrayOutputStream();
        boolean read;

        @Override public int read(byte[] buf, int off, int len) {
            if (read) return 0;
            read = true;
            System.arraycopy(request, 0, buf, off, request.length);
            return request.length;
        }
        @Override public int write(byte[] buf, int off, int len) { written.write(buf, off, len); return len; }
        @Override public int write2(byte[] head, int headLen, byte[] body, int off, int len) {
            return write(head, 0, headLen) + write(body, off, len);
        }
        @Override public String peer() { return "127.0.0.1"; }
        @Override public void drain() {}
        @Override public void close() {}
    }

    @TempDir Path root;

    private String serve(Fs fs, FileCache files) {
        ScriptedConn conn = new ScriptedConn();
        new HttpSession(conn, new HttpSession.Site(root.toString(), fs, null)).serve(-1, files);
        return conn.written.toString(StandardCharsets.ISO_8859_1);
    }

    @Test
    void theFileOpenedIsTheOneJudged() throws IOException {
        Files.writeString(root.resolve("a.txt"), "alpha\n");
        Files.writeString(root.resolve("b.txt"), "bravo\n");
        // A new file renamed over one that the cache holds open is served afresh.
        FileCache files = new FileCache(new JdkFs());
        serve(new JdkFs(), files);
        Files.move(Files.writeString(root.resolve("a.tmp"), "a longer alpha\n"), root.resolve("a.txt"), REPLACE_EXISTING, ATOMIC_MOVE);
        String answer = serve(new JdkFs(), files);
        assertTrue(answer.endsWith("\r\n\r\na longer alpha\n"), answer);
        files.clear();
        // The lookup judges a.txt; the open lands on b.txt, as when one is renamed over it in between.
        Fs swapping = new Fs() {
            final JdkFs real = new JdkFs();
            @Override public FileStatus stat(String path, boolean lstat) { return real.stat(path, lstat); }
            @Override public FileIn open(String path) { return real.open(path.replace("a.txt", "b.txt")); }
        };
        answer = serve(swapping, null);
        assertTrue(answer.startsWith("HTTP/1.1 403 "), answer);
    }
}
