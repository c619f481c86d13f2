package fileserver;

import java.io.IOException;
import java.net.BindException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;
import java.util.function.Consumer;

/**
 * The server's loops, the same on both transports. Accepting threads park each
 * new connection on one of a few select loops. A loop's thread reads what a
 * reported connection sent, without waiting, and answers what needs no waiting:
 * a file already open in its cache, sent as far as the socket takes it now.
 * Everything that could wait goes to a bounded pool of workers: a file's first
 * open, a listing, the rest of an answer the socket did not take. When the
 * workers and their queue are full, the client gets 503. An idle connection
 * holds no thread and no buffer; the loops close those whose idle time or head
 * deadline has passed.
 */
abstract class Server {
    /** Bounds of the drain before a close (see {@link #drainAndClose}). */
    static final int DRAIN_LIMIT = 1 << 20;
    static final long DRAIN_PAUSE_NANOS = TimeUnit.MILLISECONDS.toNanos(100);
    static final long DRAIN_NANOS = TimeUnit.MILLISECONDS.toNanos(2000);
    /** Longest wait of a selecting thread, so that a deadline parked meanwhile is kept within it. */
    private static final long TURN_NANOS = TimeUnit.MILLISECONDS.toNanos(100);
    /** A short pause after a failed accept, so that a lasting failure does not spin. */
    private static final long PAUSE_NANOS = TimeUnit.MILLISECONDS.toNanos(10);
    private static final ThreadLocal<Response> RESPONSE = ThreadLocal.withInitial(Response::new);

    final FileServer.Options options;
    final FileHandler handler;
    private final Consumer<String> log;
    private final long idleNanos;
    private final long headNanos;
    final AtomicInteger open = new AtomicInteger();
    private final ThreadPoolExecutor workers;
    /** Writes the 503 answers, so that neither a selecting nor an accepting thread waits on a client. */
    private final ThreadPoolExecutor refusals;
    private final List<Thread> acceptors = new ArrayList<>();
    private final List<Thread> selectors = new ArrayList<>();
    private Loop[] loops = new Loop[0];
    volatile boolean stopping;
    private final CountDownLatch go = new CountDownLatch(1);

    Server(FileServer.Options options, FileHandler handler, Consumer<String> log) {
        this.options = options;
        this.handler = handler;
        this.log = log;
        idleNanos = TimeUnit.MILLISECONDS.toNanos(options.readTimeoutMs);
        headNanos = TimeUnit.MILLISECONDS.toNanos(options.headTimeoutMs);
        workers = pool(options.workers, options.queue, "worker", false);
        refusals = pool(2, 256, "refuse", true);
    }

    // ------------------------------------------------------------ the transport's part

    /** Binds the listening socket and returns its port; no thread serves yet. */
    abstract int bind() throws IOException;

    abstract Loop newLoop() throws IOException;

    /** Waits for the next connection and gives it to {@code loop}; null when none came (the caller pauses). */
    abstract Conn accept(Loop loop);

    /** Makes the accepting threads return and closes the listening socket. */
    abstract void stopAccepting(List<Thread> acceptors);

    /** A pool thread ends: what it holds of the transport goes. */
    void threadEnds() {}

    /** One select loop: its thread, its parked connections, its open files and its buffers. */
    abstract class Loop implements Runnable {
        final FileCache cache = new FileCache();
        /** Where a reported connection's bytes are read when it holds none. */
        final byte[] buf = new byte[Request.MAX_HEAD];
        final Response response = new Response();
        /** Work that other threads leave for the loop's thread (files for the cache). */
        final ConcurrentLinkedQueue<Runnable> inbox = new ConcurrentLinkedQueue<>();
        /** Guarded by this loop: the parked connections by when they are due. */
        private final Due due = new Due();

        /** The next connection reported readable (no longer watched), or null after {@code ms} without one. */
        abstract Conn select(long ms);

        /** Makes select return; afterwards it returns at once. */
        abstract void close();

