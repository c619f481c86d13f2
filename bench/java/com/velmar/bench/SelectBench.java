package com.velmar.bench;

import com.velmar.server.port.JniSelectManager;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.lang.reflect.Method;
import java.nio.ByteBuffer;
import java.nio.channels.Pipe;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.util.Iterator;

/**
 * The cost of handing one ready descriptor to the selecting thread: the
 * select manager against the JDK's own Selector (epoll on Linux), on the same
 * pipes, side by side.  Each select manager hand-out includes the add that
 * puts the descriptor back, since a report takes it out of the set.
 *
 * Run with --add-exports java.base/sun.nio.ch=ALL-UNNAMED, which lets it read
 * the descriptor numbers of the pipes (bench/select does).
 */
public final class SelectBench {
    private static final int[] SIZES = {16, 256, 1024, 8191};
    private static final long MIN_NANOS = 400_000_000L;
    private static final ByteBuffer ONE = ByteBuffer.allocateDirect(1);

    private final JniSelectManager manager = new JniSelectManager();
    private final Pipe[] pipes;
    private final int[] fds;
    private final Selector selector;
    private long handle;
    private static volatile long sink;

    private SelectBench(int n) throws Exception {
        pipes = new Pipe[n];
        fds = new int[n];
        Method fdVal = Class.forName("sun.nio.ch.SelChImpl").getMethod("getFDVal");
        selector = Selector.open();
        for (int i = 0; i < n; i++) {
            pipes[i] = Pipe.open();
            pipes[i].source().configureBlocking(false);
            fds[i] = (Integer) fdVal.invoke(pipes[i].source());
            pipes[i].source().register(selector, SelectionKey.OP_READ, i);
        }
        newManager();
    }

    /** A fresh set holding every pipe in order (a record is never given back). */
    private void newManager() {
        if (handle != 0) manager.closeNative(handle);
        handle = manager.createNative();
        manager.initNative(handle);
        for (int fd : fds) {
            if (manager.addNative(handle, fd) != fd) throw new IllegalStateException("add refused");
        }
    }

    private void close() throws IOException {
        manager.closeNative(handle);
        selector.close();
        for (Pipe p : pipes) {
            p.source().close();
            p.sink().close();
        }
    }

    private void makeReadable(int i) throws IOException {
        ONE.clear();
        if (pipes[i].sink().write(ONE) != 1) throw new IllegalStateException("pipe full");
    }

    private void drain(int i) throws IOException {
        ByteBuffer buffer = ByteBuffer.allocate(16);
        while (pipes[i].source().read(buffer) > 0) buffer.clear();
    }

    // --- one ready among n: it stays readable, so every call reports it.

    private long managerOneReady(int rounds, int expected) {
        for (int r = 0; r < rounds; r++) {
            int fd = manager.selectNative(handle, 1000);
            if (fd != expected) throw new IllegalStateException("select gave " + fd);
            manager.addNative(handle, fd);
        }
        return rounds;
    }

    private long selectorOneReady(int rounds) throws IOException {
        long reported = 0;
        for (int r = 0; r < rounds; r++) {
            reported += selector.select(1000);
            for (SelectionKey key : selector.selectedKeys()) sink += (Integer) key.attachment();
            selector.selectedKeys().clear();
        }
        return reported;
    }

    // --- all n ready: one wait, then one descriptor per call until drained.

    private long managerAllReady(int rounds) {
        int n = fds.length;
        for (int r = 0; r < rounds; r++) {
            for (int i = 0; i < n; i++) {
                int fd = manager.selectNative(handle, 1000);
                if (fd != fds[i]) throw new IllegalStateException("select gave " + fd + ", not " + fds[i]);
            }
            for (int i = 0; i < n; i++) manager.addNative(handle, fds[i]);
        }
        return (long) rounds * n;
    }

    private long selectorAllReady(int rounds) throws IOException {
        long reported = 0;
        for (int r = 0; r < rounds; r++) {
            selector.select(1000);
            Iterator<SelectionKey> keys = selector.selectedKeys().iterator();
            while (keys.hasNext()) {
                sink += (Integer) keys.next().attachment();
                keys.remove();
                reported++;
            }
        }
        return reported;
    }

    private interface Loop {
        long run(int rounds) throws IOException;
    }

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    /**
     * CPU nanoseconds (user and system) of this thread per reported
     * descriptor, from the best of three runs: nothing in the loops sleeps,
     * and CPU time stays true on a machine that other work shares.
     */
    private static double measure(Loop loop) throws IOException {
        int rounds = 1;
        while (true) {  // warm up and find a round count that lasts long enough
            long start = THREADS.getCurrentThreadCpuTime();
            loop.run(rounds);
            if (THREADS.getCurrentThreadCpuTime() - start > MIN_NANOS / 4) break;
            rounds *= 2;
        }
        double best = Double.MAX_VALUE;
        for (int attempt = 0; attempt < 3; attempt++) {
            long start = THREADS.getCurrentThreadCpuTime();
            long reported = loop.run(rounds);
            best = Math.min(best, (double) (THREADS.getCurrentThreadCpuTime() - start) / reported);
        }
        return best;
    }

    private static void row(int n, String shape, double ours, double jdk) {
        System.out.printf("%12d  %-10s %14.0f %14.0f %10.2f%n", n, shape, ours, jdk, ours / jdk);
    }

    public static void main(String[] args) throws Exception {
        System.out.printf("%12s  %-10s %14s %14s %10s%n", "descriptors", "ready", "manager ns", "jdk ns",
                "manager/jdk");
        double[] oneReady = new double[SIZES.length];
        double worstOne = 0, worstAll = 0;
        for (int k = 0; k < SIZES.length; k++) {
            int n = SIZES[k];
            SelectBench bench = new SelectBench(n);
            try {
                int one = n / 2;
                bench.makeReadable(one);
                double ours = measure(rounds -> bench.managerOneReady(rounds, bench.fds[one]));
                double jdk = measure(bench::selectorOneReady);
                row(n, "one", ours, jdk);
                oneReady[k] = ours;
                worstOne = Math.max(worstOne, ours / jdk);
                bench.drain(one);
                // The ready one went to the end of the set; start again in order.
                bench.newManager();
                for (int i = 0; i < n; i++) bench.makeReadable(i);
                ours = measure(bench::managerAllReady);
                jdk = measure(bench::selectorAllReady);
                row(n, "all", ours, jdk);
                worstAll = Math.max(worstAll, ours / jdk);
            } finally {
                bench.close();
            }
        }
        System.out.printf("one ready among %d / among %d: %.2f; worst manager/jdk: one ready %.2f, all ready %.2f%n",
                SIZES[SIZES.length - 1], SIZES[0], oneReady[SIZES.length - 1] / oneReady[0], worstOne, worstAll);
    }
}
