package fileserver;

import java.util.Iterator;
import java.util.LinkedHashMap;

/**
 * Files kept open by one select loop: a file asked for again costs no open.
 * An entry serves only while the path's status is the one it was opened
 * under, so a file that was replaced, changed or made unreadable is opened
 * afresh (by a worker). Only the loop's thread uses it.
 */
final class FileCache {
    static final int ENTRIES = 64;

    private final LinkedHashMap<String, OpenFile> open = new LinkedHashMap<>(128, 0.75f, true);

    /** The open file of the path, if it has exactly the status {@code st}; the cache keeps its use. */
    OpenFile get(String path, Fs.Stat st) {
        OpenFile f = open.get(path);
        if (f == null || st.equals(f.stat)) return f;
        open.remove(path).release();
        return null;
    }

    /** Takes over one use of the file. */
    void put(String path, OpenFile file) {
        OpenFile old = open.put(path, file);
        if (old != null) old.release();
        if (open.size() > ENTRIES) {
            Iterator<OpenFile> eldest = open.values().iterator();
            eldest.next().release();
            eldest.remove();
        }
    }

    void clear() {
        open.values().forEach(OpenFile::release);
        open.clear();
    }
}