        @Override
        public void run() {
            long wait = 1;
            while (!stopping) {
                Conn c = select(wait);
                if (stopping) break;
                for (Runnable r; (r = inbox.poll()) != null; ) r.run();
                long now = System.nanoTime();
                synchronized (this) {
                    if (c != null) c.parked = false; // it keeps its place in due: the next park is then cheap
                    // Only the earliest place is looked at, however many are parked.
                    for (Conn o; (o = due.overdue(now)) != null; ) {
                        o.unwatch();
                        o.close();
                    }
                    wait = Math.max(1, TimeUnit.NANOSECONDS.toMillis(due.until(now, TURN_NANOS) + 999_999));
                }
                if (c == null) continue;
                try {
                    ready(this, c);
                } catch (RuntimeException e) { // a fault of one request must not stop the loop of many
                    c.close();
                }
            }
            cache.clear();
        }

        /** The connection closes: its place goes, then its descriptor, then its count. */
        void closed(Conn c) {
            synchronized (this) {
                c.parked = false;
                due.remove(c);
            }
            c.shut();
            open.decrementAndGet();
        }
    }

    // ------------------------------------------------------------ serving

    /** On the loop's thread, after a report: reads what is there and answers what can be answered at once. */
    private void ready(Loop l, Conn c) {
        if (c.in != null && c.start > 0) { // a private buffer: its bytes to the front
            System.arraycopy(c.in, c.start, c.in, 0, c.end - c.start);
            c.end -= c.start;
            c.start = 0;
        }
        byte[] b = c.in != null ? c.in : l.buf;
        int from = c.in != null ? c.end : 0;
        int n = c.read(b, from, b.length - from);
        // Nothing to read after a report: a report that was on its way when the descriptor changed
        // hands, or urgent data, which no request holds and which may not be reported again. Either
        // way the head's deadline now runs; a second such report in a row closes the connection.
        if (n == Conn.AGAIN && !c.empty) {
            c.empty = true;
            if (c.headStarted == 0) c.headStarted = System.nanoTime();
            park(c);
            return;
        }
        if (n <= 0) {
            c.close();
            return;
        }
        c.empty = false;
        if (c.draining) {
            if ((c.drained += n) > DRAIN_LIMIT) c.close();
            else park(c);
            return;
        }
        c.in = b;
        c.end = from + n;
        if (c.headStarted == 0) c.headStarted = System.nanoTime();
        serve(c, l, null);
    }

    /**
     * Answers the connection's requests: {@code r} first if given, then each
     * complete head among its bytes, then parks it. On a loop's thread ({@code l}
     * not null) whatever could wait is handed to a worker, which carries on.
     */
    private void serve(Conn c, Loop l, Request r) {
        Response a = l != null ? l.response : RESPONSE.get();
        while (true) {
            if (r == null) {
                if (c.in == null) {
                    park(c);
                    return;
                }
                c.start = Request.skipEmptyLines(c.in, c.start, c.end);
                if (c.start < c.end && c.headStarted == 0) c.headStarted = System.nanoTime();
                int headEnd = Request.headEnd(c.in, c.start, c.end);
                if (headEnd < 0 && c.end - c.start < Request.MAX_HEAD) {
                    keep(c, l);
                    park(c);
                    return;
                }
                if (headEnd < 0) {
                    r = new Request();
                    r.error = 431;
                } else {
                    r = Request.parse(c.in, c.start, headEnd);
                    c.start = headEnd;
                    c.headStarted = 0;
                }
            }
            a.opened = null;
            if (l == null) {
                handler.answer(r, a, null);
                adopt(c.loop, a);
            } else if (!handler.answer(r, a, l.cache)) {
                Request waiting = r;
                handOver(c, l);
                if (!offer(workers, c, () -> serve(c, null, waiting))) refuse(c);
                return;
            }
            if (!send(c, l, a, r) || !more(c, a.keepAlive)) return;
            r = null;
        }
    }

