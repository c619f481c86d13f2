package com.velmar.vfs.net;

import static com.velmar.vfs.net.Loopback.*;
import static org.junit.jupiter.api.Assertions.*;

import com.velmar.vfs.JniStream;
import java.io.IOException;
import java.net.*;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.concurrent.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** The listening and connection natives on real loopback connections. */
@Timeout(value = 60, unit = TimeUnit.SECONDS)
class ConnectionTest {
    private static InetAddress ip(long conn, boolean remote) throws IOException {
        byte[] buf = new byte[64];
        int len = remote ? SOCKETS.getRemoteIP(conn, buf, 0, buf.length) : SOCKETS.getLocalIP(conn, buf, 0, buf.length);
        // Compared as addresses: Java writes ::1 as 0:0:0:0:0:0:0:1.
        return InetAddress.getByName(new String(buf, 0, len, StandardCharsets.US_ASCII));
    }

    @ParameterizedTest
    @ValueSource(strings = {"127.0.0.1", "::1"})
    void readinessIsDataOrAHangUpAndAddressesAreWhatTheClientSeesEvenAfterClose(String address) throws Exception {
        try (Loopback loop = new Loopback(address)) {
            assertEquals(loop.port, SERVER.getLocalPort(loop.ss));
            Socket client = loop.connect();
            long conn = loop.accept(), start = System.nanoTime();
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 200));
            assertTrue(System.nanoTime() - start >= TimeUnit.MILLISECONDS.toNanos(190));
            client.getOutputStream().write(42);
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 5000));
            assertEquals(1, STREAM.readNative(conn, new byte[1], 0, 1));
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 0));
            client.shutdownOutput();
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 5000));

            // {remote, offset, length, result, buffer}: n characters need a room
            // of n + 1; the remote text's length comes back even without it.
            // A bad offset, or a text that would run past the array, copies nothing.
            int n = address.length();
            String none = "#".repeat(20), copied = "##" + address + "#".repeat(18 - n);
            Object[][] cases = {
                {true, 2, n, n, none}, {true, 2, n + 1, n, copied}, {false, 2, n, 0, none},
                {false, 2, n + 1, n, copied}, {true, -1, 10, 0, none}, {false, 0, -5, 0, none},
                {true, 21 - n, 100, 0, none}, {false, 21 - n, 100, 0, none},
            };
            for (Object[] c : cases) {
                byte[] buf = none.getBytes(StandardCharsets.US_ASCII);
                int at = (int) c[1], room = (int) c[2];
                int got = (boolean) c[0] ? SOCKETS.getRemoteIP(conn, buf, at, room)
                                         : SOCKETS.getLocalIP(conn, buf, at, room);
                assertEquals(Arrays.asList(c[3], c[4]), Arrays.asList(got, new String(buf, StandardCharsets.US_ASCII)),
                             Arrays.toString(c));
            }
            assertEquals(0, SOCKETS.getRemoteIP(conn, null, 0, 10) + SOCKETS.getLocalIP(conn, null, 0, 10));
            assertEquals(-1, SOCKETS.getClientCertificate(conn, null, 0, 10));
            for (int closes = 0; closes < 3; closes++) {
                assertEquals(client.getLocalAddress(), ip(conn, true));
                assertEquals(client.getInetAddress(), ip(conn, false));
                assertEquals(client.getLocalPort(), SOCKETS.getRemotePort(conn));
                assertEquals(client.getPort(), SOCKETS.getLocalPort(conn));
                assertEquals(closes == 0, SOCKETS.getNativeFd(conn) >= 0);
                SOCKETS.nativeClose(conn);
            }
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 0));
        }
    }

    @Test
    void bindTakesBacklogZeroAsRoomForManyRetriesAHeldPortAndRefusesBadAddresses() throws Exception {
        long ss = SERVER.bindPort("127.0.0.1", 0, 0);
        assertEquals(0, SERVER.getLocalPort(ss), "the port asked for, not the one given");
        SERVER.closeNative(ss);
        try (Loopback loop = new Loopback("127.0.0.1")) {
            for (int i = 0; i < 5; i++) loop.connect();
            for (int i = 0; i < 5; i++) loop.accept();
        }
        assertEquals("missing addr",
                     assertThrows(NullPointerException.class, () -> SERVER.bindPort(null, 0, 0)).getMessage());
        // Names are not looked up, a port out of range is not bound as another,
        // and the message holds at most 255 characters of the address.
        Object[][] refused = {{"localhost", 0, "localhost"}, {"127.0.0.1", -1, "127.0.0.1"},
                              {"127.0.0.1", 65536, "127.0.0.1"}, {"1".repeat(300), 0, "1".repeat(255)}};
        for (Object[] r : refused) {
            Exception e = assertThrows(SocketException.class, () -> SERVER.bindPort((String) r[0], (int) r[1], 0));
            assertEquals("can't find address " + r[2], e.getMessage());
        }
        ServerSocket holder = new ServerSocket();
        holder.setReuseAddress(false);  // keeps the native bind failing while it lives
        holder.bind(new InetSocketAddress("127.0.0.1", 0));
        CompletableFuture.delayedExecutor(3, TimeUnit.SECONDS).execute(() -> assertDoesNotThrow(holder::close));
        long start = System.nanoTime();
        assertNotEquals(0, ss = SERVER.bindPort("127.0.0.1", holder.getLocalPort(), 0));
        long waitedMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(waitedMs >= 2900 && waitedMs < 5000, "waited " + waitedMs + " ms");
        SERVER.closeNative(ss);
    }

    /**
     * The calls that never wait, on a peer that sends urgent data alone, then bytes, then never reads: each
     * returns at once, a full socket says WOULD_BLOCK, the counts are what the peer gets, and the end is 0.
     */
    @Test
    void callsThatNeverWaitSayWouldBlockAndMoveExactlyWhatTheyReport() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            Socket client = loop.connect();
            long conn = loop.accept();
            byte[] buf = new byte[40000];
            long start = System.nanoTime();
            assertEquals(JniStream.WOULD_BLOCK, STREAM.tryReadNative(conn, buf, 0, 10));
            client.sendUrgentData(7);
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 5000));
            assertEquals(JniStream.WOULD_BLOCK, STREAM.tryReadNative(conn, buf, 0, 10));
            for (int[] bad : new int[][] {{-1, 5}, {0, -1}, {39999, 2}}) {
                assertEquals(-1, STREAM.tryReadNative(conn, buf, bad[0], bad[1]));
                assertEquals(-1, STREAM.tryWriteNative(conn, buf, bad[0], bad[1]));
                assertEquals(-1, STREAM.tryWriteNative2(conn, buf, 0, 1, buf, bad[0], bad[1]));
            }
            assertEquals(-1, STREAM.tryReadNative(conn, null, 0, 1));
            assertEquals(-1, STREAM.tryWriteNative2(conn, buf, 0, 1, null, 0, 0));
            assertEquals(0, STREAM.tryReadNative(conn, buf, 0, 0) + STREAM.tryWriteNative(conn, buf, 0, 0));
            client.getOutputStream().write("hello".getBytes(StandardCharsets.US_ASCII));
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 5000));
            assertEquals(5, STREAM.tryReadNative(conn, buf, 3, 100));
            assertEquals("hello", new String(buf, 3, 5, StandardCharsets.US_ASCII));
            assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(2));

            for (int i = 0; i < buf.length; i++) buf[i] = (byte) (i % 20000 * 7 + i % 20000 / 251);
            long sent = 0;
            int result = 0;
            for (int calls = 0; calls < 100_000 && result >= 0; calls++) {
                long before = System.nanoTime();
                int at = (int) (sent % 20000);
                result = calls % 2 == 0 ? STREAM.tryWriteNative(conn, buf, at, 20000)
                                        : STREAM.tryWriteNative2(conn, buf, at, 10, buf, at + 10, 19990);
                assertTrue(System.nanoTime() - before < TimeUnit.MILLISECONDS.toNanos(100), "a call waited");
                if (result > 0) sent += result;
            }
            assertEquals(JniStream.WOULD_BLOCK, result);
            client.shutdownOutput();
            byte[] got = client.getInputStream().readNBytes((int) sent);
            for (int i = 0; i < got.length; i++) assertEquals(buf[i % 20000], got[i], "byte " + i);
            assertEquals(0, STREAM.tryReadNative(conn, buf, 0, 10));
            assertTrue(SOCKETS.getNativeFd(conn) >= 0, "a call that never waits closed the connection");
        }
    }
}
