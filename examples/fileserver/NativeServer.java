package fileserver;

import com.velmar.server.port.JniSelectManager;
import com.velmar.vfs.JniServerSocketImpl;
import com.velmar.vfs.JniSocketImpl;
import com.velmar.vfs.JniStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.List;
import java.util.function.Consumer;

/**
 * The loops on libtalvo: a select manager per loop, the library's connection
 * records, reads and sends that never wait on the loops, and the kernel's file
 * send (from a cached descriptor, at explicit offsets) on the loops and the workers.
 */
final class NativeServer extends Server {
    private static final JniServerSocketImpl LISTENER = new JniServerSocketImpl();
    private static final JniSocketImpl SOCKET = new JniSocketImpl();
    private static final JniStream STREAM = new JniStream();
    private static final JniSelectManager SELECT = new JniSelectManager();

    private long listener;

    NativeServer(FileServer.Options options, String root, Consumer<String> log) {
        super(options, new FileHandler(root, new NativeFs(), options.dotfiles), log);
    }

    @Override
    int bind() throws IOException {
        checkListen(options.addr, options.port);
        try {
            listener = LISTENER.bindPort(options.addr, options.port, options.backlog);
        } catch (Exception e) { // the library's SocketException for an address that is not numeric
            throw new IOException(e.getMessage(), e);
        }
        if (listener == 0) throw new IOException("cannot listen on " + options.addr + " port " + options.port);
        // The waiting sends of the workers: each waits at most this long for the client to take more.
        LISTENER.nativeSetConnectionWriteTimeout(listener, options.writeTimeoutMs);
        return LISTENER.getLocalPort(listener);
    }

    @Override
    Loop newLoop() {
        return new NativeLoop();
    }

    @Override
    Conn accept(Loop loop) {
        long conn = SOCKET.nativeAllocate();
        if (conn == 0) return null;
        // The listener record stays until every accepting thread has ended (see stopAccepting).
        if (!LISTENER.nativeAccept(listener, conn)) {
            SOCKET.nativeFree(conn);
            return null;
        }
        return new NativeConn((NativeLoop) loop, conn);
    }

    @Override
    void stopAccepting(List<Thread> acceptors) {
        // The listener record is freed only once no thread can enter the accept with it.
        for (int round = 0; round < 3 && acceptors.stream().anyMatch(Thread::isAlive); round++) {
            for (Thread t : acceptors) if (t.isAlive()) wake(options.addr, options.port);
            for (Thread t : acceptors) join(t, 1000);
        }
        if (acceptors.stream().anyMatch(Thread::isAlive)) {
            System.err.println("fileserver: an accepting thread did not stop; the listening socket stays open");
        } else if (listener != 0) {
            LISTENER.closeNative(listener);
            listener = 0;
        }
    }

    private final class NativeLoop extends Loop {
        final long manager = SELECT.createNative();
        /** Guarded by this loop: the parked connections by descriptor. */
        private NativeConn[] parked = new NativeConn[1024];

        NativeLoop() {
            SELECT.initNative(manager);
        }

        @Override
        Conn select(long ms) {
            int fd = SELECT.selectNative(manager, ms);
            if (fd < 0) return null;
            synchronized (this) {
                if (fd >= parked.length) return null;
                NativeConn c = parked[fd];
                parked[fd] = null;
                return c;
            }
        }

        @Override
        void close() {
            SELECT.closeNative(manager);
        }
    }

    /** A connection record of the library. */
    private final class NativeConn extends Conn {
        final long handle;
        /** The descriptor, kept after the close: the key under which the connection was parked. */
        final int fd;
        private final NativeLoop home;

        NativeConn(NativeLoop loop, long handle) {
            super(loop);
            this.home = loop;
            this.handle = handle;
            this.fd = SOCKET.getNativeFd(handle);
        }

        @Override
        int read(byte[] buf, int off, int len) {
            int n = STREAM.tryReadNative(handle, buf, off, len);
            return n > 0 ? n : n == JniStream.WOULD_BLOCK ? AGAIN : GONE;
        }

        @Override
        long trySend(byte[] head, int headOff, int headLen, byte[] body, int bodyOff, int bodyLen) {
            long sent = 0;
            for (int n; sent < headLen + bodyLen; sent += n) {
                int h = (int) Math.min(sent, headLen);
                int b = (int) Math.max(0, sent - headLen);
                n = STREAM.tryWriteNative2(handle, head, headOff + h, headLen - h, body, bodyOff + b, bodyLen - b);
                if (n <= 0) return sent > 0 ? sent : n == JniStream.WOULD_BLOCK ? AGAIN : GONE;
            }
            return sent;
        }

        @Override
        long trySendFile(OpenFile file, long from, long length) {
            long n = STREAM.trySendFileNative(handle, file.fd, from, length);
            // 0: the file ended before its length, which the head promised: the connection ends.
            return n > 0 ? n : n == JniStream.WOULD_BLOCK ? AGAIN : GONE;
        }

        @Override
        boolean send(byte[] head, int headOff, int headLen, byte[] body, int bodyOff, int bodyLen) {
            return STREAM.writeNative2(handle, head, headOff, headLen, body, bodyOff, bodyLen) >= 0;
        }

        @Override
        boolean sendFile(OpenFile file, long from, long length) {
            return STREAM.sendFileNative(handle, file.fd, from, length) == length;
        }

        @Override
        boolean watch() {
            if (fd >= home.parked.length) home.parked = Arrays.copyOf(home.parked, Math.max(fd + 1, home.parked.length * 2));
            home.parked[fd] = this;
            if (SELECT.addNative(home.manager, fd) == fd) return true;
            home.parked[fd] = null; // the manager is closed: we are stopping
            return false;
        }

        @Override
        void unwatch() {
            SELECT.removeNative(home.manager, fd);
            home.parked[fd] = null;
        }

        @Override
        String peer() {
            byte[] text = new byte[64];
            int n = SOCKET.getRemoteIP(handle, text, 0, text.length);
            return n > 0 && n < text.length ? new String(text, 0, n, StandardCharsets.US_ASCII) : "-";
        }

        @Override
        void shut() {
            SOCKET.nativeClose(handle);
            SOCKET.nativeFree(handle);
        }
    }
}
