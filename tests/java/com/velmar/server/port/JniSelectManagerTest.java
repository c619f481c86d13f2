package com.velmar.server.port;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.velmar.vfs.net.Loopback;
import java.net.Socket;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** The natives through Java under -Xcheck:jni and across threads; the native suite compares the results in depth. */
class JniSelectManagerTest {
    private final JniSelectManager manager = new JniSelectManager();
    /** A thread per task: the common pool may have a single thread, which a waiting select would hold. */
    private final Executor threads = task -> new Thread(task).start();

    @Test
    void aWaitingSelectWakesForAnAddAndACloseFromOtherThreads() throws Exception {
        try (Loopback loop = new Loopback("127.0.0.1"); Socket client = loop.connect()) {
            long conn = loop.accept();
            int fd = Loopback.SOCKETS.getNativeFd(conn);
            long handle = manager.createNative();
            manager.initNative(handle);
            client.getOutputStream().write('x');  // readable once added

            var selected = CompletableFuture.supplyAsync(() -> manager.selectNative(handle, 20000), threads);
            Thread.sleep(100);
            assertEquals(fd, manager.addNative(handle, fd));
            assertEquals(fd, selected.get(10, TimeUnit.SECONDS));

            var waiting = CompletableFuture.supplyAsync(() -> manager.selectNative(handle, -1), threads);
            Thread.sleep(100);
            CompletableFuture.runAsync(() -> manager.closeNative(handle), threads).get(10, TimeUnit.SECONDS);
            assertEquals(-1, waiting.get(10, TimeUnit.SECONDS));
        }
    }
}
