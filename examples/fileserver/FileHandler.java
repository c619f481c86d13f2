package fileserver;

import java.net.FileNameMap;
import java.net.URLConnection;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;

/**
 * What a request asks of the site, and the answer: the path's walk under the
 * root, the access check, conditionals and ranges, listings and content types.
 * The root is a real path (no links in it).
 */
final class FileHandler {
    /** Types the JDK's own map lacks. */
    private static final Map<String, String> MORE_TYPES = Map.of("mjs", "text/javascript", "wasm", "application/wasm",
        "ico", "image/x-icon", "avif", "image/avif", "woff", "font/woff", "woff2", "font/woff2", "ttf", "font/ttf",
        "otf", "font/otf");
    private static final FileNameMap JDK_TYPES = URLConnection.getFileNameMap();
    /** Types found so far by extension: the JDK's map locks on every look-up. Bounded, as clients choose the names. */
    private static final Map<String, String> KNOWN_TYPES = new ConcurrentHashMap<>();
    /** Links followed in one lookup before it counts as a loop, as the kernel counts them. */
    private static final int MAX_LINKS = 40;
    /** The kernel stamps a change with a clock that may lag the process's by a tick. */
    private static final long SETTLE_MS = 100;

    private final String root;
    private final Fs fs;
    private final boolean dotfiles;

    FileHandler(String root, Fs fs, boolean dotfiles) {
        this.root = root;
        this.fs = fs;
        this.dotfiles = dotfiles;
    }

    /**
     * Fills {@code a} with the answer to {@code r}. With a {@code cache} (on a
     * select loop) nothing may wait: a file not open in the cache, or a listing,
     * makes it return false with {@code a} unfilled, for a worker to answer
     * (without a cache). A file that a worker opens is left in {@code a.opened}.
     */
    boolean answer(Request r, Response a, FileCache cache) {
        if (r.error != 0) return fail(a, r, r.error);
        if (!r.method.equals("GET") && !r.head) return fail(a, r, 405);
        String raw = r.target;
        if (raw.startsWith("http://") || raw.startsWith("https://")) {
            int slash = raw.indexOf('/', raw.indexOf("//") + 2);
            raw = slash < 0 ? "/" : raw.substring(slash);
        }
        if (!raw.startsWith("/")) return fail(a, r, 400);
        int cut = raw.indexOf('?');
        if (cut >= 0) raw = raw.substring(0, cut);
        String decoded = FileNames.decode(raw);
        if (decoded == null) return fail(a, r, 400);
        List<String> segments = normalise(decoded);
        if (segments == null) return fail(a, r, 403);

        Found found = resolve(List.of(), segments);
        if (found == FORBIDDEN) return fail(a, r, 403);
        if (found == null) return fail(a, r, 404);
        if (found.stat.isDirectory()) {
            if (!raw.endsWith("/")) {
                // Built from the segments: the raw target may be longer than the answer's head.
                StringBuilder to = new StringBuilder("/");
                for (String segment : segments) to.append(segment).append('/');
                return redirect(a, r, encode(to.toString()));
            }
            Found index = resolve(found.real, List.of("index.html"));
            if (index == FORBIDDEN) return fail(a, r, 403);
            if (index == null || !index.stat.isFile()) return cache == null && listing(a, r, found.path, decoded);
            found = index;
        }
        if (!found.stat.isFile()) return fail(a, r, 403);
        return file(a, r, found.path, found.stat, cache);
    }

    /** Where a request leads: the path with every link resolved, its names below the root, its status. */
    private record Found(String path, List<String> real, Fs.Stat stat) {}

    /** A path that exists but leaves the root through a link, or through a link that cannot be read exactly. */
    private static final Found FORBIDDEN = new Found("", List.of(), null);

    /**
     * Walks {@code rest} down from root + {@code real} one name at a time, as the
     * kernel would, reading each link on the way and following it only while it
     * stays under the root: null when the path is missing or passes a hidden name
     * (one that starts with a dot, a link's target included), FORBIDDEN when it
     * leaves. Every name is judged on the bytes that are then opened, afresh for each request.
     */
    private Found resolve(List<String> real, List<String> rest) {
        List<String> at = new ArrayList<>(real);
        ArrayDeque<String> todo = new ArrayDeque<>(rest);
        Fs.Stat st = null;
        for (int links = 0; !todo.isEmpty(); ) {
            String name = todo.poll();
            if (name.isEmpty() || name.equals(".")) continue;
            st = null;
            if (name.equals("..")) {
                if (at.isEmpty()) return FORBIDDEN;
                at.remove(at.size() - 1);
                continue;
            }
            if (!dotfiles && name.startsWith(".")) return null;
            String path = join(at) + "/" + name;
            st = fs.stat(path, true);
            if (st == null) return null;
            if (st.isLink()) {
                if (++links > MAX_LINKS) return null;
                String target = FileNames.readLink(path);
                if (target == null) return FORBIDDEN;
                if (target.startsWith("/")) {
                    if (!root.equals("/") && !target.equals(root) && !target.startsWith(root + "/")) return FORBIDDEN;
                    at.clear();
                    target = target.substring(root.length());
                }
                String[] parts = target.split("/", -1);
                for (int i = parts.length - 1; i >= 0; i--) todo.push(parts[i]);
                st = null;
                continue;
            }
            // Below a file nothing is found (a ".." there would wrongly climb back).
            if (!st.isDirectory() && !todo.isEmpty()) return null;
            at.add(name);
        }
        String path = join(at);
        if (st == null) st = fs.stat(path, true);
        return st == null ? null : new Found(path, at, st);
    }

