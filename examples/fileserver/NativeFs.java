package fileserver;

import com.velmar.vfs.FileStatus;
import com.velmar.vfs.JniFilePathImpl;
import com.velmar.vfs.JniFileStream;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;

/** Paths as UTF-8 byte arrays, files as plain descriptors. */
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
        return new FileIn() {
            @Override
            public int read(byte[] buf, int off, int len) {
                return FILE.nativeRead(fd, buf, off, len);
            }

            @Override
            public boolean rewind() {
                return FILE.nativeSeekStart(fd, 0) == 0;
            }

            @Override
            public void close() {
                FILE.nativeClose(fd);
            }
        };
    }

    // The library has no call that reads a directory or a link: those two come from the JDK.
    @Override
    public String[] list(String dir) {
        return new File(dir).list();
    }

    @Override
    public String realPath(String path) {
        try {
            return new File(path).getCanonicalPath();
        } catch (IOException e) {
            return null;
        }
    }
}
