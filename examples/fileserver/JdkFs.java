package fileserver;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileTime;
import java.time.Instant;
import java.util.Map;

/** java.nio.file, with the status in the same record the natives fill. */
final class JdkFs implements Fs {
    private static final LinkOption[] FOLLOW = {};
    private static final LinkOption[] NOFOLLOW = {LinkOption.NOFOLLOW_LINKS};
    private static final String ATTRIBUTES = "unix:dev,ino,mode,size,lastModifiedTime,ctime";

    @Override
    public Stat stat(String path, boolean lstat) {
        try {
            return status(FileNames.path(path), lstat ? NOFOLLOW : FOLLOW);
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    private static Stat status(Path path, LinkOption[] options) throws IOException {
        Map<String, Object> a = Files.readAttributes(path, ATTRIBUTES, options);
        // An Instant's seconds are floored, as the kernel's are, also before 1970.
        Instant mtime = ((FileTime) a.get("lastModifiedTime")).toInstant();
        return new Stat((Long) a.get("dev"), (Long) a.get("ino"), (Integer) a.get("mode"), (Long) a.get("size"),
            mtime.getEpochSecond(), mtime.getNano(), ((FileTime) a.get("ctime")).toInstant().getEpochSecond());
    }

    @Override
    public OpenFile open(String path) {
        Path p;
        FileChannel channel;
        try {
            p = FileNames.path(path);
            channel = FileChannel.open(p, StandardOpenOption.READ, LinkOption.NOFOLLOW_LINKS);
        } catch (IOException | RuntimeException e) {
            return null;
        }
        // A channel has no fstat: its size comes from the descriptor, its identity and type from
        // the path just after the open (what was opened is then judged by the identity).
        Stat opened = null;
        byte[] bytes = null;
        try {
            Stat named = status(p, NOFOLLOW);
            opened = new Stat(named.dev(), named.ino(), named.mode(), channel.size(), named.mtime(), named.nanos(),
                named.ctime());
            if (opened.isFile()) {
                ByteBuffer b = ByteBuffer.allocate((int) Math.min(opened.size(), FIRST));
                while (b.hasRemaining() && channel.read(b, b.position()) > 0) {
                    // until full or at the end
                }
                if (!b.hasRemaining()) bytes = b.array();
            }
        } catch (IOException | RuntimeException e) {
            // said by a null status
        }
        return new OpenFile(this, -1, channel, opened, bytes);
    }

    @Override
    public void close(OpenFile file) {
        try {
            file.channel.close();
        } catch (IOException ignored) {
            // nothing more to do
        }
    }
}
