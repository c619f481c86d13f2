package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmar.ChildJvm;
import java.io.ByteArrayOutputStream;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * A child JVM logs in a private mount namespace whose /dev/log is a socket
 * that this test listens on.  The system library finds a stream socket there
 * and ends each record with a NUL byte.
 */
class SyslogTest {
    private static final int LOG_DAEMON = 3 << 3;
    private static final int LOG_LOCAL0 = 16 << 3;
    private static final String PERCENT = "100% %s %d %n %x %% %1$s %*d %";
    // "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE"
    private static final Pattern RECORD = Pattern.compile("<(\\d+)>\\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d ([^:]*): (.*)",
            Pattern.DOTALL);

    @TempDir
    Path dir;

    @Test
    void recordsCarryTheIdentityTheFacilityAndTheMessageCutTo8191Bytes() throws Exception {
        Path socket = dir.resolve("log.sock");
        Path overlay = dir.resolve("dev");
        String setup = String.join("\n",
                "mkdir " + overlay,
                "mount -t tmpfs none " + overlay,
                "mkdir " + overlay + "/upper " + overlay + "/work",
                "mount -t overlay overlay -o lowerdir=/dev,upperdir=" + overlay + "/upper,workdir=" + overlay
                        + "/work /dev",
                "rm -f /dev/log",
                "touch /dev/log",
                "mount --bind " + socket + " /dev/log");
        byte[] received;
        try (ServerSocketChannel server = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            server.bind(UnixDomainSocketAddress.of(socket));
            CompletableFuture<byte[]> stream = CompletableFuture.supplyAsync(() -> readAll(server));
            ChildJvm.run(dir, ChildJvm.inMountNamespace(setup), Child.class);
            // The child has ended, so its end of the connection is closed.
            received = stream.get(30, TimeUnit.SECONDS);
        }
        String all = new String(received, StandardCharsets.UTF_8);
        assertTrue(all.endsWith("\0"), "the stream ends with a whole record");
        List<Matcher> records = new ArrayList<>();
        for (String record : all.substring(0, all.length() - 1).split("\0", -1)) {
            Matcher m = RECORD.matcher(record);
            assertTrue(m.matches(), "not a log record: " + record);
            records.add(m);
        }
        // The null message, between "" and "after null", logs nothing.
        assertEquals(6, records.size(), "one record per non-null message");
        assertRecord(LOG_DAEMON + 3, "plain", records.get(0));
        assertRecord(LOG_DAEMON + 7, PERCENT, records.get(1));
        assertRecord(LOG_DAEMON + 6, longMessage().substring(0, 8191), records.get(2));
        assertRecord(LOG_DAEMON + 5, "", records.get(3));
        assertRecord(LOG_DAEMON + 6, "after null", records.get(4));
        assertRecord(LOG_LOCAL0 + 4, "local", records.get(5));
    }

    private static byte[] readAll(ServerSocketChannel server) {
        try (SocketChannel client = server.accept()) {
            ByteArrayOutputStream all = new ByteArrayOutputStream();
            ByteBuffer buffer = ByteBuffer.allocate(65536);
            while (client.read(buffer) >= 0) {
                all.write(buffer.array(), 0, buffer.position());
                buffer.clear();
            }
            return all.toByteArray();
        } catch (Exception e) {
            throw new RuntimeException(e);
        }
    }

    private static String longMessage() {
        StringBuilder text = new StringBuilder();
        for (int i = 0; text.length() < 10000; i++) text.append(i).append(' ');
        return text.substring(0, 10000);
    }

    private static void assertRecord(int priority, String message, Matcher record) {
        assertEquals(priority, Integer.parseInt(record.group(1)), "priority");
        assertEquals("Talvo", record.group(2), "identity");
        assertEquals(message, record.group(3));
    }

    /** Writes the records that the test expects, with a null message among them. */
    public static final class Child {
        public static void main(String[] args) {
            Syslog log = new Syslog();
            log.nativeOpenSyslog();
            log.nativeSyslog(3, "plain");
            log.nativeSyslog(7, PERCENT);
            log.nativeSyslog(6, longMessage());
            log.nativeSyslog(5, "");
            log.nativeSyslog(6, null);
            log.nativeSyslog(6, "after null");
            log.nativeSyslog(LOG_LOCAL0 | 4, "local");
        }
    }
}
