package fileserver;

import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Worker threads with a maximum and a bounded queue. A task goes to an idle
 * thread when there is one, else to a new thread while fewer than the maximum
 * run, else to the queue; when the queue is full too, {@link #execute} throws
 * RejectedExecutionException. A thread that cannot be created (the process is
 * at its thread limit) makes {@code execute} throw OutOfMemoryError; nothing
 * else is affected. Threads end after a minute without work.
 */
final class Workers extends ThreadPoolExecutor {
    /** Tasks handed in and not yet finished: more than the threads means none is idle. */
    private final AtomicInteger submitted = new AtomicInteger();

    /** {@code keep} threads never end (made at once by prestartAllCoreThreads); up to {@code max} in all. */
    Workers(int keep, int max, int queue, String name, Runnable atThreadEnd) {
        super(keep, max, 60, TimeUnit.SECONDS, new Handoff(queue), factory(name, atThreadEnd),
            (task, pool) -> {
                // A thread was refused to us in a race with another hand-off: the queue may still have room.
                if (!((Handoff) pool.getQueue()).force(task)) throw new RejectedExecutionException("queue full");
            });
        ((Handoff) getQueue()).pool = this;
    }

    /** True when {@code task} will run, once; false when it never will. */
    boolean offer(Runnable task) {
        AtomicBoolean claimed = new AtomicBoolean();
        try {
            execute(() -> {
                if (claimed.compareAndSet(false, true)) task.run();
            });
            return true;
        } catch (RejectedExecutionException | OutOfMemoryError e) {
            // A failed thread start can leave the task queued: whoever claims it first decides.
            return !claimed.compareAndSet(false, true);
        }
    }

    @Override
    public void execute(Runnable task) {
        submitted.incrementAndGet();
        try {
            super.execute(task);
        } catch (RuntimeException | Error e) {
            submitted.decrementAndGet();
            throw e;
        }
    }

    @Override
    protected void afterExecute(Runnable task, Throwable failure) {
        submitted.decrementAndGet();
    }

    private static java.util.concurrent.ThreadFactory factory(String name, Runnable atThreadEnd) {
        AtomicInteger n = new AtomicInteger();
        return r -> Server.daemon(() -> {
            try {
                r.run();
            } finally {
                atThreadEnd.run();
            }
        }, name + "-" + n.incrementAndGet());
    }

    /** Refuses a task while a new thread should take it, so that the pool grows before it queues. */
    @SuppressWarnings("serial") // never serialised
    private static final class Handoff extends LinkedBlockingQueue<Runnable> {
        Workers pool;

        Handoff(int capacity) {
            super(capacity);
        }

        @Override
        public boolean offer(Runnable task) {
            int threads = pool.getPoolSize();
            if (pool.submitted.get() <= threads || threads >= pool.getMaximumPoolSize()) return super.offer(task);
            return false;
        }

        boolean force(Runnable task) {
            return !pool.isShutdown() && super.offer(task);
        }
    }
}
