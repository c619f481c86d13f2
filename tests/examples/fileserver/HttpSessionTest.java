package fileserver;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmar.vfs.FileStatus;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayDeque;
import java.util.Arrays;
import java.util.Queue;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The request handling on scripted connections: how requests are cut and answered. */
class HttpSessionTest {
    /** A connection whose reads hand out scripted pieces and whose writes are kept. */
    static final class ScriptedConn implements Conn {
        final Queue<byte[]> pieces = new ArrayDeque<>();
        final ByteArrayOutputStream written = new ByteArrayOutputStream();

        ScriptedConn(String... texts) {
            for (String t : texts) pieces.add(t.getBytes(StandardCharsets.ISO_8859_1));
        }

        @Override
        public int read(byte[] buf, int off, int len) {
            byte[] piece = pieces.poll();
            if (piece == null) return 0;
            int n = Math.min(len, piece.length);
            System.arraycopy(piece, 0, buf, off, n);
            if (n < piece.length) ((ArrayDeque<byte[]>) pieces).addFirst(Arrays.copyOfRange(piece, n, piece.length));
            return n;
        }

        @Override public int write(byte[] buf, int off, int len) { written.write(buf, off, len); return len; }
        @Override public int write2(byte[] head, int headLen, byte[] body, int off, int len) {
            written.write(head, 0, headLen);
            written.write(body, off, len);
            return headLen + len;
        }
        @Override public String peer() { return "127.0.0.1"; }
        @Override public void drain() {}
        @Override public void close() {}

        String text() { return written.toString(StandardCharsets.ISO_8859_1); }
    }

    @TempDir
    Path root;

    @BeforeEach
    void site() throws IOException {
        Files.writeString(root.resolve("a.txt"), "alpha\n");
        Files.writeString(root.resolve("b.txt"), "bravo\n");
    }

    private HttpSession session(Conn conn) {
        return new HttpSession(conn, new HttpSession.Site(root.toString(), new JdkFs(), null));
    }

    @Test
    void aHeadThatStraddlesTheBufferEndIsMovedToItsStart() {
        // The first request leaves the second's start near the end of the 8 KiB buffer.
        String pad = "X-Pad: " + "p".repeat(HttpSession.MAX_HEAD - 200) + "\r\n";
        String first = "GET /a.txt HTTP/1.1\r\nHost: x\r\n" + pad + "\r\n";
        String second = "GET /b.txt HTTP/1.1\r\nHost: x\r\nX-More: " + "m".repeat(300) + "\r\n\r\n";
        ScriptedConn conn = new ScriptedConn(first + second.substring(0, 100), second.substring(100));
        HttpSession s = session(conn);
        assertEquals(HttpSession.Step.KEEP, s.serve(-1, null));
        assertEquals(HttpSession.Step.KEEP, s.serve(-1, null));
        assertTrue(conn.text().endsWith("bravo\n"), conn.text());
    }

    @Test
    void theCacheServesAChangedFileAfresh() throws IOException {
        FileCache files = new FileCache(new JdkFs());
        ScriptedConn conn = new ScriptedConn("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
        assertEquals(HttpSession.Step.KEEP, session(conn).serve(-1, files));
        // A new file renamed over the old: the cached descriptor still reads the old one.
        Path fresh = Files.writeString(root.resolve("a.tmp"), "a longer alpha\n");
        Files.move(fresh, root.resolve("a.txt"), StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        ScriptedConn again = new ScriptedConn("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
        assertEquals(HttpSession.Step.KEEP, session(again).serve(-1, files));
        assertTrue(again.text().endsWith("\r\n\r\na longer alpha\n"), again.text());
        files.clear();
    }

    @Test
    void aFileSwappedBetweenLookupAndOpenIsRefused() {
        // The lookup judges a.txt; the open lands on another file, as when one is renamed over it in between.
        Fs swapping = new Fs() {
            final JdkFs real = new JdkFs();
            @Override public FileStatus stat(String path, boolean lstat) { return real.stat(path, lstat); }
            @Override public FileIn open(String path) { return real.open(path.replace("a.txt", "b.txt")); }
        };
        ScriptedConn conn = new ScriptedConn("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
        new HttpSession(conn, new HttpSession.Site(root.toString(), swapping, null)).serve(-1, null);
        assertTrue(conn.text().startsWith("HTTP/1.1 403 "), conn.text());
    }

    @Test
    void connectionHeadersAndVersionsDecideKeepAlive() {
        String[][] cases = {
            {"GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n", "KEEP"},
            {"GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "CLOSE"},
            {"GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: Keep-Alive, CLOSE\r\n\r\n", "CLOSE"},
            {"GET /a.txt HTTP/1.0\r\n\r\n", "CLOSE"},
            {"GET /a.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "KEEP"},
            {"GET /a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", "CLOSE"},
            {"GET /a.txt HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", "CLOSE"},
            {"DELETE /a.txt HTTP/1.1\r\nHost: x\r\n\r\n", "KEEP"},
        };
        for (String[] c : cases) {
            ScriptedConn conn = new ScriptedConn(c[0]);
            assertEquals(c[1], session(conn).serve(-1, null).name(), c[0]);
        }
    }
}