    /** Sends the answer: on a loop's thread as far as it goes now, the rest by a worker. True when it is all out. */
    private boolean send(Conn c, Loop l, Response a, Request r) {
        OpenFile file = a.file;
        if (l == null) {
            return sent(c, r, a.status, a.bodyBytes, file, c.send(a.head, 0, a.headLen, a.body, a.bodyOff, a.bodyLen)
                && (file == null || c.sendFile(file, a.from, a.length)));
        }
        long sent = c.trySend(a.head, 0, a.headLen, a.body, a.bodyOff, a.bodyLen);
        long fileSent = 0;
        if (sent == a.headLen + a.bodyLen && file != null) {
            for (long n; fileSent < a.length; fileSent += n) {
                n = c.trySendFile(file, a.from + fileSent, a.length - fileSent);
                if (n <= 0) {
                    if (n == Conn.GONE) sent = Conn.GONE;
                    break;
                }
            }
        }
        boolean all = sent == a.headLen + a.bodyLen && (file == null || fileSent == a.length);
        if (all || sent == Conn.GONE) return sent(c, r, a.status, a.bodyBytes, file, all);
        // The client takes no more now: a worker sends the rest, waiting as long as the write time-out allows.
        int done = (int) Math.max(0, sent);
        byte[] head = done < a.headLen ? Arrays.copyOfRange(a.head, done, a.headLen) : Response.NONE;
        int bodyOff = a.bodyOff + Math.max(0, done - a.headLen);
        int bodyLen = a.bodyLen - Math.max(0, done - a.headLen);
        byte[] body = a.body;
        long from = a.from + fileSent;
        long length = a.length - fileSent;
        boolean keepAlive = a.keepAlive;
        int status = a.status;
        long bytes = a.bodyBytes;
        handOver(c, l);
        boolean taken = offer(workers, c, () -> {
            boolean ok = c.send(head, 0, head.length, body, bodyOff, bodyLen) && (file == null || c.sendFile(file, from, length));
            if (sent(c, r, status, bytes, file, ok) && more(c, keepAlive)) serve(c, null, null);
        });
        if (!taken) sent(c, r, status, bytes, file, false);
        return false;
    }

    /** A send's end: the file's use goes; the answer is logged when it all went out, else the connection closes. */
    private boolean sent(Conn c, Request r, int status, long bytes, OpenFile file, boolean ok) {
        if (file != null) file.release();
        if (!ok) c.close();
        else if (log != null) log.accept(c.peer() + " \"" + Request.printable(r.line) + "\" " + status + " " + bytes);
        return ok;
    }

    /** After an answer that went out whole: true when the connection goes on, else it drains and closes. */
    private boolean more(Conn c, boolean keepAlive) {
        if (!keepAlive) drainAndClose(c);
        return keepAlive;
    }

    /**
     * Threads made as tasks come, up to {@code max}, then up to {@code queue}
     * tasks waiting; the threads end after a minute without work, unless {@code keep}.
     */
    private ThreadPoolExecutor pool(int max, int queue, String name, boolean keep) {
        AtomicInteger n = new AtomicInteger();
        ThreadPoolExecutor p = new ThreadPoolExecutor(max, max, 60, TimeUnit.SECONDS, new LinkedBlockingQueue<>(queue),
            r -> daemon(() -> {
                try {
                    r.run();
                } finally {
                    threadEnds();
                }
            }, name + "-" + n.incrementAndGet()));
        p.allowCoreThreadTimeOut(!keep);
        return p;
    }

    /**
     * Hands the connection to the pool's {@code task}. True when the task will run,
     * once (a fault in it closes the connection); false when it never will: the queue
     * is full, or no thread can be made (the process is at its thread limit).
     */
    private static boolean offer(ThreadPoolExecutor pool, Conn c, Runnable task) {
        AtomicBoolean claimed = new AtomicBoolean();
        try {
            pool.execute(() -> {
                if (!claimed.compareAndSet(false, true)) return;
                try {
                    task.run();
                } catch (RuntimeException e) {
                    c.close();
                    throw e;
                }
            });
            return true;
        } catch (RejectedExecutionException | OutOfMemoryError e) {
            // A failed thread start can leave the task queued: whoever claims it first decides.
            return !claimed.compareAndSet(false, true);
        }
    }

    /** A file that a worker opened goes to the cache of the connection's loop, for the requests after. */
    private static void adopt(Loop l, Response a) {
        OpenFile f = a.opened;
        String path = a.openedPath;
        if (f != null) l.inbox.add(() -> l.cache.put(path, f));
        a.opened = null;
    }

    /** Before a worker takes the connection from the loop: no reports meanwhile, and its bytes its own. */
    private static void handOver(Conn c, Loop l) {
        synchronized (l) {
            c.unwatch();
        }
        keep(c, l);
    }

