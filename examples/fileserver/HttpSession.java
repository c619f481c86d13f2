package fileserver;

import com.velmar.vfs.FileStatus;
import java.net.FileNameMap;
import java.net.URLConnection;
import java.nio.charset.StandardCharsets;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;

/**
 * The requests of one connection: reads a request, answers it, and tells the
 * server whether the connection stays open. Both transports run this same code.
 */
final class HttpSession {
    /** Longest request head (request line and headers); a longer one is answered 431. */
    static final int MAX_HEAD = 8192;

    /**
     * What every connection shares: the root directory (a real path, no links in
     * it), the file system, the access log, and whether names starting with a dot
     * are served.
     */
    record Site(String root, Fs fs, AccessLog log, boolean dotfiles) {
        Site(String root, Fs fs, AccessLog log) {
            this(root, fs, log, false);
        }
    }

    interface AccessLog {
        void line(String text);
    }

    private static final byte[] NONE = new byte[0];
    private static final ThreadLocal<Scratch> SCRATCH = ThreadLocal.withInitial(Scratch::new);
    /** Types the JDK's own map lacks. */
    private static final Map<String, String> MORE_TYPES = Map.of("mjs", "text/javascript", "wasm", "application/wasm",
        "ico", "image/x-icon", "avif", "image/avif", "woff", "font/woff", "woff2", "font/woff2", "ttf", "font/ttf",
        "otf", "font/otf");
    private static final FileNameMap JDK_TYPES = URLConnection.getFileNameMap();
    /** Types found so far by extension: the JDK's map locks on every look-up. Bounded, as clients choose the names. */
    private static final Map<String, String> KNOWN_TYPES = new ConcurrentHashMap<>();

    private final Conn conn;
    private final Site site;
    private final byte[] in = new byte[MAX_HEAD];
    private int start;
    private int end;
    private String peer;
    private Pending pending;
    private FileCache files;
    private boolean unread;
    /** When the first byte of the request head being read arrived (System.nanoTime), or 0 between requests. */
    private volatile long headStarted;
    /** The server's own marks while the connection is parked: its loop, when it is due, its place among the due. */
    int home;
    long due;
    int dueSlot = -1;

    HttpSession(Conn conn, Site site) {
        this.conn = conn;
        this.site = site;
    }

    Conn conn() {
        return conn;
    }

    /** When the request head now being read began (System.nanoTime), or 0 when none is under way. */
    long headStarted() {
        return headStarted;
    }

    /** Answers 503 to a connection the server has no room for; the caller closes it. */
    void refuse() {
        fail(SCRATCH.get(), 503, "-", false);
    }

    /** Bytes of a following request are already here (a pipelining client). */
    boolean hasBuffered() {
        return start < end;
    }

    /** What the server does with the connection after a call. */
    enum Step {
        /** The answer is out and the connection stays open. */
        KEEP,
        /** The connection is to be closed (or already is). */
        CLOSE,
        /** The head and the start of the body are out; {@link #finish} sends the rest. */
        MORE,
        /** The request's head is not all here, and no more reads were allowed. */
        PARTIAL
    }

    /**
     * Reads one request, with at most {@code maxReads} reads (-1: as many as it
     * takes), and answers it; a file answered whole may come from {@code files}
     * (the calling thread's own, or null).
     */
    Step serve(int maxReads, FileCache files) {
        this.files = files;
        int headEnd = readHead(maxReads);
        if (headEnd == -1) return Step.CLOSE;
        if (headEnd == -3) return Step.PARTIAL;
        Scratch s = SCRATCH.get();
        if (headEnd == -2) {
            fail(s, 431, "-", false);
            unread = true;
            return Step.CLOSE;
        }
        Request r = new Request();
        int status = parse(headEnd, r);
        start = headEnd;
        if (start == end) start = end = 0;
        headStarted = 0; // a pipelined head is timed from when it is read (readHead), not while this answer goes out
        if (status != 0) {
            fail(s, status, r.line, false);
            unread = true;
            return Step.CLOSE;
        }
        boolean keep = !r.method.equals("GET") && !r.method.equals("HEAD") ? fail(s, 405, r.line, r.keepAlive)
            : answer(s, r);
        if (pending != null) return Step.MORE;
        // A client may have sent more (a body, a request after a close token): closing over unread
        // bytes would reset the connection and could destroy this answer before it is read.
        unread = !keep;
        return keep ? Step.KEEP : Step.CLOSE;
    }

