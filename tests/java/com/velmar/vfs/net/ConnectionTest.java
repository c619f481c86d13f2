package com.velmar.vfs.net;

import static com.velmar.vfs.net.Loopback.SOCKETS;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.net.InetAddress;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

@Timeout(value = 60, unit = TimeUnit.SECONDS)
class ConnectionTest {
    private static String ip(long conn, boolean remote) {
        byte[] buf = new byte[64];
        int len = remote ? SOCKETS.getRemoteIP(conn, buf, 0, buf.length) : SOCKETS.getLocalIP(conn, buf, 0, buf.length);
        return new String(buf, 0, len, StandardCharsets.US_ASCII);
    }

    private static String remoteIp(long conn) { return ip(conn, true); }

    private static String localIp(long conn) { return ip(conn, false); }

    @ParameterizedTest
    @ValueSource(strings = {"127.0.0.1", "::1"})
    void addressesAndPortsAreWhatTheClientSees(String address) throws IOException {
        try (Loopback loop = new Loopback(address)) {
            Socket client = loop.connect();
            long conn = loop.accept();
            String clientAddress = client.getLocalAddress().getHostAddress();
            String serverAddress = client.getInetAddress().getHostAddress();
            // Java writes ::1 as 0:0:0:0:0:0:0:1; compare the addresses, not the texts.
            assertEquals(InetAddress.getByName(clientAddress), InetAddress.getByName(remoteIp(conn)));
            assertEquals(InetAddress.getByName(serverAddress), InetAddress.getByName(localIp(conn)));
            assertEquals(client.getLocalPort(), SOCKETS.getRemotePort(conn));
            assertEquals(client.getPort(), SOCKETS.getLocalPort(conn));
            assertTrue(SOCKETS.getNativeFd(conn) >= 0);

            // Closing twice is harmless, and the queries still answer.
            SOCKETS.nativeClose(conn);
            SOCKETS.nativeClose(conn);
            assertEquals(-1, SOCKETS.getNativeFd(conn));
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 0));
            assertEquals(client.getLocalPort(), SOCKETS.getRemotePort(conn));
            assertEquals(InetAddress.getByName(clientAddress), InetAddress.getByName(remoteIp(conn)));
        }
    }

    @Test
    void aFreshRecordAnswersAnAllZeroAddressAndAPlainConnection() throws IOException {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            long conn = loop.allocate();
            assertEquals("0.0.0.0", remoteIp(conn));
            assertEquals("0.0.0.0", localIp(conn));
            assertEquals(0, SOCKETS.getRemotePort(conn));
            assertEquals(0, SOCKETS.getLocalPort(conn));
            assertEquals(-1, SOCKETS.getNativeFd(conn));
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 0));
            SOCKETS.nativeClose(conn);
        }
    }

    @Test
    void addressTextsAreCopiedOnlyWhenShorterThanTheRoom() throws IOException {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            loop.connect();
            long conn = loop.accept();
            String none = "#".repeat(20);
            String copied = "##127.0.0.1#########";
            // {remote, offset, length, result, buffer}: 9 characters need a
            // room of 10; the remote text's length comes back even without it.
            // Bad offsets and windows past the end copy nothing.
            Object[][] cases = {
                {true, 2, 9, 9, none}, {true, 2, 10, 9, copied}, {false, 2, 9, 0, none}, {false, 2, 10, 9, copied},
                {true, -1, 10, 0, none}, {true, 15, 100, 0, none}, {false, 15, 100, 0, none}, {false, 0, -5, 0, none},
            };
            for (Object[] c : cases) {
                byte[] buf = none.getBytes(StandardCharsets.US_ASCII);
                int at = (int) c[1], room = (int) c[2];
                int got = (boolean) c[0] ? SOCKETS.getRemoteIP(conn, buf, at, room) : SOCKETS.getLocalIP(conn, buf, at, room);
                assertEquals(c[3], got, Arrays.toString(c));
                assertEquals(c[4], new String(buf, StandardCharsets.US_ASCII), Arrays.toString(c));
            }
            assertEquals(0, SOCKETS.getRemoteIP(conn, null, 0, 10));
            assertEquals(0, SOCKETS.getLocalIP(conn, null, 0, 10));
            assertEquals(-1, SOCKETS.getClientCertificate(conn, null, 0, 10));

            assertEquals(0, SOCKETS.getRemoteIP(0, new byte[20], 0, 20));
            assertEquals(0, SOCKETS.getRemotePort(0));
            assertEquals(-1, SOCKETS.getNativeFd(0));
            assertFalse(SOCKETS.nativeReadNonBlock(0, 0));
            assertFalse(SOCKETS.isSecure(0));
            assertNull(SOCKETS.getCipher(0));
            SOCKETS.nativeClose(0);
            SOCKETS.nativeFree(0);
        }
    }

    @Test
    void readinessIsReportedOnlyForDataOrAHangUp() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1")) {
            Socket client = loop.connect();
            long conn = loop.accept();
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 0));
            long start = System.nanoTime();
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 200));
            assertTrue(System.nanoTime() - start >= TimeUnit.MILLISECONDS.toNanos(190));

            client.getOutputStream().write(42);
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 5000));
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 0));
            byte[] one = new byte[1];
            assertEquals(1, Loopback.STREAM.readNative(conn, one, 0, 1));
            assertFalse(SOCKETS.nativeReadNonBlock(conn, 0));

            client.close();
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 5000));
            assertTrue(SOCKETS.nativeReadNonBlock(conn, 0));
            assertNotEquals(-1, SOCKETS.getNativeFd(conn));
        }
    }
}
