package com.velmar.vfs;

/**
 * The status of a file as {@link JniFilePathImpl#nativeStat} reports it. Times are whole seconds since the epoch,
 * floored (a time before 1970 is negative); {@link #mtimeNanos} adds the nanoseconds of the modification time.
 */
public final class FileStatus {
    public final long dev;
    public final long ino;
    public final int mode;
    public final int nlink;
    public final int uid;
    public final int gid;
    public final long rdev;
    public final long size;
    public final long blksize;
    public final long blocks;
    public final long atime;
    public final long mtime;
    public final long ctime;
    public final boolean isRegularFile;
    public final boolean isDirectory;
    public final boolean isCharacterDevice;
    public final boolean isBlockDevice;
    public final boolean isFifo;
    public final boolean isSymbolicLink;
    public final boolean isSocket;
    /** The nanoseconds within {@link #mtime}'s second, 0 to 999,999,999; 0 where the status was built in Java. */
    public final long mtimeNanos;

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