    /**
     * After CLOSE: the client may still be sending what was not read, which the
     * server drains ({@link Conn#drain}) before it closes.
     */
    boolean unread() {
        return unread;
    }

    /** Sends the rest of a body whose start went out with the head; false when the connection must close. */
    boolean finish() {
        Pending p = pending;
        pending = null;
        byte[] body = SCRATCH.get().body;
        try {
            for (long remaining = p.remaining; remaining > 0; ) {
                int n = (int) Math.min(remaining, body.length);
                // The head promised the length: a file that shrank ends the connection.
                if (p.file.read(body, 0, n) != n) {
                    conn.close();
                    return false;
                }
                if (conn.write2(NONE, 0, body, 0, n) < 0) return false;
                remaining -= n;
            }
        } finally {
            p.file.close();
        }
        log(p.line, p.status, p.sent);
        return p.keepAlive;
    }

    /** The rest of a file answer. */
    private record Pending(Fs.FileIn file, long remaining, String line, int status, long sent, boolean keepAlive) {}

    // ------------------------------------------------------------ reading

    /**
     * Index just past the blank line that ends the head; -1 when the connection
     * ended, -2 when the head is too long, -3 when it is not complete after
     * {@code maxReads} reads.
     */
    private int readHead(int maxReads) {
        if (headStarted == 0 && start < end) headStarted = System.nanoTime();
        int scanned = start;
        for (int reads = 0; ; reads++) {
            while (start < end && scanned == start && (in[start] == '\r' || in[start] == '\n')) scanned = ++start;
            for (int i = Math.max(scanned, start + 1); i < end; i++) {
                if (in[i] == '\n' && (in[i - 1] == '\n' || (in[i - 1] == '\r' && i - 2 >= start && in[i - 2] == '\n'))) {
                    return i + 1;
                }
            }
            if (reads == maxReads) return -3;
            scanned = Math.max(start, end - 2);
            if (end == in.length) {
                if (start == 0) return -2;
                System.arraycopy(in, start, in, 0, end - start);
                scanned -= start;
                end -= start;
                start = 0;
            }
            int n = conn.read(in, end, in.length - end);
            if (n <= 0) return -1;
            if (headStarted == 0) headStarted = System.nanoTime();
            end += n;
        }
    }

    private static final class Request {
        String line = "-";
        String method;
        String target;
        boolean head;
        boolean keepAlive;
        boolean body;
        long ifModifiedSince = -1;
        String ifNoneMatch;
        String range;
        String ifRange;
    }

