package fileserver;

import com.velmar.vfs.FileStatus;
import com.velmar.vfs.JniFilePathImpl;
import com.velmar.vfs.JniFileStream;
import java.nio.charset.StandardCharsets;

/**
 * Paths as UTF-8 byte arrays, files as plain descriptors. The library has no
 * call that reads a directory or a link: those two come from the JDK.
 */
final class NativeFs implements Fs {
    private static final JniFilePathImpl PATH = new JniFilePathImpl();
    private static final JniFileStream FILE = new JniFileStream();

    @Override
    public FileStatus stat(String path, boolean lstat) {
        return JniFilePathImpl.nativeStat(path.getBytes(StandardCharsets.UTF_8), lstat);
    }

    @Override
    public FileIn open(String path) {
        byte[] name = path.getBytes(StandardCharsets.UTF_8);
        int fd = PATH.nativeOpenRead(name, name.length);
        if (fd < 0) return null;
        // The status of the descriptor itself: the library has no fstat, but the link in /proc leads to it.
        FileStatus opened = JniFilePathImpl.nativeStat(("/proc/self/fd/" + fd).getBytes(StandardCharsets.US_ASCII), false);
        return new FileIn() {
            @Override
            public FileStatus status() {
                return opened;
            }

            @Override
            public int read(byte[] buf, int off, int len) {
                return FILE.nativeRead(fd, buf, off, len);
            }

            @Override
            public boolean seek(long pos) {
                return FILE.nativeSeekStart(fd, pos) == (int) pos; // the result is the position's low 32 bits
            }

            @Override
            public void close() {
                FILE.nativeClose(fd);
            }
        };
    }
}
