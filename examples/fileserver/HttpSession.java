package fileserver;

import com.velmar.vfs.FileStatus;
import java.nio.ByteBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
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
     * What every connection shares: the root directory, the file system, the
     * access log, and the lookups of the last second.
     */
    record Site(String root, Fs fs, AccessLog log, Map<String, Lookup> lookups) {
        Site(String root, Fs fs, AccessLog log) {
            this(root, fs, log, new ConcurrentHashMap<>());
        }
    }

    /** A path's status (and the verdict on its links) as found at {@code when} (System.nanoTime). */
    record Lookup(FileStatus status, long when) {}

    /**
     * How long a lookup stands: a file requested again within it costs no status
     * call, and a change to it shows within it.
     */
    static final long LOOKUP_VALID_NANOS = 1_000_000_000L;
    private static final int LOOKUPS_KEPT = 4096;

    interface AccessLog {
        void line(String text);
    }

    private static final byte[] NONE = new byte[0];
    private static final ThreadLocal<Scratch> SCRATCH = ThreadLocal.withInitial(Scratch::new);
    private static final Map<String, String> TYPES = Map.ofEntries(
        Map.entry("html", "text/html; charset=utf-8"), Map.entry("htm", "text/html; charset=utf-8"),
        Map.entry("css", "text/css; charset=utf-8"), Map.entry("js", "text/javascript; charset=utf-8"),
        Map.entry("json", "application/json"), Map.entry("txt", "text/plain; charset=utf-8"),
        Map.entry("md", "text/markdown; charset=utf-8"), Map.entry("xml", "application/xml"),
        Map.entry("svg", "image/svg+xml"), Map.entry("png", "image/png"), Map.entry("jpg", "image/jpeg"),
        Map.entry("jpeg", "image/jpeg"), Map.entry("gif", "image/gif"), Map.entry("ico", "image/x-icon"),
        Map.entry("webp", "image/webp"), Map.entry("pdf", "application/pdf"), Map.entry("wasm", "application/wasm"));

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
        headStarted = start < end ? System.nanoTime() : 0; // a pipelined head has begun
        if (status != 0) {
            fail(s, status, r.line, false);
            unread = true;
            return Step.CLOSE;
        }
        boolean keep = !r.method.equals("GET") && !r.method.equals("HEAD") ? fail(s, 405, r.line, r.keepAlive)
            : answer(s, r);
        if (pending != null) return Step.MORE;
        unread = !keep && r.body;
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
        log(p.line, 200, p.size);
        return p.keepAlive;
    }

    /** The rest of a file answer. */
    private record Pending(Fs.FileIn file, long remaining, String line, long size, boolean keepAlive) {}

    // ------------------------------------------------------------ reading

    /**
     * Index just past the blank line that ends the head; -1 when the connection
     * ended, -2 when the head is too long, -3 when it is not complete after
     * {@code maxReads} reads.
     */
    private int readHead(int maxReads) {
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
            for (int i = vs; i < ve; i++) if ((in[i] < ' ' && in[i] != '\t') || in[i] == 127) return 400;
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

        Fs fs = site.fs();
        String path = site.root() + (segments.isEmpty() ? "" : "/" + String.join("/", segments));
        FileStatus st = lookup(path, segments);
        if (st == FORBIDDEN) return fail(s, 403, r.line, r.keepAlive);
        if (st == null) return fail(s, 404, r.line, r.keepAlive);
        if (st.isDirectory) {
            if (!raw.endsWith("/")) {
                // Built from the segments: the raw target may be longer than the answer's head.
                StringBuilder to = new StringBuilder("/");
                for (String segment : segments) to.append(segment).append('/');
                return redirect(s, r, encode(to.toString()));
            }
            FileStatus index = fs.stat(path + "/index.html", false);
            if (index == null || !index.isRegularFile) return listing(s, r, path, decoded);
            segments.add("index.html");
            path += "/index.html";
            st = lookup(path, segments);
            if (st == FORBIDDEN) return fail(s, 403, r.line, r.keepAlive);
            if (st == null) return fail(s, 404, r.line, r.keepAlive);
        }
        if (!st.isRegularFile) return fail(s, 403, r.line, r.keepAlive);
        return sendFile(s, r, path, st);
    }

    /** Marks a path that exists but leaves the root through a link. */
    private static final FileStatus FORBIDDEN =
        new FileStatus(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, false, false, false, false, false, false, false);

    /**
     * The status of root + segments, following links only when the link's
     * real target stays under the root: null when missing, FORBIDDEN when it leaves.
     */
    private FileStatus lookup(String path, List<String> segments) {
        long now = System.nanoTime();
        Lookup known = site.lookups().get(path);
        if (known != null && now - known.when() < LOOKUP_VALID_NANOS) return known.status();
        FileStatus st = resolve(path, segments);
        if (st != null) {
            if (site.lookups().size() >= LOOKUPS_KEPT) site.lookups().clear();
            site.lookups().put(path, new Lookup(st, now));
        }
        return st;
    }

    private FileStatus resolve(String path, List<String> segments) {
        Fs fs = site.fs();
        if (segments.isEmpty()) return fs.stat(path, false);
        StringBuilder prefix = new StringBuilder(path.length()).append(site.root());
        FileStatus st = null;
        for (String segment : segments) {
            prefix.append('/').append(segment);
            st = fs.stat(prefix.toString(), true);
            if (st == null) return null;
            if (st.isSymbolicLink) {
                String real = fs.realPath(path);
                if (real == null) return null;
                if (!real.equals(site.root()) && !real.startsWith(site.root() + "/")) return FORBIDDEN;
                return fs.stat(path, false);
            }
        }
        return st;
    }

    private boolean sendFile(Scratch s, Request r, String path, FileStatus st) {
        if (r.ifModifiedSince >= 0 && st.mtime <= r.ifModifiedSince) {
            s.status(304).lastModified(st.mtime).connection(r.keepAlive).end();
            return send(s, r, 304, NONE, 0, r.keepAlive);
        }
        // A file sent whole in one write may stay open for the next request.
        FileCache cache = st.size <= s.body.length ? files : null;
        Fs.FileIn file = cache != null ? cache.open(path, st) : site.fs().open(path);
        if (file == null) return fail(s, 403, r.line, r.keepAlive);
        long remaining = r.head ? 0 : st.size;
        int n = (int) Math.min(remaining, s.body.length);
        if (n > 0 && file.read(s.body, 0, n) != n) {
            release(file, cache, path, true);
            return fail(s, 500, r.line, false);
        }
        s.status(200).type(contentType(path)).length(st.size).lastModified(st.mtime).connection(r.keepAlive).end();
        if (conn.write2(s.head, s.len, s.body, 0, n) < 0) {
            release(file, cache, path, false);
            return false;
        }
        if (remaining > n) {
            pending = new Pending(file, remaining - n, r.line, st.size, r.keepAlive);
            return true;
        }
        release(file, cache, path, false);
        log(r.line, 200, n);
        return r.keepAlive;
    }

    private static void release(Fs.FileIn file, FileCache cache, String path, boolean broken) {
        if (cache == null) file.close();
        else if (broken) cache.drop(path);
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

    /** An error answer with a short page. */
    private boolean fail(Scratch s, int status, String line, boolean keepAlive) {
        byte[] page = ("<h1>" + status + " " + reason(status) + "</h1>\n").getBytes(StandardCharsets.US_ASCII);
        s.status(status);
        if (status == 405) s.header("Allow", "GET, HEAD");
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
        try {
            return StandardCharsets.UTF_8.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
                .onUnmappableCharacter(CodingErrorAction.REPORT).decode(ByteBuffer.wrap(out, 0, n)).toString();
        } catch (CharacterCodingException e) {
            return null;
        }
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

    static String contentType(String path) {
        int dot = path.lastIndexOf('.');
        String type = dot < path.lastIndexOf('/') || dot < 0 ? null : TYPES.get(path.substring(dot + 1).toLowerCase());
        return type != null ? type : "application/octet-stream";
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
            case 301 -> "Moved Permanently";
            case 304 -> "Not Modified";
            case 400 -> "Bad Request";
            case 403 -> "Forbidden";
            case 404 -> "Not Found";
            case 405 -> "Method Not Allowed";
            case 431 -> "Request Header Fields Too Large";
            case 503 -> "Service Unavailable";
            default -> "Internal Server Error";
        };
    }

    /** A thread's buffers: the response head being built, and one chunk of a body. */
    static final class Scratch {
        final byte[] head = new byte[2048];
        final byte[] body = new byte[64 * 1024];
        int len;

        Scratch status(int status) {
            len = 0;
            put("HTTP/1.1 ").put(status).put(" ").put(reason(status)).put("\r\nServer: talvo-example\r\nDate: ");
            byte[] date = Clock.date();
            System.arraycopy(date, 0, head, len, date.length);
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

        private Scratch put(String text) {
            int n = Math.min(text.length(), head.length - len);
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