    /** Fills the request from the head; 0, or the status of the error answer. */
    private int parse(int headEnd, Request r) {
        int lineEnd = indexOf('\n', start, headEnd);
        int le = lineEnd > start && in[lineEnd - 1] == '\r' ? lineEnd - 1 : lineEnd;
        if (le - start > 200) r.line = ascii(start, start + 200) + "...";
        else r.line = ascii(start, le);
        int sp1 = indexOf(' ', start, le);
        int sp2 = sp1 < 0 ? -1 : indexOf(' ', sp1 + 1, le);
        if (sp1 <= start || sp2 <= sp1 + 1 || indexOf(' ', sp2 + 1, le) >= 0) return 400;
        for (int i = start; i < sp1; i++) if (!tchar(in[i])) return 400;
        for (int i = sp1 + 1; i < sp2; i++) if (in[i] <= ' ' || in[i] >= 127) return 400;
        r.method = ascii(start, sp1);
        r.target = ascii(sp1 + 1, sp2);
        r.head = r.method.equals("HEAD");
        int minor;
        if (le - sp2 - 1 != 8 || !ascii(sp2 + 1, le - 1).equals("HTTP/1.")) return 400;
        else if (in[le - 1] == '1') minor = 1;
        else if (in[le - 1] == '0') minor = 0;
        else return 400;

        boolean close = false;
        boolean keepAlive = false;
        int hosts = 0;
        for (int p = lineEnd + 1; p < headEnd; ) {
            int nl = indexOf('\n', p, headEnd);
            int e = nl > p && in[nl - 1] == '\r' ? nl - 1 : nl;
            if (e == p) break;
            if (in[p] == ' ' || in[p] == '\t') return 400;
            int colon = indexOf(':', p, e);
            if (colon <= p) return 400;
            for (int i = p; i < colon; i++) if (!tchar(in[i])) return 400;
            int vs = colon + 1;
            int ve = e;
            while (vs < ve && (in[vs] == ' ' || in[vs] == '\t')) vs++;
            while (ve > vs && (in[ve - 1] == ' ' || in[ve - 1] == '\t')) ve--;
            // Bytes 0x80 to 0xFF (obs-text) are allowed in values; other controls are not.
            for (int i = vs; i < ve; i++) if (((in[i] & 0xFF) < ' ' && in[i] != '\t') || in[i] == 127) return 400;
            String name = ascii(p, colon);
            if (name.equalsIgnoreCase("host")) {
                hosts++;
            } else if (name.equalsIgnoreCase("connection")) {
                for (String token : ascii(vs, ve).split(",")) {
                    close |= token.trim().equalsIgnoreCase("close");
                    keepAlive |= token.trim().equalsIgnoreCase("keep-alive");
                }
            } else if (name.equalsIgnoreCase("if-modified-since")) {
                r.ifModifiedSince = HttpDate.parse(ascii(vs, ve));
            } else if (name.equalsIgnoreCase("if-none-match")) {
                r.ifNoneMatch = ascii(vs, ve);
            } else if (name.equalsIgnoreCase("range")) {
                r.range = ascii(vs, ve);
            } else if (name.equalsIgnoreCase("if-range")) {
                r.ifRange = ascii(vs, ve);
            } else if (name.equalsIgnoreCase("content-length")) {
                if (ve == vs || ve - vs > 18) return 400;
                for (int i = vs; i < ve; i++) if (in[i] < '0' || in[i] > '9') return 400;
                r.body |= Long.parseLong(ascii(vs, ve)) > 0;
            } else if (name.equalsIgnoreCase("transfer-encoding")) {
                r.body = true;
            }
            p = nl + 1;
        }
        if (minor == 1 && hosts != 1) return 400;
        // A request body is never read: the connection ends with this answer, so
        // the body can not be taken for a next request.
        r.keepAlive = !r.body && !close && (minor == 1 || keepAlive);
        return 0;
    }

    // ------------------------------------------------------------ answering

