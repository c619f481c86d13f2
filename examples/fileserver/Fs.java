package fileserver;

/** The file-system calls of the request handling; paths are exact UTF-8 text under any locale. */
interface Fs {
    /**
     * A file's first bytes, up to this many, are read into memory once it is opened: they go out with
     * the head in one send, so a head never travels alone ahead of the file's bytes.
     */
    int FIRST = 16 * 1024;

    /**
     * What the answers need of a file's status; times floored to the second, with the nanoseconds
     * within it. Two equal statuses are taken for the same unchanged file.
     */
    record Stat(long dev, long ino, int mode, long size, long mtime, int nanos, long ctime) {
        boolean isDirectory() {
            return (mode & 0170000) == 0040000;
        }

        boolean isFile() {
            return (mode & 0170000) == 0100000;
        }

        boolean isLink() {
            return (mode & 0170000) == 0120000;
        }
    }

    /** Status of the path (of a link itself when {@code lstat}), or null when it cannot be had. */
    Stat stat(String path, boolean lstat);

    /**
     * The file open for reading, with the status of what was opened (null when it
     * cannot be had) and, for a regular file, its first bytes; null when it cannot be opened.
     */
    OpenFile open(String path);

    void close(OpenFile file);
}
