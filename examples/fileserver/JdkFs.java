package fileserver;

import com.velmar.vfs.FileStatus;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.util.ArrayList;
import java.util.List;

/** java.nio.file, with the status in the same object the natives fill. */
final class JdkFs implements Fs {
    private static final LinkOption[] FOLLOW = {};
    private static final LinkOption[] NOFOLLOW = {LinkOption.NOFOLLOW_LINKS};

    @Override
    public FileStatus stat(String path, boolean lstat) {
        PosixFileAttributes a;
        try {
            a = Files.readAttributes(Path.of(path), PosixFileAttributes.class, lstat ? NOFOLLOW : FOLLOW);
        } catch (IOException | RuntimeException e) {
            return null;
        }
        int mode = 0;
        for (PosixFilePermission p : a.permissions()) mode |= 0400 >> p.ordinal();
        mode |= a.isDirectory() ? 040000 : a.isSymbolicLink() ? 0120000 : a.isRegularFile() ? 0100000 : 0;
        return new FileStatus(0, 0, mode, 1, 0, 0, 0, a.size(), 0, 0, a.lastAccessTime().toMillis() / 1000,
            a.lastModifiedTime().toMillis() / 1000, a.lastModifiedTime().toMillis() / 1000, a.isRegularFile(),
            a.isDirectory(), false, false, false, a.isSymbolicLink(), false);
    }

    @Override
    public FileIn open(String path) {
        FileChannel channel;
        try {
            channel = FileChannel.open(Path.of(path), StandardOpenOption.READ);
        } catch (IOException | RuntimeException e) {
            return null;
        }
        return new FileIn() {
            @Override
            public int read(byte[] buf, int off, int len) {
                ByteBuffer b = ByteBuffer.wrap(buf, off, len);
                try {
                    while (b.hasRemaining() && channel.read(b) > 0) {
                        // until full or at the end
                    }
                } catch (IOException e) {
                    return -1;
                }
                return b.position() == off && len > 0 ? -1 : b.position() - off;
            }

            @Override
            public boolean rewind() {
                try {
                    channel.position(0);
                    return true;
                } catch (IOException e) {
                    return false;
                }
            }

            @Override
            public void close() {
                try {
                    channel.close();
                } catch (IOException ignored) {
                    // nothing more to do
                }
            }
        };
    }

    @Override
    public String[] list(String dir) {
        List<String> names = new ArrayList<>();
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(Path.of(dir))) {
            for (Path p : entries) names.add(p.getFileName().toString());
        } catch (IOException | RuntimeException e) {
            return null;
        }
        return names.toArray(new String[0]);
    }

    @Override
    public String realPath(String path) {
        try {
            return Path.of(path).toRealPath().toString();
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }
}