    /** The bytes left in the loop's buffer move to one of the connection's own before another thread or a wait. */
    private static void keep(Conn c, Loop l) {
        if (c.in == null) return;
        if (c.start == c.end) {
            c.in = null;
            c.start = c.end = 0;
        } else if (l != null && c.in == l.buf) {
            byte[] own = new byte[Request.MAX_HEAD];
            System.arraycopy(c.in, c.start, own, 0, c.end - c.start);
            c.in = own;
            c.end -= c.start;
            c.start = 0;
        }
    }

    /**
     * After an answer that ends the connection, reads and drops what the peer
     * still sends until it pauses (or for at most DRAIN_NANOS), then closes:
     * closing with unread bytes makes the kernel reset the connection, which can
     * destroy the answer before the client has read it.
     */
    private void drainAndClose(Conn c) {
        c.in = null;
        c.start = c.end = 0;
        c.draining = true;
        c.headStarted = System.nanoTime();
        park(c);
    }

    /** 503, on a thread of its own, then the drain; when even that thread is refused, just the close. */
    private void refuse(Conn c) {
        boolean taken = offer(refusals, c, () -> {
            Response a = RESPONSE.get().error(503, false, false, null, null);
            if (c.send(a.head, 0, a.headLen, a.body, 0, a.bodyLen)) drainAndClose(c);
            else c.close();
        });
        if (!taken) c.close();
    }

    /** Watches the connection for its next bytes, until its deadline: idle, head, or drain. */
    private void park(Conn c) {
        long now = System.nanoTime();
        long due = c.draining ? Math.min(now + DRAIN_PAUSE_NANOS, c.headStarted + DRAIN_NANOS)
            : c.headStarted != 0 ? Math.min(now + idleNanos, c.headStarted + headNanos) : now + idleNanos;
        Loop l = c.loop;
        if (due - now > 0 && !stopping) {
            synchronized (l) {
                l.due.park(c, due);
                if (c.watch()) return;
                c.parked = false;
            }
        }
        c.close();
    }

    // ------------------------------------------------------------ threads

    /** Starts the server's threads; they wait for {@link #serve} (or {@link #stop}) before they do anything. */
    void start() throws IOException {
        loops = new Loop[options.loops];
        for (int i = 0; i < loops.length; i++) {
            loops[i] = newLoop();
            selectors.add(gated(go, loops[i], "select-" + i));
        }
        for (int i = 0; i < options.acceptors; i++) acceptors.add(gated(go, this::acceptLoop, "accept-" + i));
        selectors.forEach(Thread::start);
        acceptors.forEach(Thread::start);
        // The 503 writers too: answering that the workers are out must not need a new thread.
        refusals.prestartAllCoreThreads();
    }

    /** Lets the threads serve. */
    void serve() {
        go.countDown();
    }

    private void acceptLoop() {
        int next = 0;
        while (!stopping) {
            Conn c = accept(loops[next]);
            if (c == null) {
                if (!stopping) LockSupport.parkNanos(PAUSE_NANOS); // e.g. out of descriptors: do not spin
                continue;
            }
            next = (next + 1) % loops.length; // a plain count would go negative after 2^31 connections
            open.incrementAndGet();
            if (stopping) {
                c.close();
                break;
            }
            if (open.get() > options.maxConnections) refuse(c);
            else park(c);
        }
    }

