package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/**
 * File-system calls on byte-array paths.
 *
 * <p>A path is the bytes of a Java byte array from index 0, in whatever encoding the file system uses;
 * no terminating zero byte is needed, and a zero byte inside ends the path the system sees. The methods
 * with a {@code length} take that many bytes, the others the whole array. A path of 1 to 8191 bytes is
 * used whole; a null array, an empty path, one of 8192 bytes or more, or a {@code length} beyond the
 * array is refused with the method's failure result before any system call (and with no exception).
 * Relative paths are taken from the process's working directory, and links are followed except where a
 * method says otherwise.
 *
 * <p>Every method makes one or two system calls on the calling thread and returns: it blocks only as long
 * as the file system takes (a slow or remote one may take long). Any number of threads may call them at
 * once; nothing is kept between calls. Loading this class loads the native library
 * ({@link NativeLibrary#load()}).
 */
public class JniFilePathImpl {
    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state. */
    public JniFilePathImpl() {}

    /**
     * Tells that the native file-path calls are there.
     *
     * @return 1, always
     */
    public native int nativeIsEnabled();

    /**
     * The time of the file's last modification.
     *
     * @param name the path's bytes
     * @param length the number of bytes of {@code name} to take
     * @return whole seconds since the epoch, as the low 32 bits (negative before 1970 and after 2038);
     *     -1 when the path is refused or the file cannot be reached, which a file dated one second before
     *     the epoch also gives: use {@link #nativeStat} where that matters
     */
    public native int nativeGetLastModified(byte[] name, int length);

    /**
     * The file's size.
     *
     * @param name the path's bytes
     * @param length the number of bytes of {@code name} to take
     * @return the low 32 bits of the size in bytes (a file of 2 GiB or more gives a wrong or negative
     *     value: use {@link #nativeStat}); -1 when the path is refused or the file cannot be reached
     */
    public native int nativeGetLength(byte[] name, int length);

    /**
     * Whether the process may read the file, judged by its real user and group ids.
     *
     * @param name the path's bytes (the whole array)
     * @return true when the file exists and may be read; false otherwise and when the path is refused
     */
    public static native boolean nativeCanRead(byte[] name);

    /**
     * The file's status, as the system reports it.
     *
     * @param name the path's bytes (the whole array)
     * @param doLstat true to report a symbolic link itself; false to follow it to its target
     * @return a new status, or null when the path is refused or the file cannot be reached (a link whose
     *     target is missing, followed, included). Null also when the status class cannot be found, with
     *     the JVM's error for that pending.
     */
    public static native FileStatus nativeStat(byte[] name, boolean doLstat);

    /**
     * Makes a link at {@code name} to {@code target}. When the system refuses the link, the call throws
     * {@link java.io.IOException} (not declared) with the system's text for the reason, such as "File
     * exists".
     *
     * @param name the path of the new link's bytes (the whole array)
     * @param target the path it leads to (the whole array): for a symbolic link its content, which need
     *     not exist; for a hard link an existing file
     * @param hardLink true for a hard link (a second name of the same file), false for a symbolic link
     * @return true when the link was made; false, with nothing thrown, when a path is refused
     */
    public static native boolean nativeLink(byte[] name, byte[] target, boolean hardLink);

    /**
     * Whether the path names a directory, a link to one included.
     *
     * @param name the path's bytes (the whole array)
     * @return true for a directory; false for anything else, a missing file, and a refused path
     */
    public native boolean nativeIsDirectory(byte[] name);

    /**
     * Changes the file's permission bits. Nothing is reported: check with {@link #nativeStat} where the
     * outcome matters.
     *
     * @param name the path's bytes
     * @param length the number of bytes of {@code name} to take
     * @param mode the mode; only its low 16 bits are passed on (permissions, set-id and sticky bits)
     */
    public native void nativeChmod(byte[] name, int length, int mode);

    /**
     * Opens a file for reading, for {@link JniFileStream}. Never a directory: one that is opened (also
     * one renamed into place meanwhile) is closed again and refused.
     *
     * @param name the path's bytes
     * @param length the number of bytes of {@code name} to take
     * @return the new descriptor, owned by the caller, who closes it with
     *     {@link JniFileStream#nativeClose}; it is not inherited by programs the process starts. -1 when
     *     the path is refused, the file cannot be opened, or it is a directory.
     */
    public native int nativeOpenRead(byte[] name, int length);

    /**
     * Opens a file for writing, for {@link JniFileStream}, creating it when it is missing, with mode 0666
     * less the process's umask. When the file cannot be opened, the call throws
     * {@link java.io.IOException} (not declared) whose message says why: "'PATH' permission denied",
     * "'PATH' parent directory does not exist" (a component is not a directory), "'PATH' is a
     * directory", "too many files open", or "'PATH' unknown error (errno=N)." for any other reason (a
     * missing parent directory gives 2).
     *
     * @param name the path's bytes
     * @param length the number of bytes of {@code name} to take
     * @param isAppend true to keep the content and write every byte at the end; false to truncate the
     *     file to length 0
     * @return the new descriptor, owned by the caller (closed with {@link JniFileStream#nativeClose}, not
     *     inherited by programs the process starts); -1, with nothing thrown, when the path is refused
     */
    public native int nativeOpenWrite(byte[] name, int length, boolean isAppend);
}
