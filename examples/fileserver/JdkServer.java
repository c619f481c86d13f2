package fileserver;

import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.channels.CancelledKeyException;
import java.nio.channels.ClosedSelectorException;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.util.Collections;
import java.util.Iterator;
import java.util.List;
import java.util.function.Consumer;

/**
 * The same loops on the JDK alone: a Selector per loop, non-blocking
 * SocketChannels, FileChannel.transferTo, and java.nio.file. A worker that must
 * wait for a client to take more waits on a Selector of its own.
 */
final class JdkServer extends Server {
    /** Each pool thread's own selector, for the sends that wait. */
    private static final ThreadLocal<Selector> WAITER = new ThreadLocal<>();

    private ServerSocketChannel listener;

    JdkServer(FileServer.Options options, String root, Consumer<String> log) {
        super(options, new FileHandler(root, new JdkFs(), options.dotfiles), log);
    }

    @Override
    int bind() throws IOException {
        listener = ServerSocketChannel.open();
        try {
            listener.setOption(StandardSocketOptions.SO_REUSEADDR, true);
            listener.bind(new InetSocketAddress(InetAddress.getByName(options.addr), options.port), options.backlog);
        } catch (IOException e) {
            listener.close();
            throw listenFailure(options.addr, options.port, e);
        }
        // The JDK readies its socket closing at the first close, with a descriptor of its own: done at
        // the descriptor limit, that fails for good and no socket is ever closed again. So close one now.
        SocketChannel.open().close();
        return ((InetSocketAddress) listener.getLocalAddress()).getPort();
    }

    @Override
    Loop newLoop() throws IOException {
        return new NioLoop();
    }

    @Override
    Conn accept(Loop loop) {
        SocketChannel ch = null;
        try {
            ch = listener.accept();
            ch.configureBlocking(false);
            ch.setOption(StandardSocketOptions.TCP_NODELAY, true);
            return new NioConn((NioLoop) loop, ch);
        } catch (IOException | RuntimeException e) { // e.g. the peer already reset it
            if (ch != null) close(ch);
            return null;
        }
    }

    @Override
    void stopAccepting(List<Thread> acceptors) {
        close(listener); // an accept under way returns
        for (Thread t : acceptors) join(t, 3000);
    }

    @Override
    void threadEnds() {
        Selector s = WAITER.get();
        WAITER.remove();
        if (s != null) close(s);
    }

    private static void close(java.io.Closeable c) {
        try {
            c.close();
        } catch (IOException ignored) {
            // closed or gone already
        }
    }

    private final class NioLoop extends Loop {
        final Selector selector = Selector.open();
        private Iterator<SelectionKey> reported = Collections.emptyIterator();
        volatile Thread thread;

        NioLoop() throws IOException {}

        @Override
        Conn select(long ms) {
            thread = Thread.currentThread();
            try {
                if (!reported.hasNext()) {
                    selector.select(ms);
                    reported = selector.selectedKeys().iterator();
                }
                while (reported.hasNext()) {
                    SelectionKey k = reported.next();
                    reported.remove();
                    if (k.isValid()) return (Conn) k.attachment(); // watched still: answered at once, it stays so
                }
            } catch (IOException | ClosedSelectorException | CancelledKeyException e) {
                // closed: we are stopping
            }
            return null;
        }

        @Override
        void close() {
            JdkServer.close(selector);
        }
    }

    private final class NioConn extends Conn {
        private final SocketChannel ch;
        private final SelectionKey key;
        private final NioLoop home;
        private final ByteBuffer[] pair = new ByteBuffer[2];

        NioConn(NioLoop loop, SocketChannel ch) throws IOException {
            super(loop);
            this.home = loop;
            this.ch = ch;
            this.key = ch.register(loop.selector, 0, this);
        }

        @Override
        int read(byte[] buf, int off, int len) {
            try {
                int n = ch.read(ByteBuffer.wrap(buf, off, len));
                return n > 0 ? n : n == 0 ? AGAIN : GONE;
            } catch (IOException e) {
                return GONE;
            }
        }

        @Override
        long trySend(byte[] head, int headOff, int headLen, byte[] body, int bodyOff, int bodyLen) {
            pair[0] = ByteBuffer.wrap(head, headOff, headLen);
            pair[1] = ByteBuffer.wrap(body, bodyOff, bodyLen);
            long sent = 0;
            try {
                for (long n; sent < headLen + bodyLen && (n = ch.write(pair)) > 0; ) sent += n;
            } catch (IOException e) {
                return GONE;
            }
            return sent > 0 || headLen + bodyLen == 0 ? sent : AGAIN;
        }

        @Override
        long trySendFile(OpenFile file, long from, long length) {
            try {
                long n = file.channel.transferTo(from, length, ch);
                return n > 0 ? n : AGAIN;
            } catch (IOException e) {
                return GONE;
            }
        }

        @Override
        boolean send(byte[] head, int headOff, int headLen, byte[] body, int bodyOff, int bodyLen) {
            pair[0] = ByteBuffer.wrap(head, headOff, headLen);
            pair[1] = ByteBuffer.wrap(body, bodyOff, bodyLen);
            try {
                while (pair[0].hasRemaining() || pair[1].hasRemaining()) {
                    if (ch.write(pair) == 0 && !writable()) return false;
                }
                return true;
            } catch (IOException e) {
                return false;
            }
        }

        @Override
        boolean sendFile(OpenFile file, long from, long length) {
            for (long sent = 0, n; sent < length; sent += n) {
                n = trySendFile(file, from + sent, length - sent);
                if (n == GONE) return false;
                // Nothing taken though the socket had room: the file ended early.
                if (n == AGAIN && (!writable() || (n = trySendFile(file, from + sent, length - sent)) <= 0)) return false;
            }
            return true;
        }

        /** Waits until the socket takes more, up to the write time-out. */
        private boolean writable() {
            try {
                Selector s = WAITER.get();
                if (s == null) WAITER.set(s = Selector.open());
                SelectionKey k = ch.register(s, SelectionKey.OP_WRITE);
                boolean ready = s.select(options.writeTimeoutMs) > 0;
                k.cancel();
                s.selectNow(); // the key leaves the selector, so the channel can come again
                s.selectedKeys().clear();
                return ready;
            } catch (IOException | RuntimeException e) {
                return false;
            }
        }

        @Override
        boolean watch() {
            try {
                key.interestOps(SelectionKey.OP_READ);
            } catch (CancelledKeyException e) {
                return false;
            }
            if (Thread.currentThread() != home.thread) home.selector.wakeup();
            return true;
        }

        @Override
        void unwatch() {
            try {
                key.interestOps(0);
            } catch (CancelledKeyException e) {
                // closed: nothing is watched
            }
        }

        @Override
        String peer() {
            try {
                return ((InetSocketAddress) ch.getRemoteAddress()).getAddress().getHostAddress();
            } catch (IOException | RuntimeException e) {
                return "-";
            }
        }

        @Override
        void shut() {
            JdkServer.close(ch);
            // The descriptor closes once the loop's selector lets the channel go: at its next turn.
            if (Thread.currentThread() != home.thread) home.selector.wakeup();
        }
    }
}
