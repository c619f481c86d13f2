package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/**
 * Reads, writes and positioning on a plain file descriptor, such as one from
 * {@link JniFilePathImpl#nativeOpenRead} or {@link JniFilePathImpl#nativeOpenWrite}.
 *
 * <p>The library keeps nothing for a descriptor: the file and its position are the system's, and the
 * descriptor belongs to the caller until {@link #nativeClose}, after which the system may give its number
 * to the next file opened, so it must not be passed again. A negative descriptor is refused at once with
 * the method's failure result. No method throws. Bytes move through a 16384-byte buffer on the calling
 * thread's stack, one system call per 16384 bytes; an interrupted system call is repeated. Each call
 * blocks as long as its system calls take: a pipe or terminal may make a read wait for input.
 *
 * <p>Any thread may call these methods. Calls on the same descriptor from several threads share its
 * position, and a transfer of more than 16384 bytes is several system calls that another thread's calls
 * may fall between. Loading this class loads the native library ({@link NativeLibrary#load()}).
 */
public class JniFileStream {
    /** {@code nativeRead}: the end of the file or a failure, before any byte was read; {@code nativeWrite}: a failure. */
    public static final int FAILED = -1;
    /** {@code nativeWrite}: every byte was written. */
    public static final int WRITTEN = 1;

    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state. */
    public JniFileStream() {}

    /**
     * Reads into {@code buf[offset]} onwards. The call returns as soon as it has {@code length} bytes, the
     * system gives fewer than asked (a pipe, a terminal, the end of a file), or the file ends or fails; it
     * never waits a second time after a short read.
     *
     * @param fd the descriptor
     * @param buf the array to fill
     * @param offset the index of the first byte to fill
     * @param length the most bytes to read
     * @return the bytes read, 1 or more (only the window's first ones are written); {@link #FAILED} at
     *     the end of the file, on a failure before any byte was read, for a negative {@code fd}, and for a
     *     null {@code buf} or a window outside it (then nothing is read from the file); 0 for a
     *     {@code length} of 0 or less
     */
    public native int nativeRead(int fd, byte[] buf, int offset, int length);

    /**
     * Writes {@code buf[offset]} to {@code buf[offset + length - 1]}, all of it: a short write is continued
     * from the first byte not yet written.
     *
     * @param fd the descriptor
     * @param buf the bytes
     * @param offset the index of the first byte to write
     * @param length the number of bytes
     * @return {@link #WRITTEN} when every byte was written, and for a {@code length} of 0 or less;
     *     {@link #FAILED} on a failure (how much reached the file before it is not told), for a negative
     *     {@code fd}, and for a null {@code buf} or a window outside it (then nothing is written)
     */
    public native int nativeWrite(int fd, byte[] buf, int offset, int length);

    /**
     * Moves the position by {@code offset} bytes from where it is.
     *
     * @param fd the descriptor
     * @param offset the bytes to move, forward or (negative) back
     * @return the new position from the start of the file (not the distance moved); -1 when the system
     *     refuses (a pipe, a position before the start); 0 for a negative {@code fd}
     */
    public native long nativeSkip(int fd, long offset);

    /**
     * Closes the descriptor; it is released whatever the result.
     *
     * @param fd the descriptor
     * @return 0; -1 when the system reports a failure (such as a write-back error), for a descriptor that is
     *     not open, and for a negative {@code fd}
     */
    public native int nativeClose(int fd);

    /**
     * Forces the file's written data to the disk; blocks until the device has it.
     *
     * @param fd the descriptor
     * @return 0; -1 on a failure and for a negative {@code fd}
     */
    public native int nativeFlushToDisk(int fd);

    /**
     * Moves the position to {@code offset} bytes from the start of the file.
     *
     * @param fd the descriptor
     * @param offset the new position; beyond the end is allowed (a later write leaves a hole)
     * @return the new position's low 32 bits (a position of 2 GiB or more is set correctly but comes back
     *     wrong or negative); -1 when the system refuses, and for a negative {@code fd}
     */
    public native int nativeSeekStart(int fd, long offset);

    /**
     * Moves the position to the file's size plus {@code offset}.
     *
     * @param fd the descriptor
     * @param offset bytes from the end, forward or (negative) back
     * @return the new position's low 32 bits (as {@link #nativeSeekStart}); -1 when the system refuses,
     *     and for a negative {@code fd}
     */
    public native int nativeSeekEnd(int fd, long offset);
}
