package fileserver;

import java.nio.channels.FileChannel;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A file open for reading, shared by whoever serves it: bodies go out from
 * explicit offsets, so the file position is never used. The last user to
 * release it closes it.
 */
final class OpenFile {
    final Fs fs;
    /** The descriptor (native transport) or the channel (JDK transport). */
    final int fd;
    final FileChannel channel;
    /** Of the file opened; null when it could not be had. */
    final Fs.Stat stat;
    /** The file's first bytes (all of a small one), read at the open; null when they could not be. */
    final byte[] bytes;
    private final AtomicInteger users = new AtomicInteger(1);
    /** Made at the first answer, for those after it: the ETag, Last-Modified and Content-Type values. */
    private String etag;
    private String modified;
    String type;

    OpenFile(Fs fs, int fd, FileChannel channel, Fs.Stat stat, byte[] bytes) {
        this.fs = fs;
        this.fd = fd;
        this.channel = channel;
        this.stat = stat;
        this.bytes = bytes;
    }

    /** A strong validator: the file's identity, size and modification time to the nanosecond. */
    String etag() {
        if (etag == null) {
            etag = "\"" + Long.toHexString(stat.ino()) + "-" + Long.toHexString(stat.size()) + "-"
                + Long.toHexString(stat.mtime()) + "." + Integer.toHexString(stat.nanos()) + "\"";
        }
        return etag;
    }

    String modified() {
        if (modified == null) modified = HttpDate.format(stat.mtime());
        return modified;
    }

    OpenFile retain() {
        users.incrementAndGet();
        return this;
    }

    void release() {
        if (users.decrementAndGet() == 0) fs.close(this);
    }
}