    private String join(List<String> names) {
        if (names.isEmpty()) return root;
        StringBuilder b = new StringBuilder(root);
        for (String name : names) b.append('/').append(name);
        return b.toString();
    }

    /**
     * A regular file's answer, {@code st} being the status that the walk found.
     * The file is opened (or was, under this very status) before any condition is
     * judged, so a file that may not be read says nothing of itself; the answer
     * describes the file actually opened.
     */
    private boolean file(Response a, Request r, String path, Fs.Stat st, FileCache cache) {
        OpenFile f;
        if (cache != null) {
            f = cache.get(path, st);
            if (f == null) return false;
            f.retain();
        } else {
            long opening = System.currentTimeMillis();
            f = fs.open(path);
            if (f == null) return refused(a, r, path);
            // Only the file that the walk judged, and only a regular file: whatever was swapped in since goes.
            Fs.Stat s = f.stat;
            if (s == null || !s.isFile() || s.dev() != st.dev() || s.ino() != st.ino()) {
                f.release();
                return fail(a, r, 403);
            }
            // A change in the second of its last change leaves the status as it was (the modification
            // time can be set back): the first bytes read now are kept only once a change would show.
            if (opening >= (s.ctime() + 1) * 1000 + SETTLE_MS) {
                a.opened = f.retain();
                a.openedPath = path;
            }
        }
        Fs.Stat s = f.stat;
        long size = s.size();
        String etag = f.etag();
        if (f.type == null) f.type = contentType(path);
        if (r.ifNoneMatch != null ? matches(r.ifNoneMatch, etag) : s.mtime() <= r.ifModifiedSince) {
            f.release();
            a.status(304, r.keepAlive).header("ETag", etag).header("Last-Modified", f.modified()).end(Response.NONE, 0, true);
            return true;
        }
        long first = 0;
        long last = size - 1;
        int status = 200;
        if (r.range != null && !r.head && (r.ifRange == null || r.ifRange.equals(etag)
                || (!r.ifRange.startsWith("\"") && !r.ifRange.startsWith("W/") && HttpDate.parse(r.ifRange) == s.mtime()))) {
            long[] range = range(r.range, size);
            if (range == UNSATISFIABLE) {
                f.release();
                a.error(416, r.keepAlive, r.head, "Content-Range", "bytes */" + size);
                return true;
            }
            if (range != null) {
                first = range[0];
                last = range[1];
                status = 206;
            }
        }
        a.status(status, r.keepAlive).type(f.type).length(last - first + 1)
            .header("Accept-Ranges", "bytes").header("ETag", etag).header("Last-Modified", f.modified());
        if (status == 206) a.header("Content-Range", "bytes " + first + "-" + last + "/" + size);
        if (r.head) {
            f.release();
            a.end(Response.NONE, 0, true);
        } else {
            a.end(f, first, last - first + 1);
        }
        return true;
    }

    /** If-None-Match: "*", or a list of tags compared weakly (W/ is ignored). */
    static boolean matches(String ifNoneMatch, String etag) {
        for (String tag : ifNoneMatch.split(",")) {
            tag = tag.trim();
            if (tag.equals("*") || (tag.startsWith("W/") ? tag.substring(2) : tag).equals(etag)) return true;
        }
        return false;
    }

    /** No byte of the file is asked for: answered 416. */
    static final long[] UNSATISFIABLE = {};

    /**
     * The first and last byte of a single range of a file of {@code size} bytes;
     * null when the header is to be ignored (not bytes, not valid, several ranges:
     * the whole file is sent), UNSATISFIABLE when it asks for nothing the file has.
     */
    static long[] range(String header, long size) {
        if (!header.regionMatches(true, 0, "bytes=", 0, 6)) return null;
        String range = header.substring(6);
        int dash = range.indexOf('-');
        if (dash < 0 || range.indexOf(',') >= 0) return null;
        long a = number(range.substring(0, dash).trim());
        long b = number(range.substring(dash + 1).trim());
        if (a == -1) { // the last b bytes
            if (b < 0) return null;
            return b == 0 || size == 0 ? UNSATISFIABLE : new long[] {Math.max(0, size - b), size - 1};
        }
        if (a < 0 || b == -2 || (b >= 0 && b < a)) return null;
        if (a >= size) return UNSATISFIABLE;
        return new long[] {a, b < 0 ? size - 1 : Math.min(b, size - 1)};
    }

