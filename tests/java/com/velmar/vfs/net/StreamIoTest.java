package com.velmar.vfs.net;

import static com.velmar.vfs.net.Loopback.SERVER;
import static com.velmar.vfs.net.Loopback.SOCKETS;
import static com.velmar.vfs.net.Loopback.STREAM;
import static com.velmar.vfs.net.Loopback.pattern;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

@Timeout(value = 60, unit = TimeUnit.SECONDS)
class StreamIoTest {
    /** Reads `size` bytes from the client on another thread while the server writes. */
    private static CompletableFuture<byte[]> receive(Socket client, int size) {
        return CompletableFuture.supplyAsync(() -> {
            try {
                return client.getInputStream().readNBytes(size);
            } catch (IOException e) {
                throw new RuntimeException(e);
            }
        });
    }

    @Test
    void largeWritesArriveWholeAndInOrder() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            Socket client = loop.connect();
            long conn = loop.accept();
            byte[] mib = pattern((1 << 20) + 9, 1);
            CompletableFuture<byte[]> got = receive(client, 1 << 20);
            assertEquals(1 << 20, STREAM.writeNative(conn, mib, 9, 1 << 20));
            assertArrayEquals(Arrays.copyOfRange(mib, 9, mib.length), got.get(30, TimeUnit.SECONDS));

            int[][] pairs = {{10, 100}, {40000, 10}, {100, 70000}, {32768, 0}, {0, 0}, {0, 5}};
            ByteArrayOutputStream expected = new ByteArrayOutputStream();
            int total = 0;
            for (int[] pair : pairs) total += pair[0] + pair[1];
            got = receive(client, total);
            for (int[] pair : pairs) {
                byte[] first = pattern(pair[0] + 3, pair[0]);
                byte[] second = pattern(pair[1] + 4, pair[1] + 1);
                assertEquals(pair[0] + pair[1], STREAM.writeNative2(conn, first, 3, pair[0], second, 4, pair[1]));
                expected.write(first, 3, pair[0]);
                expected.write(second, 4, pair[1]);
            }
            assertArrayEquals(expected.toByteArray(), got.get(30, TimeUnit.SECONDS));
        }
    }

    @Test
    void readsStoreAtTheOffsetAndSeeTheEndOfTheStream() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            Socket client = loop.connect();
            long conn = loop.accept();
            byte[] sent = pattern(40000, 2);
            client.getOutputStream().write(sent);
            client.shutdownOutput();

            byte[] buf = new byte[100_005];
            int at = 5;
            while (true) {
                int n = STREAM.readNative(conn, buf, at, buf.length - at);
                assertTrue(n >= 0 && n <= 16384, "read " + n);
                if (n == 0) break;
                at += n;
            }
            assertEquals(5 + sent.length, at);
            assertArrayEquals(sent, Arrays.copyOfRange(buf, 5, at));
            assertArrayEquals(new byte[5], Arrays.copyOfRange(buf, 0, 5));
            // The end of the stream stays the end, and leaves the connection open.
            assertEquals(0, STREAM.readNative(conn, buf, 0, 10));
            assertEquals(0, STREAM.readNonBlockNative(conn, buf, 0, 10));
            assertTrue(SOCKETS.getNativeFd(conn) >= 0);
        }
    }

    @Test
    void aReadTimeOutClosesTheConnection() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            SERVER.nativeSetConnectionReadTimeout(loop.ss, 500);
            loop.connect();
            long conn = loop.accept();
            byte[] buf = new byte[10];
            long start = System.nanoTime();
            assertEquals(-4, STREAM.readNative(conn, buf, 0, buf.length));
            assertTrue(System.nanoTime() - start >= TimeUnit.MILLISECONDS.toNanos(450));
            assertEquals(-1, STREAM.readNative(conn, buf, 0, buf.length));
            assertEquals(-1, SOCKETS.getNativeFd(conn));
            assertEquals(0, STREAM.flushNative(conn));
        }
    }

    @Test
    void aWriteToAResetPeerReportsItGone() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            Socket client = loop.connect();
            long conn = loop.accept();
            client.setSoLinger(true, 0);
            client.close();
            byte[] buf = pattern(1000, 3);
            int result = 0;
            for (int i = 0; i < 100 && result >= 0; i++) result = STREAM.writeNative(conn, buf, 0, buf.length);
            assertEquals(-3, result);
            assertEquals(-1, STREAM.writeNative(conn, buf, 0, buf.length));
            assertEquals(-1, STREAM.writeNative2(conn, buf, 0, 1, buf, 0, 1));
        }
    }

    @Test
    void curlFetchesAResponseWrittenByTheNatives() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            Process curl = new ProcessBuilder("curl", "-s", "-S", "--max-time", "20",
                    "http://127.0.0.1:" + loop.port + "/hello")
                    .redirectErrorStream(true).start();
            long conn = loop.accept();
            ByteArrayOutputStream request = new ByteArrayOutputStream();
            byte[] buf = new byte[4096];
            while (!request.toString(StandardCharsets.US_ASCII).contains("\r\n\r\n")) {
                int n = STREAM.readNative(conn, buf, 0, buf.length);
                assertTrue(n > 0, "read " + n);
                request.write(buf, 0, n);
            }
            assertTrue(request.toString(StandardCharsets.US_ASCII).startsWith("GET /hello HTTP/1.1\r\n"));
            byte[] body = "hello from the natives\n".getBytes(StandardCharsets.US_ASCII);
            byte[] head = ("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + body.length
                    + "\r\nConnection: close\r\n\r\n").getBytes(StandardCharsets.US_ASCII);
            assertEquals(head.length + body.length, STREAM.writeNative2(conn, head, 0, head.length, body, 0, body.length));
            SOCKETS.nativeClose(conn);
            InputStream out = curl.getInputStream();
            String answer = new String(out.readAllBytes(), StandardCharsets.US_ASCII);
            assertTrue(curl.waitFor(20, TimeUnit.SECONDS));
            assertEquals(0, curl.exitValue(), answer);
            assertEquals("hello from the natives\n", answer);
        }
    }
}
