package fileserver;

import com.velmar.vfs.FileStatus;
import com.velmar.vfs.JniFilePathImpl;
import com.velmar.vfs.JniFileStream;
import java.nio.charset.StandardCharsets;

/**
 * Paths as UTF-8 byte arrays, files as plain descriptors. The library has no
 * call that reads a directory or a link: the handler takes those two from the JDK.
 */
final class NativeFs implements Fs {
    private static final JniFilePathImpl PATH = new JniFilePathImpl();
    private static final JniFileStream FILE = new JniFileStream();

    @Override
    public Stat stat(String path, boolean lstat) {
        return stat(path.getBytes(StandardCharsets.UTF_8), lstat);
    }

    private static Stat stat(byte[] path, boolean lstat) {
        FileStatus s = JniFilePathImpl.nativeStat(path, lstat);
        return s == null ? null : new Stat(s.dev, s.ino, s.mode, s.size, s.mtime, (int) s.mtimeNanos, s.ctime);
    }

    @Override
    public OpenFile open(String path) {
        byte[] name = path.getBytes(StandardCharsets.UTF_8);
        int fd = PATH.nativeOpenRead(name, name.length);
        if (fd < 0) return null;
        // The status of the descriptor itself: the library has no fstat, but the link in /proc leads to it.
        Stat opened = stat(("/proc/self/fd/" + fd).getBytes(StandardCharsets.US_ASCII), false);
        byte[] bytes = null;
        if (opened != null && opened.isFile()) {
            bytes = new byte[(int) Math.min(opened.size(), FIRST)];
            int n = 0;
            for (int got; n < bytes.length && (got = FILE.nativeRead(fd, bytes, n, bytes.length - n)) > 0; ) n += got;
            if (n < bytes.length) bytes = null; // shrank meanwhile: sent from the file, which ends the connection
        }
        return new OpenFile(this, fd, null, opened, bytes);
    }

    @Override
    public void close(OpenFile file) {
        FILE.nativeClose(file.fd);
    }
}