    private boolean answer(Scratch s, Request r) {
        String raw = r.target;
        if (raw.startsWith("http://") || raw.startsWith("https://")) {
            int slash = raw.indexOf('/', raw.indexOf("//") + 2);
            raw = slash < 0 ? "/" : raw.substring(slash);
        }
        if (!raw.startsWith("/")) return fail(s, 400, r.line, false);
        int cut = raw.indexOf('?');
        if (cut >= 0) raw = raw.substring(0, cut);
        String decoded = decode(raw);
        if (decoded == null) return fail(s, 400, r.line, false);
        List<String> segments = normalise(decoded);
        if (segments == null) return fail(s, 403, r.line, r.keepAlive);
        if (!site.dotfiles()) {
            for (String segment : segments) if (segment.startsWith(".")) return fail(s, 404, r.line, r.keepAlive);
        }

        Found found = resolve(List.of(), segments);
        if (found == FORBIDDEN) return fail(s, 403, r.line, r.keepAlive);
        if (found == null) return fail(s, 404, r.line, r.keepAlive);
        if (found.status.isDirectory) {
            if (!raw.endsWith("/")) {
                // Built from the segments: the raw target may be longer than the answer's head.
                StringBuilder to = new StringBuilder("/");
                for (String segment : segments) to.append(segment).append('/');
                return redirect(s, r, encode(to.toString()));
            }
            Found index = resolve(found.real, List.of("index.html"));
            if (index == FORBIDDEN) return fail(s, 403, r.line, r.keepAlive);
            if (index == null || !index.status.isRegularFile) return listing(s, r, found.path, decoded);
            found = index;
        }
        if (!found.status.isRegularFile) return fail(s, 403, r.line, r.keepAlive);
        return sendFile(s, r, found.path, found.status);
    }

    /** Where a request leads: the path with every link resolved, its segments below the root, its status. */
    private record Found(String path, List<String> real, FileStatus status) {}

    /** A path that exists but leaves the root through a link, or through a link that cannot be read exactly. */
    private static final Found FORBIDDEN = new Found("", List.of(), null);

    /** Links followed in one lookup before it counts as a loop, as the kernel counts them. */
    private static final int MAX_LINKS = 40;

