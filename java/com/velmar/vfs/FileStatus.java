package com.velmar.vfs;

/**
 * The status of a file as {@link JniFilePathImpl#nativeStat} reports it. Times are whole seconds since the epoch,
 * floored (a time before 1970 is negative); {@link #mtimeNanos} adds the nanoseconds of the modification time.
 */
public final class FileStatus {
    /** The device that holds the file. */
    public final long dev;
    /** The file's inode number on that device. */
    public final long ino;
    /** The type and permission bits ({@code st_mode}). */
    public final int mode;
    /** The number of hard links; a wider count arrives as its low 32 bits. */
    public final int nlink;
    /** The owner's user id, bit for bit (ids above 2^31 are negative). */
    public final int uid;
    /** The owner's group id, bit for bit. */
    public final int gid;
    /** The device a device file stands for; 0 for other files. */
    public final long rdev;
    /** The size in bytes (a link's own size is its target's length). */
    public final long size;
    /** The preferred size of one read or write. */
    public final long blksize;
    /** The 512-byte blocks allocated (a sparse file has fewer than its size). */
    public final long blocks;
    /** The last access, in seconds since the epoch, floored. */
    public final long atime;
    /** The last modification, in seconds since the epoch, floored. */
    public final long mtime;
    /** The last status change, in seconds since the epoch, floored. */
    public final long ctime;
    /** True for a regular file. */
    public final boolean isRegularFile;
    /** True for a directory. */
    public final boolean isDirectory;
    /** True for a character device. */
    public final boolean isCharacterDevice;
    /** True for a block device. */
    public final boolean isBlockDevice;
    /** True for a named pipe. */
    public final boolean isFifo;
    /** True for a symbolic link (only where the status was taken without following links). */
    public final boolean isSymbolicLink;
    /** True for a local socket. */
    public final boolean isSocket;
    /** The nanoseconds within {@link #mtime}'s second, 0 to 999,999,999; 0 where the status was built in Java. */
    public final long mtimeNanos;

    /**
     * A status of these values, in the order of the fields; {@link #mtimeNanos} is 0.
     *
     * @param dev the device
     * @param ino the inode number
     * @param mode the type and permission bits
     * @param nlink the number of hard links
     * @param uid the owner's user id
     * @param gid the owner's group id
     * @param rdev the device a device file stands for
     * @param size the size in bytes
     * @param blksize the preferred size of one read or write
     * @param blocks the 512-byte blocks allocated
     * @param atime the last access, seconds
     * @param mtime the last modification, seconds
     * @param ctime the last status change, seconds
     * @param isRegularFile a regular file
     * @param isDirectory a directory
     * @param isCharacterDevice a character device
     * @param isBlockDevice a block device
     * @param isFifo a named pipe
     * @param isSymbolicLink a symbolic link
     * @param isSocket a local socket
     */
    public FileStatus(long dev, long ino, int mode, int nlink, int uid, int gid, long rdev, long size,
                      long blksize, long blocks, long atime, long mtime, long ctime,
                      boolean isRegularFile, boolean isDirectory, boolean isCharacterDevice,
                      boolean isBlockDevice, boolean isFifo, boolean isSymbolicLink, boolean isSocket) {
        this.dev = dev;
        this.ino = ino;
        this.mode = mode;
        this.nlink = nlink;
        this.uid = uid;
        this.gid = gid;
        this.rdev = rdev;
        this.size = size;
        this.blksize = blksize;
        this.blocks = blocks;
        this.atime = atime;
        this.mtime = mtime;
        this.ctime = ctime;
        this.isRegularFile = isRegularFile;
        this.isDirectory = isDirectory;
        this.isCharacterDevice = isCharacterDevice;
        this.isBlockDevice = isBlockDevice;
        this.isFifo = isFifo;
        this.isSymbolicLink = isSymbolicLink;
        this.isSocket = isSocket;
        this.mtimeNanos = 0;  // nativeStat sets it once built
    }
}
