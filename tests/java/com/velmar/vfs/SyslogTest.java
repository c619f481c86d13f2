package com.velmar.vfs;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.velmar.ChildJvm;
import java.net.*;
import java.nio.channels.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** A child JVM logs through /dev/log of its mount namespace: a stream socket here, so records end with a NUL. */
class SyslogTest {
    private static final int LOG_DAEMON = 3 << 3, LOG_LOCAL0 = 16 << 3;
    private static final String PERCENT = "100% %s %d %n %x %% %1$s %*d %", LONG = "0123456789".repeat(1000);
    /** {priority, message}, a null message among them. */
    private static final Object[][] RECORDS = {{3, "plain"}, {7, PERCENT}, {6, LONG}, {5, ""}, {6, null},
                                               {6, "after null"}, {LOG_LOCAL0 | 4, "local"}};

    @TempDir
    Path dir;

    @Test
    void recordsCarryTheIdentityTheFacilityAndTheMessageCutTo8191Bytes() throws Exception {
        Path socket = dir.resolve("log.sock"), overlay = dir.resolve("dev");
        String setup = String.join("\n", "mkdir " + overlay, "mount -t tmpfs none " + overlay,
                "mkdir " + overlay + "/upper " + overlay + "/work",
                "mount -t overlay overlay -o lowerdir=/dev,upperdir=" + overlay + "/upper,workdir=" + overlay
                        + "/work /dev",
                "rm -f /dev/log", "touch /dev/log", "mount --bind " + socket + " /dev/log");
        String all;
        try (ServerSocketChannel server = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            server.bind(UnixDomainSocketAddress.of(socket));
            CompletableFuture<String> received = CompletableFuture.supplyAsync(() -> {
                try (SocketChannel client = server.accept()) {
                    return new String(Channels.newInputStream(client).readAllBytes(), StandardCharsets.UTF_8);
                } catch (Exception e) {
                    throw new CompletionException(e);
                }
            });
            ChildJvm.run(dir, ChildJvm.inMountNamespace(setup), Child.class);
            all = received.get(30, TimeUnit.SECONDS);  // the child has ended, so its end is closed
        }
        // "<PRI>Mmm dd hh:mm:ss Talvo: MESSAGE" and a NUL; the null message logs nothing.
        String stamp = "\\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d Talvo: ";
        List<String> expected = List.of("<" + (LOG_DAEMON + 3) + ">plain", "<" + (LOG_DAEMON + 7) + ">" + PERCENT,
                "<" + (LOG_DAEMON + 6) + ">" + LONG.substring(0, 8191), "<" + (LOG_DAEMON + 5) + ">",
                "<" + (LOG_DAEMON + 6) + ">after null", "<" + (LOG_LOCAL0 + 4) + ">local", "");
        assertEquals(expected, List.of(all.replaceAll("(<\\d+>)" + stamp, "$1").split("\0", -1)));
    }

    public static final class Child {
        public static void main(String[] args) {
            Syslog log = new Syslog();
            log.nativeOpenSyslog();
            for (Object[] r : RECORDS) log.nativeSyslog((int) r[0], (String) r[1]);
        }
    }
}
