package fileserver;

import com.velmar.vfs.FileStatus;
import com.velmar.vfs.JniFileStream;

/** The file-system calls of the request handling; paths are exact UTF-8 text under any locale. */
interface Fs {
    /** Status of the path (of a link itself when {@code lstat}), or null when it cannot be had. */
    FileStatus stat(String path, boolean lstat);

    /** An open file for reading, or null when it cannot be opened. */
    FileIn open(String path);

    /** Names in a directory, or null. */
    default String[] list(String dir) {
        return FileNames.list(dir);
    }

    /** A link's target as stored, or null when it cannot be read exactly. */
    default String readLink(String path) {
        return FileNames.readLink(path);
    }

    interface FileIn {
        /**
         * Status of the file actually opened, taken once at open: at least its
         * identity (dev, ino), its type and its size; null when it cannot be had.
         */
        FileStatus status();

        /** Fills up to {@code len} bytes; fewer only at the end of the file; {@link JniFileStream#FAILED} at its end or on failure. */
        int read(byte[] buf, int off, int len);

        /** Moves to byte {@code pos} of the file; false when that fails. */
        boolean seek(long pos);

        void close();
    }
}
