package fileserver;

import com.velmar.vfs.FileStatus;

/** The file-system calls of the request handling. */
interface Fs {
    /** Status of the path (of a link itself when {@code lstat}), or null when it cannot be had. */
    FileStatus stat(String path, boolean lstat);

    /** An open file for reading, or null when it cannot be opened. */
    FileIn open(String path);

    /** Names in a directory, or null. */
    String[] list(String dir);

    /** The path with every link resolved, or null. */
    String realPath(String path);

    interface FileIn {
        /** Fills up to {@code len} bytes; fewer only at the end of the file; -1 at its end or on failure. */
        int read(byte[] buf, int off, int len);

        /** Back to the start of the file; false when that fails. */
        boolean rewind();

        void close();
    }
}
