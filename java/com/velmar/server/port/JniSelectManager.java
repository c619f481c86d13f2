package com.velmar.server.port;

import com.velmar.util.NativeLibrary;

/**
 * One set of watched descriptors: a selecting thread waits while any thread adds and removes
 * descriptors. {@code selectNative} reports the ready entry that was added earliest and takes it
 * out of the set; the further ready entries of the same wait follow without another wait.
 *
 * <p>A manager is named by a handle from {@link #createNative()}: {@code createNative}, then
 * {@code initNative}, then any mix of {@code addNative} and {@code removeNative} from any threads and
 * {@code selectNative} from one selecting thread, and last {@code closeNative}, from any thread. Every
 * method given the handle 0 returns at once (-1 where it returns a value) and touches nothing; a handle
 * that {@code createNative} did not return is the caller's error and may crash the JVM. The set holds
 * up to 8191 entries. No method throws, none allocates after {@code createNative}, and a wait costs
 * what is ready, not what is watched.
 *
 * <p>Callers remove a descriptor before they close it. A descriptor closed while still in the set
 * may never be reported (a poll would have reported it as invalid), and a new file that takes its
 * number may go unwatched until the number is added again; from then on every entry of that number
 * watches the new file. The manager never reads from, writes to or closes a watched descriptor.
 * Loading this class loads the native library ({@link NativeLibrary#load()}).
 */
public class JniSelectManager {
    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state: the handles do. */
    public JniSelectManager() {}

    /**
     * Makes a manager that watches nothing yet. Its record is never freed, even by
     * {@code closeNative}: make one per selecting thread for the life of the process, not one per task.
     *
     * @return the new manager's handle, or 0 when there is no memory for it
     */
    public native long createNative();

    /**
     * Readies the manager for waiting (its wake-up pipe and epoll descriptor). Call it once, before
     * the first add; later calls, and calls on a closed manager, do nothing. When the system refuses
     * the descriptors, the manager answers from then on as a closed one.
     *
     * @param manager the handle from {@link #createNative()}
     */
    public native void initNative(long manager);

    /**
     * Adds an entry for {@code fd}: the next wait reports it once it is readable, has urgent data, an
     * error or a hang-up. A descriptor may be added more than once; each entry is reported on its own.
     * Any thread may call it, also while the selecting thread waits, which then watches the descriptor
     * at once. Never blocks beyond a short lock shared with the other calls.
     *
     * @param manager the handle
     * @param fd the descriptor, such as a connection's from {@code JniSocketImpl.getNativeFd}
     * @return {@code fd}; -1 for a negative {@code fd}, a full set (8191 entries), a closed manager or the
     *     handle 0. Before {@code initNative} the set stays empty and the result is {@code fd}.
     */
    public native int addNative(long manager, int fd);

    /**
     * Takes the newest entry of {@code fd} out of the set, at once: it is not reported from then on,
     * also when the last wait found it ready. Removing a descriptor that is not in the set changes
     * nothing. Any thread may call it, also while the selecting thread waits; never blocks beyond a
     * short lock.
     *
     * @param manager the handle
     * @param fd the descriptor
     * @return {@code fd}, whether or not it was in the set; -1 for a negative {@code fd}, a closed
     *     manager or the handle 0
     */
    public native int removeNative(long manager, int fd);

    /**
     * Reports one ready descriptor and takes its entry out of the set; add it again to hear of it again.
     * When the last wait found several ready, each following call reports the next of them, in the
     * order of their addition, without waiting (or returns -1 at once when they were all removed since).
     * Otherwise the call waits until a watched descriptor is ready, the time-out passes, or another thread
     * closes the manager; a descriptor that another thread adds during the wait is watched at once.
     *
     * <p>Only one thread selects on a manager at a time: a call made while another thread waits on the
     * same manager returns -1 at once.
     *
     * @param manager the handle
     * @param ms the longest wait in milliseconds, taken as its low 32 bits; 0 does not wait; a
     *     negative value waits without limit
     * @return the ready descriptor (the one of the earliest added ready entry); -1 when the time-out
     *     passed, the wait failed (a signal included), the manager is closed or was never initialised,
     *     another thread is selecting, or the handle is 0
     */
    public native int selectNative(long manager, long ms);

    /**
     * Closes the manager: a thread waiting in {@code selectNative} is woken and returns -1, and every
     * later call returns -1 or does nothing. The wake-up pipe and epoll descriptor are closed by the last
     * thread that uses them. Any thread may call it; it returns at once, and a second call does nothing.
     * The watched descriptors are not closed, and the record is not freed.
     *
     * @param manager the handle
     */
    public native void closeNative(long manager);
}