    /** Decimal digits as a number, leading zeros whatever their count, huge ones as Long.MAX_VALUE; -1 when empty, -2 when not digits. */
    private static long number(String text) {
        if (text.isEmpty()) return -1;
        int from = 0;
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            if (c < '0' || c > '9') return -2;
            if (c == '0' && from == i) from++;
        }
        return text.length() - from > 18 ? Long.MAX_VALUE : from == text.length() ? 0 : Long.parseLong(text, from, text.length(), 10);
    }

    private boolean listing(Response a, Request r, String dir, String shown) {
        String[] names = FileNames.list(dir);
        if (names == null) return refused(a, r, dir);
        Arrays.sort(names);
        String title = html(shown);
        StringBuilder b = new StringBuilder(256 + names.length * 160);
        b.append("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Index of ").append(title)
            .append("</title></head>\n<body><h1>Index of ").append(title).append("</h1>\n<table>\n")
            .append("<tr><th>Mode</th><th>Size</th><th>Modified (UTC)</th><th>Name</th></tr>\n");
        if (!shown.equals("/")) b.append("<tr><td></td><td></td><td></td><td><a href=\"../\">../</a></td></tr>\n");
        for (String name : names) {
            if (name.startsWith(".") && !dotfiles) continue;
            Fs.Stat st = fs.stat(dir + "/" + name, true);
            if (st == null) continue;
            String shownName = st.isDirectory() ? name + "/" : name;
            b.append("<tr><td><code>").append(mode(st)).append("</code></td><td>").append(st.size())
                .append("</td><td>").append(HttpDate.formatShort(st.mtime())).append("</td><td><a href=\"")
                .append(html(encode(shownName))).append("\">").append(html(shownName)).append("</a></td></tr>\n");
        }
        b.append("</table></body></html>\n");
        byte[] page = b.toString().getBytes(StandardCharsets.UTF_8);
        a.status(200, r.keepAlive).type("text/html; charset=utf-8").length(page.length).end(page, page.length, r.head);
        return true;
    }

    private boolean redirect(Response a, Request r, String location) {
        byte[] page = ("<a href=\"" + html(location) + "\">moved</a>\n").getBytes(StandardCharsets.UTF_8);
        a.status(301, r.keepAlive).header("Location", location).type("text/html; charset=utf-8").length(page.length)
            .end(page, page.length, r.head);
        return true;
    }

    /**
     * An open or listing that failed: 403, or 503 when the process may read the path (access(2) needs no
     * descriptor): then it was out of descriptors, which is no fault of the file.
     */
    private static boolean refused(Response a, Request r, String path) {
        return fail(a, r, Files.isReadable(FileNames.path(path)) ? 503 : 403);
    }

    /** Errors in the request itself end the connection; the others keep it as the request asked. */
    private static boolean fail(Response a, Request r, int status) {
        a.error(status, status != 400 && status != 431 && r.keepAlive, r.head, null, null);
        return true;
    }

    /** The path's segments with "." and ".." applied; null when ".." climbs above the root. */
    static List<String> normalise(String path) {
        List<String> segments = new ArrayList<>();
        for (String segment : path.split("/")) {
            if (segment.isEmpty() || segment.equals(".")) continue;
            if (segment.equals("..")) {
                if (segments.isEmpty()) return null;
                segments.remove(segments.size() - 1);
            } else {
                segments.add(segment);
            }
        }
        return segments;
    }

    /** By the name's extension: the JDK's map, then the types it lacks; text is UTF-8. */
    static String contentType(String path) {
        int dot = path.lastIndexOf('.');
        if (dot < path.lastIndexOf('/')) return "application/octet-stream";
        String ext = path.substring(dot + 1).toLowerCase(Locale.ROOT);
        String type = KNOWN_TYPES.get(ext);
        if (type != null) return type;
        type = JDK_TYPES.getContentTypeFor("x." + ext);
        if (type == null) type = MORE_TYPES.get(ext);
        type = type == null ? "application/octet-stream" : type.startsWith("text/") ? type + "; charset=utf-8" : type;
        if (KNOWN_TYPES.size() < 256) KNOWN_TYPES.put(ext, type);
        return type;
    }

    /** "drwxr-xr-x" from the mode. */
    static String mode(Fs.Stat st) {
        int mode = st.mode();
        char type = "-pc-d-b---l-s---".charAt(mode >> 12 & 15); // by the file type's bits
        char[] m = {type, 'r', 'w', 'x', 'r', 'w', 'x', 'r', 'w', 'x'};
        for (int i = 0; i < 9; i++) if ((mode & (1 << (8 - i))) == 0) m[i + 1] = '-';
        if ((mode & 04000) != 0) m[3] = m[3] == 'x' ? 's' : 'S';
        if ((mode & 02000) != 0) m[6] = m[6] == 'x' ? 's' : 'S';
        if ((mode & 01000) != 0) m[9] = m[9] == 'x' ? 't' : 'T';
        return new String(m);
    }

    private static String encode(String name) {
        return FileNames.escape(name, c -> (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || "-._~/".indexOf(c) >= 0);
    }

    private static String html(String text) {
        return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("\"", "&quot;");
    }
}
