package fileserver;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayDeque;
import java.util.Arrays;
import java.util.List;
import java.util.Queue;
import java.util.Random;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The request handling on scripted connections: how requests are cut, read in pieces and answered. */
class HttpSessionTest {
    /** A connection whose reads hand out scripted pieces and whose writes are kept. */
    static final class ScriptedConn implements Conn {
        final Queue<byte[]> pieces = new ArrayDeque<>();
        final ByteArrayOutputStream written = new ByteArrayOutputStream();
        int reads;
        boolean closed;

        ScriptedConn(String... texts) {
            for (String t : texts) pieces.add(t.getBytes(StandardCharsets.ISO_8859_1));
        }

        @Override
        public int read(byte[] buf, int off, int len) {
            reads++;
            byte[] piece = pieces.poll();
            if (piece == null) return 0;
            int n = Math.min(len, piece.length);
            System.arraycopy(piece, 0, buf, off, n);
            if (n < piece.length) ((ArrayDeque<byte[]>) pieces).addFirst(Arrays.copyOfRange(piece, n, piece.length));
            return n;
        }

        @Override
        public int write(byte[] buf, int off, int len) {
            written.write(buf, off, len);
            return len;
        }

        @Override
        public int write2(byte[] head, int headLen, byte[] body, int off, int len) {
            written.write(head, 0, headLen);
            written.write(body, off, len);
            return headLen + len;
        }

        @Override
        public String peer() {
            return "127.0.0.1";
        }

        @Override
        public void drain() {}

        @Override
        public void close() {
            closed = true;
        }

        String text() {
            return written.toString(StandardCharsets.ISO_8859_1);
        }
    }

    @TempDir
    Path root;
    byte[] big;

    @BeforeEach
    void site() throws IOException {
        Files.writeString(root.resolve("a.txt"), "alpha\n");
        Files.writeString(root.resolve("b.txt"), "bravo\n");
        big = new byte[200_000];
        new Random(7).nextBytes(big);
        Files.write(root.resolve("big.bin"), big);
    }

    private HttpSession session(Conn conn) {
        return new HttpSession(conn, new HttpSession.Site(root.toString(), new JdkServer.JdkFs(), null));
    }

    private static int count(String text, String what) {
        int n = 0;
        for (int i = text.indexOf(what); i >= 0; i = text.indexOf(what, i + 1)) n++;
        return n;
    }

    @Test
    void aRequestInPiecesIsPartialUntilItsHeadIsWhole() {
        ScriptedConn conn = new ScriptedConn("GET /a.t", "xt HTTP/1.1\r\nHo", "st: x\r\n", "\r\n");
        HttpSession s = session(conn);
        assertEquals(HttpSession.Step.PARTIAL, s.serve(1, null));
        assertEquals(1, conn.reads);
        assertEquals(HttpSession.Step.PARTIAL, s.serve(0, null), "no read allowed: nothing more can arrive");
        assertEquals(1, conn.reads);
        assertEquals(HttpSession.Step.KEEP, s.serve(-1, null));
        assertTrue(conn.text().startsWith("HTTP/1.1 200 OK\r\n"), conn.text());
        assertTrue(conn.text().endsWith("\r\n\r\nalpha\n"));
    }

    @Test
    void pipelinedRequestsAreAnsweredOneByOneFromTheBuffer() {
        ScriptedConn conn = new ScriptedConn("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /b.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /b");
        HttpSession s = session(conn);
        assertEquals(HttpSession.Step.KEEP, s.serve(1, null));
        assertTrue(s.hasBuffered());
        assertEquals(HttpSession.Step.KEEP, s.serve(0, null));
        assertEquals(HttpSession.Step.PARTIAL, s.serve(0, null), "the third head is not complete");
        assertEquals(1, conn.reads);
        String out = conn.text();
        assertTrue(out.indexOf("alpha") < out.indexOf("bravo"), out);
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
    void aHeadLongerThanTheBufferIs431AndCloses() {
        ScriptedConn conn = new ScriptedConn("GET /a.txt HTTP/1.1\r\nHost: x\r\nX-Big: " + "b".repeat(HttpSession.MAX_HEAD) + "\r\n\r\n");
        HttpSession s = session(conn);
        assertEquals(HttpSession.Step.CLOSE, s.serve(-1, null));
        assertTrue(conn.text().startsWith("HTTP/1.1 431 "), conn.text());
        assertTrue(s.unread(), "the rest of the head is drained before the close");
    }

    @Test
    void aLargeFileGoesOutAsHeadWithStartThenTheRest() {
        ScriptedConn conn = new ScriptedConn("GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n");
        HttpSession s = session(conn);
        assertEquals(HttpSession.Step.MORE, s.serve(-1, null));
        assertTrue(s.finish());
        byte[] out = conn.written.toByteArray();
        String text = conn.text();
        int body = text.indexOf("\r\n\r\n") + 4;
        assertTrue(text.contains("Content-Length: 200000\r\n"), text.substring(0, body));
        assertArrayEquals(big, Arrays.copyOfRange(out, body, out.length));
    }

    @Test
    void theCacheServesAChangedFileAfresh() throws IOException {
        FileCache files = new FileCache(new JdkServer.JdkFs());
        ScriptedConn conn = new ScriptedConn("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
        assertEquals(HttpSession.Step.KEEP, session(conn).serve(-1, files));
        // A new file renamed over the old: the cached descriptor still reads the old one.
        Path fresh = Files.writeString(root.resolve("a.tmp"), "a longer alpha\n");
        Files.move(fresh, root.resolve("a.txt"), StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
        // The lookup of the path stands for a second; a new site has none.
        ScriptedConn again = new ScriptedConn("GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
        assertEquals(HttpSession.Step.KEEP, session(again).serve(-1, files));
        assertTrue(again.text().endsWith("\r\n\r\na longer alpha\n"), again.text());
        files.clear();
    }

    @Test
    void aDirectoryWithoutItsSlashIsSentToItsNormalisedPath() throws IOException {
        Files.createDirectory(root.resolve("d d"));
        // A target longer than the answer's head must not leak into it.
        for (String target : new String[] {"/d%20d", "/" + "./".repeat(1500) + "d%20d", "/d%20d/../d%20d/."}) {
            ScriptedConn conn = new ScriptedConn("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
            assertEquals(HttpSession.Step.KEEP, session(conn).serve(-1, null), target);
            String text = conn.text();
            assertTrue(text.startsWith("HTTP/1.1 301 ") && text.contains("\r\nLocation: /d%20d/\r\n")
                && text.endsWith("\">moved</a>\n"), text.length() > 300 ? text.substring(0, 300) : text);
        }
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

    @Test
    void pathsAreDecodedAndNormalisedOrRefused() {
        assertEquals("/a/../b", HttpSession.decode("/a/%2e%2E/b"));
        assertEquals("/\u00e9t\u00e9", HttpSession.decode("/%C3%A9t%c3%a9"));
        assertEquals("/a b", HttpSession.decode("/a%20b"));
        for (String bad : new String[] {"/a%00b", "/a%", "/a%2", "/a%zz", "/%ff", "/%c3"}) {
            assertNull(HttpSession.decode(bad), bad);
        }
        assertEquals(List.of("b"), HttpSession.normalise("/a/../b"));
        assertEquals(List.of("a", "b", "c"), HttpSession.normalise("//a/./b//c/"));
        assertEquals(List.of(), HttpSession.normalise("/a/.."));
        assertNull(HttpSession.normalise("/.."));
        assertNull(HttpSession.normalise("/a/../../b"));
        assertEquals(List.of("..."), HttpSession.normalise("/..."));
    }
}