    void stop() {
        stopping = true;
        go.countDown();
        stopAccepting(acceptors);
        for (Loop l : loops) l.close();
        for (Thread t : selectors) join(t, 3000);
        for (Loop l : loops) {
            synchronized (l) {
                for (Conn c; (c = l.due.first()) != null; ) {
                    l.due.remove(c);
                    if (c.parked) c.close(); // one that a worker holds is the worker's to close
                }
            }
        }
        workers.shutdown();
        refusals.shutdown();
        try {
            workers.awaitTermination(2000, TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    void await() throws InterruptedException {
        for (Thread t : selectors) t.join();
        for (Thread t : acceptors) t.join();
    }

    /**
     * The loop's connections in a binary heap by place, a time no later than the
     * connection's deadline. A connection answered and parked again keeps its
     * place, so a busy one costs no reordering; only when a place comes due is
     * it moved to the connection's deadline.
     */
    static final class Due {
        private Conn[] heap = new Conn[64];
        private long[] keys = new long[64];
        private int size;

        Conn first() {
            return size == 0 ? null : heap[0];
        }

        /** Parks the connection until {@code due}; an earlier deadline moves its place up at once. */
        void park(Conn c, long due) {
            c.due = due;
            c.parked = true;
            int i = c.dueSlot;
            if (i < 0) {
                if (size == heap.length) {
                    heap = Arrays.copyOf(heap, size * 2);
                    keys = Arrays.copyOf(keys, size * 2);
                }
                place(c, due, i = size++);
            } else if (due - keys[i] < 0) {
                keys[i] = due;
            } else {
                return;
            }
            up(i);
        }

        /** Takes out the next parked connection whose deadline has passed; null when none has. */
        Conn overdue(long now) {
            while (size > 0 && keys[0] - now <= 0) {
                Conn c = heap[0];
                if (c.parked && c.due - now > 0) { // parked again since it took its place
                    keys[0] = c.due;
                    down(0);
                    continue;
                }
                remove(c); // one that a thread holds has its place again when parked
                if (c.parked) return c;
            }
            return null;
        }

        /** Nanoseconds until the first place comes due, at most {@code max}. */
        long until(long now, long max) {
            return size == 0 ? max : Math.min(keys[0] - now, max);
        }

        void remove(Conn c) {
            int i = c.dueSlot;
            if (i < 0) return;
            c.dueSlot = -1;
            Conn last = heap[--size];
            long key = keys[size];
            heap[size] = null;
            if (i == size) return;
            place(last, key, i);
            down(i);
            up(last.dueSlot);
        }

        private void up(int i) {
            while (i > 0 && keys[i] - keys[(i - 1) / 2] < 0) swap(i, i = (i - 1) / 2);
        }

        private void down(int i) {
            for (int c; (c = 2 * i + 1) < size; i = c) {
                if (c + 1 < size && keys[c + 1] - keys[c] < 0) c++;
                if (keys[c] - keys[i] >= 0) return;
                swap(i, c);
            }
        }

        private void swap(int a, int b) {
            Conn c = heap[a];
            long key = keys[a];
            place(heap[b], keys[b], a);
            place(c, key, b);
        }

        private void place(Conn c, long key, int i) {
            heap[i] = c;
            keys[i] = key;
            c.dueSlot = i;
        }
    }

    /** A thread that waits until {@code go} opens before it runs {@code r}. */
    static Thread gated(CountDownLatch go, Runnable r, String name) {
        return daemon(() -> {
            try {
                go.await();
            } catch (InterruptedException e) {
                return;
            }
            r.run();
        }, name);
    }

    static Thread daemon(Runnable r, String name) {
        Thread t = new Thread(r, name);
        t.setDaemon(true);
        return t;
    }

    static void join(Thread t, long ms) {
        try {
            t.join(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** Says at once why the address and port cannot be listened on, if they cannot; the native bind retries for seconds. */
    static void checkListen(String addr, int port) throws IOException {
        try (ServerSocket probe = new ServerSocket()) {
            probe.setReuseAddress(true);
            probe.bind(new InetSocketAddress(InetAddress.getByName(addr), port), 1);
        } catch (IOException e) {
            throw listenFailure(addr, port, e);
        }
    }

    static IOException listenFailure(String addr, int port, IOException e) {
        String why = String.valueOf(e.getMessage());
        String said = !(e instanceof BindException) ? why
            : why.contains("in use") ? "the port is in use"
            : why.contains("ermission") ? "permission denied (ports below 1024 need the superuser)"
            : why.contains("assign") ? "not an address of this machine" : why;
        return new IOException("cannot listen on " + addr + " port " + port + ": " + said, e);
    }

    /** Connects to the listening socket and leaves, so that one thread waiting in its accept returns. */
    static void wake(String addr, int port) {
        try (Socket s = new Socket()) {
            InetAddress a = InetAddress.getByName(addr);
            s.connect(new InetSocketAddress(a.isAnyLocalAddress() ? InetAddress.getLoopbackAddress() : a, port), 1000);
        } catch (IOException e) {
            // nobody waits, or the backlog is full: the caller looks again
        }
    }
}