    /**
     * Walks {@code rest} down from the real directory root + {@code real} one
     * name at a time, as the kernel would, reading each link on the way and
     * following it only while it stays under the root: null when the path is
     * missing, FORBIDDEN when it leaves. Every name is judged on the bytes that
     * are then opened, afresh for each request.
     */
    private Found resolve(List<String> real, List<String> rest) {
        Fs fs = site.fs();
        String root = site.root();
        List<String> at = new ArrayList<>(real);
        ArrayDeque<String> todo = new ArrayDeque<>(rest);
        FileStatus st = null;
        for (int links = 0; !todo.isEmpty(); ) {
            String name = todo.poll();
            if (name.isEmpty() || name.equals(".")) continue;
            st = null;
            if (name.equals("..")) {
                if (at.isEmpty()) return FORBIDDEN;
                at.remove(at.size() - 1);
                continue;
            }
            String path = join(root, at) + "/" + name;
            st = fs.stat(path, true);
            if (st == null) return null;
            if (st.isSymbolicLink) {
                if (++links > MAX_LINKS) return null;
                String target = fs.readLink(path);
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
            if (!st.isDirectory && !todo.isEmpty()) return null;
            at.add(name);
        }
        String path = join(root, at);
        if (st == null) st = fs.stat(path, true);
        return st == null ? null : new Found(path, at, st);
    }

    private static String join(String root, List<String> names) {
        if (names.isEmpty()) return root;
        StringBuilder b = new StringBuilder(root);
        for (String name : names) b.append('/').append(name);
        return b.toString();
    }

    /** {@code st} is the status that the lookup found; the answer describes the file actually opened. */
    private boolean sendFile(Scratch s, Request r, String path, FileStatus st) {
        if (r.ifNoneMatch != null ? matches(r.ifNoneMatch, etag(st))
                : r.ifModifiedSince >= 0 && st.mtime <= r.ifModifiedSince) {
            s.status(304).header("ETag", etag(st)).lastModified(st.mtime).connection(r.keepAlive).end();
            return send(s, r, 304, NONE, 0, r.keepAlive);
        }
        // A file sent whole in one write may stay open for the next request.
        FileCache cache = st.size <= s.body.length ? files : null;
        Fs.FileIn file = cache != null ? cache.open(path, st) : site.fs().open(path);
        if (file == null) return fail(s, 403, r.line, r.keepAlive);
        // Only the file that the lookup judged, and only a regular file: whatever was swapped in since goes.
        FileStatus opened = file.status();
        if (opened == null || !opened.isRegularFile || opened.dev != st.dev || opened.ino != st.ino) {
            release(file, cache, path, true);
            return fail(s, 403, r.line, r.keepAlive);
        }
        long size = opened.size;
        String etag = etag(opened);
        long first = 0;
        long last = size - 1;
        int status = 200;
        if (r.range != null && !r.head && (r.ifRange == null || r.ifRange.equals(etag)
                || (!r.ifRange.startsWith("\"") && !r.ifRange.startsWith("W/") && HttpDate.parse(r.ifRange) == opened.mtime))) {
            long[] range = range(r.range, size);
            if (range == UNSATISFIABLE) {
                release(file, cache, path, false);
                return fail(s, 416, r.line, r.keepAlive, "Content-Range", "bytes */" + size);
            }
            if (range != null) {
                first = range[0];
                last = range[1];
                status = 206;
            }
        }
        long remaining = r.head ? 0 : last - first + 1;
        int n = (int) Math.min(remaining, s.body.length);
        if ((first > 0 && !file.seek(first)) || (n > 0 && file.read(s.body, 0, n) != n)) {
            release(file, cache, path, true);
            return fail(s, 500, r.line, false);
        }
        s.status(status).type(contentType(path)).length(last - first + 1).header("Accept-Ranges", "bytes")
            .header("ETag", etag).lastModified(opened.mtime);
        if (status == 206) s.header("Content-Range", "bytes " + first + "-" + last + "/" + size);
        s.connection(r.keepAlive).end();
        if (conn.write2(s.head, s.len, s.body, 0, n) < 0) {
            release(file, cache, path, false);
            return false;
        }
        if (remaining > n) {
            // Grown since the lookup: the rest is sent later, and then closed, so the cache lets it go.
            if (cache != null) cache.forget(path);
            pending = new Pending(file, remaining - n, r.line, status, remaining, r.keepAlive);
            return true;
        }
        release(file, cache, path, false);
        log(r.line, status, n);
        return r.keepAlive;
    }

    private static void release(Fs.FileIn file, FileCache cache, String path, boolean broken) {
        if (cache == null) file.close();
        else if (broken) cache.drop(path);
    }

    /** A strong validator from the size and the modification time. */
    static String etag(FileStatus st) {
        return "\"" + Long.toHexString(st.size) + "-" + Long.toHexString(st.mtime) + "\"";
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

    /** Decimal digits as a number (huge ones as Long.MAX_VALUE); -1 when empty, -2 when not digits. */
    private static long number(String text) {
        if (text.isEmpty()) return -1;
        for (int i = 0; i < text.length(); i++) if (text.charAt(i) < '0' || text.charAt(i) > '9') return -2;
        return text.length() > 18 ? Long.MAX_VALUE : Long.parseLong(text);
    }

    private boolean listing(Scratch s, Request r, String dir, String shown) {
        Fs fs = site.fs();
        String[] names = fs.list(dir);
        if (names == null) return fail(s, 403, r.line, r.keepAlive);
        Arrays.sort(names);
        String title = html(shown);
        StringBuilder b = new StringBuilder(256 + names.length * 160);
        b.append("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Index of ").append(title)
            .append("</title></head>\n<body><h1>Index of ").append(title).append("</h1>\n<table>\n")
            .append("<tr><th>Mode</th><th>Size</th><th>Modified (UTC)</th><th>Name</th></tr>\n");
        if (!shown.equals("/")) b.append("<tr><td></td><td></td><td></td><td><a href=\"../\">../</a></td></tr>\n");
        for (String name : names) {
            if (name.startsWith(".") && !site.dotfiles()) continue;
            FileStatus st = fs.stat(dir + "/" + name, true);
            if (st == null) continue;
            String shownName = st.isDirectory ? name + "/" : name;
            b.append("<tr><td><code>").append(mode(st)).append("</code></td><td>").append(st.size)
                .append("</td><td>").append(HttpDate.formatShort(st.mtime)).append("</td><td><a href=\"")
                .append(html(encode(shownName))).append("\">").append(html(shownName)).append("</a></td></tr>\n");
        }
        b.append("</table></body></html>\n");
        byte[] page = b.toString().getBytes(StandardCharsets.UTF_8);
        s.status(200).type("text/html; charset=utf-8").length(page.length).connection(r.keepAlive).end();
        return send(s, r, 200, page, r.head ? 0 : page.length, r.keepAlive);
    }

    private boolean redirect(Scratch s, Request r, String location) {
        byte[] page = ("<a href=\"" + html(location) + "\">moved</a>\n").getBytes(StandardCharsets.UTF_8);
        s.status(301).header("Location", location).type("text/html; charset=utf-8").length(page.length)
            .connection(r.keepAlive).end();
        return send(s, r, 301, page, r.head ? 0 : page.length, r.keepAlive);
    }

    private boolean fail(Scratch s, int status, String line, boolean keepAlive) {
        return fail(s, status, line, keepAlive, null, null);
    }

    /** An error answer with a small HTML page, and one more header when {@code name} is not null. */
    private boolean fail(Scratch s, int status, String line, boolean keepAlive, String name, String value) {
        String title = status + " " + reason(status);
        byte[] page = ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title + "</title></head>\n<body><h1>"
            + title + "</h1></body></html>\n").getBytes(StandardCharsets.US_ASCII);
        s.status(status);
        if (status == 405) s.header("Allow", "GET, HEAD");
        if (name != null) s.header(name, value);
        s.type("text/html; charset=utf-8").length(page.length).connection(keepAlive).end();
        boolean head = line.startsWith("HEAD ");
        int n = head ? 0 : page.length;
        if (conn.write2(s.head, s.len, page, 0, n) < 0) return false;
        log(line, status, n);
        return keepAlive;
    }

    private boolean send(Scratch s, Request r, int status, byte[] body, int n, boolean keepAlive) {
        if (conn.write2(s.head, s.len, body, 0, n) < 0) return false;
        log(r.line, status, n);
        return keepAlive;
    }
    private void log(String line, int status, long bytes) {
        AccessLog log = site.log();
        if (log == null) return;
        if (peer == null) peer = conn.peer();
        log.line(peer + " \"" + line + "\" " + status + " " + bytes);
    }

    // ------------------------------------------------------------ helpers

    /** Percent-decodes a path into its UTF-8 text; null for a bad escape, a NUL or bad UTF-8. */
    static String decode(String raw) {
        if (raw.indexOf('%') < 0) return raw;
        byte[] out = new byte[raw.length()];
        int n = 0;
        for (int i = 0; i < raw.length(); i++) {
            char c = raw.charAt(i);
            if (c == '%') {
                if (i + 2 >= raw.length()) return null;
                int hi = Character.digit(raw.charAt(i + 1), 16);
                int lo = Character.digit(raw.charAt(i + 2), 16);
                if (hi < 0 || lo < 0 || (hi | lo) == 0) return null;
                out[n++] = (byte) (hi << 4 | lo);
                i += 2;
            } else {
                out[n++] = (byte) c;
            }
        }
        return FileNames.utf8(out, n);
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

    /** "drwxr-xr-x" from the status object. */
    static String mode(FileStatus st) {
        char type = st.isDirectory ? 'd' : st.isSymbolicLink ? 'l' : st.isFifo ? 'p' : st.isSocket ? 's'
            : st.isCharacterDevice ? 'c' : st.isBlockDevice ? 'b' : '-';
        char[] m = {type, 'r', 'w', 'x', 'r', 'w', 'x', 'r', 'w', 'x'};
        for (int i = 0; i < 9; i++) if ((st.mode & (1 << (8 - i))) == 0) m[i + 1] = '-';
        if ((st.mode & 04000) != 0) m[3] = m[3] == 'x' ? 's' : 'S';
        if ((st.mode & 02000) != 0) m[6] = m[6] == 'x' ? 's' : 'S';
        if ((st.mode & 01000) != 0) m[9] = m[9] == 'x' ? 't' : 'T';
        return new String(m);
    }

    private static String encode(String name) {
        StringBuilder b = new StringBuilder(name.length());
        for (byte c : name.getBytes(StandardCharsets.UTF_8)) {
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || "-._~/".indexOf(c) >= 0) {
                b.append((char) c);
            } else {
                b.append('%').append(Character.toUpperCase(Character.forDigit(c >> 4 & 15, 16)))
                    .append(Character.toUpperCase(Character.forDigit(c & 15, 16)));
            }
        }
        return b.toString();
    }

    private static String html(String text) {
        return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("\"", "&quot;");
    }

    private static boolean tchar(byte c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || "!#$%&'*+-.^_`|~".indexOf(c) >= 0;
    }

    private int indexOf(char c, int from, int to) {
        for (int i = from; i < to; i++) if (in[i] == c) return i;
        return -1;
    }

    private String ascii(int from, int to) {
        return new String(in, from, to - from, StandardCharsets.ISO_8859_1);
    }

    static String reason(int status) {
        return switch (status) {
            case 200 -> "OK";
            case 206 -> "Partial Content";
            case 301 -> "Moved Permanently";
            case 304 -> "Not Modified";
            case 400 -> "Bad Request";
            case 403 -> "Forbidden";
            case 404 -> "Not Found";
            case 405 -> "Method Not Allowed";
            case 416 -> "Range Not Satisfiable";
            case 431 -> "Request Header Fields Too Large";
            case 503 -> "Service Unavailable";
            default -> "Internal Server Error";
        };
    }

    /** A thread's buffers: the response head being built (it grows as needed), and one chunk of a body. */
    static final class Scratch {
        byte[] head = new byte[2048];
        final byte[] body = new byte[64 * 1024];
        int len;

        Scratch status(int status) {
            len = 0;
            put("HTTP/1.1 ").put(status).put(" ").put(reason(status)).put("\r\nServer: talvo-example\r\nDate: ");
            byte[] date = Clock.date();
            System.arraycopy(date, 0, head, len, date.length); // a fresh head: room enough for the first line
            len += date.length;
            return put("\r\n");
        }

        Scratch header(String name, String value) {
            return put(name).put(": ").put(value).put("\r\n");
        }

        Scratch type(String type) {
            return header("Content-Type", type);
        }

        Scratch length(long n) {
            return put("Content-Length: ").put(n).put("\r\n");
        }

        Scratch lastModified(long seconds) {
            return header("Last-Modified", HttpDate.format(seconds));
        }

        Scratch connection(boolean keepAlive) {
            return put(keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n");
        }

        void end() {
            put("\r\n");
        }

        /** Appends the text; it is ASCII (names reach a head percent-encoded). */
        private Scratch put(String text) {
            int n = text.length();
            if (len + n > head.length) head = Arrays.copyOf(head, Math.max(head.length * 2, len + n));
            for (int i = 0; i < n; i++) head[len + i] = (byte) text.charAt(i);
            len += n;
            return this;
        }

        private Scratch put(long v) {
            return put(Long.toString(v));
        }
    }

    /** The Date header's text, made again once a second. */
    static final class Clock {
        private static volatile long second = -1;
        private static volatile byte[] text;

        static byte[] date() {
            long now = System.currentTimeMillis() / 1000;
            byte[] t = text;
            if (now != second || t == null) {
                t = HttpDate.format(now).getBytes(StandardCharsets.US_ASCII);
                text = t;
                second = now;
            }
            return t;
        }
    }
}
