package fileserver;

import com.velmar.vfs.FileStatus;
import com.velmar.vfs.JniFileStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileTime;
import java.util.Map;

/** java.nio.file, with the status in the same object the natives fill. */
final class JdkFs implements Fs {
    private static final LinkOption[] FOLLOW = {};
    private static final LinkOption[] NOFOLLOW = {LinkOption.NOFOLLOW_LINKS};
    private static final String ATTRIBUTES = "unix:dev,ino,mode,nlink,uid,gid,rdev,size,lastAccessTime,lastModifiedTime,ctime";

    @Override
    public FileStatus stat(String path, boolean lstat) {
        try {
            return status(FileNames.path(path), lstat ? NOFOLLOW : FOLLOW);
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    private static FileStatus status(Path path, LinkOption[] options) throws IOException {
        Map<String, Object> a = Files.readAttributes(path, ATTRIBUTES, options);
        int mode = (Integer) a.get("mode");
        int type = mode & 0170000;
        return new FileStatus((Long) a.get("dev"), (Long) a.get("ino"), mode, (Integer) a.get("nlink"),
            (Integer) a.get("uid"), (Integer) a.get("gid"), (Long) a.get("rdev"), (Long) a.get("size"), 0, 0,
            seconds(a.get("lastAccessTime")), seconds(a.get("lastModifiedTime")), seconds(a.get("ctime")),
            type == 0100000, type == 040000, type == 020000, type == 060000, type == 010000, type == 0120000,
            type == 0140000);
    }

    private static long seconds(Object time) {
        return ((FileTime) time).toMillis() / 1000;
    }

    @Override
    public FileIn open(String path) {
        Path p;
        FileChannel channel;
        try {
            p = FileNames.path(path);
            channel = FileChannel.open(p, StandardOpenOption.READ, LinkOption.NOFOLLOW_LINKS);
        } catch (IOException | RuntimeException e) {
            return null;
        }
        // A channel has no fstat: its size and position come from the descriptor (a pipe cannot
        // tell its position), its identity and type from the path just after the open.
        FileStatus opened;
        try {
            FileStatus named = status(p, NOFOLLOW);
            channel.position(0);
            opened = new FileStatus(named.dev, named.ino, named.mode, named.nlink, named.uid, named.gid, named.rdev,
                channel.size(), 0, 0, named.atime, named.mtime, named.ctime, named.isRegularFile, named.isDirectory,
                named.isCharacterDevice, named.isBlockDevice, named.isFifo, named.isSymbolicLink, named.isSocket);
        } catch (IOException | RuntimeException e) {
            opened = null;
        }
        FileStatus status = opened;
        return new FileIn() {
            @Override
            public FileStatus status() {
                return status;
            }

            @Override
            public int read(byte[] buf, int off, int len) {
                ByteBuffer b = ByteBuffer.wrap(buf, off, len);
                try {
                    while (b.hasRemaining() && channel.read(b) > 0) {
                        // until full or at the end
                    }
                } catch (IOException e) {
                    return JniFileStream.FAILED;
                }
                return b.position() == off && len > 0 ? JniFileStream.FAILED : b.position() - off;
            }

            @Override
            public boolean seek(long pos) {
                try {
                    channel.position(pos);
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
}
