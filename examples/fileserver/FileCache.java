package fileserver;

import com.velmar.vfs.FileStatus;
import java.util.Iterator;
import java.util.LinkedHashMap;

/**
 * Small files kept open by one thread (or one connection): a file asked for
 * again costs a seek instead of an open, a status call and a close. An entry
 * serves only while the path's status is the one it was opened under, so a
 * file that was replaced, changed or made unreadable is opened afresh.
 * Not thread-safe: each owner has its own.
 */
final class FileCache {
    static final int ENTRIES = 32;

    private record Entry(Fs.FileIn file, FileStatus status) {}

    private final Fs fs;
    private final LinkedHashMap<String, Entry> open = new LinkedHashMap<>(64, 0.75f, true);

    FileCache(Fs fs) {
        this.fs = fs;
    }

    /** The file, positioned at its start, or null; it stays open: the caller does not close it. */
    Fs.FileIn open(String path, FileStatus status) {
        Entry e = open.get(path);
        if (e != null) {
            if (same(e.status, status) && e.file.seek(0)) return e.file;
            drop(path);
        }
        Fs.FileIn file = fs.open(path);
        if (file == null) return null;
        if (open.size() >= ENTRIES) {
            Iterator<Entry> eldest = open.values().iterator();
            eldest.next().file.close();
            eldest.remove();
        }
        open.put(path, new Entry(file, status));
        return file;
    }

    /** Closes the path's file, after a read that did not go as its status promised. */
    void drop(String path) {
        Entry e = open.remove(path);
        if (e != null) e.file.close();
    }

    /** Hands the path's file over to the caller, who closes it. */
    void forget(String path) {
        open.remove(path);
    }

    void clear() {
        open.values().forEach(e -> e.file.close());
        open.clear();
    }

    private static boolean same(FileStatus a, FileStatus b) {
        return a == b || (a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime == b.mtime
            && a.ctime == b.ctime && a.mode == b.mode);
    }
}
