package fileserver;

import static java.nio.file.StandardCopyOption.ATOMIC_MOVE;
import static java.nio.file.StandardCopyOption.REPLACE_EXISTING;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Swaps that real connections cannot time: after a file is cached, and between the walk and the open. */
class FileHandlerTest {
    @TempDir Path root;

    /** The answer to a GET of a.txt, or null when it needs a worker; {@code cache} null: as a worker answers. */
    private Response get(Fs fs, FileCache cache) {
        byte[] head = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n".getBytes(StandardCharsets.ISO_8859_1);
        Response a = new Response();
        return new FileHandler(root.toString(), fs, false).answer(Request.parse(head, 0, head.length), a, cache) ? a : null;
    }

    private static String body(Response a) {
        return new String(a.body, a.bodyOff, a.bodyLen, StandardCharsets.ISO_8859_1);
    }

    @Test
    void theFileOpenedIsTheOneJudged() throws IOException {
        Files.writeString(root.resolve("a.txt"), "alpha\n");
        Files.writeString(root.resolve("b.txt"), "bravo\n");
        // A worker keeps no file changed within the second (a change then may not show); once kept, the loop's
        // cache serves it while it is unchanged, and not once another is renamed over it.
        FileCache cache = new FileCache();
        assertNull(get(new JdkFs(), null).opened);
        cache.put(root + "/a.txt", new JdkFs().open(root + "/a.txt"));
        assertEquals("alpha\n", body(get(new JdkFs(), cache)));
        Files.move(Files.writeString(root.resolve("a.tmp"), "a longer alpha\n"), root.resolve("a.txt"), REPLACE_EXISTING, ATOMIC_MOVE);
        assertNull(get(new JdkFs(), cache));
        assertEquals("a longer alpha\n", body(get(new JdkFs(), null)));
        // The walk judges a.txt; the open lands on b.txt, as when one is renamed over it in between.
        Fs swapping = new Fs() {
            final JdkFs real = new JdkFs();
            @Override public Stat stat(String path, boolean lstat) { return real.stat(path, lstat); }
            @Override public OpenFile open(String path) { return real.open(path.replace("a.txt", "b.txt")); }
            @Override public void close(OpenFile file) { real.close(file); }
        };
        assertEquals(403, get(swapping, null).status);
    }
}
