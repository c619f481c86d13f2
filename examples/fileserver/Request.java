package fileserver;

import java.nio.charset.StandardCharsets;

/** A request head: where it ends in the bytes read, and what it says. */
final class Request {
    /** Longest request head (request line and headers); a longer one is answered 431. */
    static final int MAX_HEAD = 8192;

    /** 0, or the status of the error answer when the head is not a request we take. */
    int error;
    /** The request line as sent (cut at 200 bytes), for the log. */
    String line = "-";
    String method;
    String target;
    boolean head;
    boolean keepAlive;
    /** Long.MIN_VALUE when absent: no file's time comes before it. */
    long ifModifiedSince = Long.MIN_VALUE;
    /** Every If-None-Match line, joined as one list. */
    String ifNoneMatch;
    String range;
    String ifRange;

    /** Index of the first byte after the empty lines that may precede a request. */
    static int skipEmptyLines(byte[] in, int from, int end) {
        while (from < end && (in[from] == '\r' || in[from] == '\n')) from++;
        return from;
    }

    /** Index just past the empty line that ends the head starting at {@code from}, or -1 when it is not all here. */
    static int headEnd(byte[] in, int from, int end) {
        for (int i = from + 1; i < end; i++) {
            if (in[i] == '\n' && (in[i - 1] == '\n' || (in[i - 1] == '\r' && i - 2 >= from && in[i - 2] == '\n'))) {
                return i + 1;
            }
        }
        return -1;
    }

    /** The request in {@code in[start, headEnd)}; its {@link #error} says whether it is one. */
    static Request parse(byte[] in, int start, int headEnd) {
        Request r = new Request();
        r.error = r.fill(in, start, headEnd);
        return r;
    }

    private int fill(byte[] in, int start, int headEnd) {
        int lineEnd = indexOf(in, '\n', start, headEnd);
        int le = lineEnd > start && in[lineEnd - 1] == '\r' ? lineEnd - 1 : lineEnd;
        line = le - start > 200 ? ascii(in, start, start + 200) + "..." : ascii(in, start, le);
        head = line.startsWith("HEAD ");
        int sp1 = indexOf(in, ' ', start, le);
        int sp2 = sp1 < 0 ? -1 : indexOf(in, ' ', sp1 + 1, le);
        if (sp1 <= start || sp2 <= sp1 + 1 || indexOf(in, ' ', sp2 + 1, le) >= 0) return 400;
        for (int i = start; i < sp1; i++) if (!tchar(in[i])) return 400;
        for (int i = sp1 + 1; i < sp2; i++) if (in[i] <= ' ' || in[i] >= 127) return 400;
        method = sp1 - start == 3 && head(in, start, "GET") ? "GET" : head ? "HEAD" : ascii(in, start, sp1);
        target = ascii(in, sp1 + 1, sp2);
        if (le - sp2 - 1 != 8 || !head(in, sp2 + 1, "HTTP/1.") || (in[le - 1] != '0' && in[le - 1] != '1')) return 400;
        int minor = in[le - 1] - '0';

        boolean close = false;
        boolean keep = false;
        boolean body = false;
        int hosts = 0;
        for (int p = lineEnd + 1; p < headEnd; ) {
            int nl = indexOf(in, '\n', p, headEnd);
            int e = nl > p && in[nl - 1] == '\r' ? nl - 1 : nl;
            if (e == p) break;
            if (in[p] == ' ' || in[p] == '\t') return 400;
            int colon = indexOf(in, ':', p, e);
            if (colon <= p) return 400;
            for (int i = p; i < colon; i++) if (!tchar(in[i])) return 400;
            int vs = colon + 1;
            int ve = e;
            while (vs < ve && (in[vs] == ' ' || in[vs] == '\t')) vs++;
            while (ve > vs && (in[ve - 1] == ' ' || in[ve - 1] == '\t')) ve--;
            // Bytes 0x80 to 0xFF (obs-text) are allowed in values; other controls are not.
            for (int i = vs; i < ve; i++) if (((in[i] & 0xFF) < ' ' && in[i] != '\t') || in[i] == 127) return 400;
            int n = colon - p;
            if (named(in, p, n, "host")) {
                hosts++;
            } else if (named(in, p, n, "connection")) {
                for (String token : ascii(in, vs, ve).split(",")) {
                    close |= token.trim().equalsIgnoreCase("close");
                    keep |= token.trim().equalsIgnoreCase("keep-alive");
                }
            } else if (named(in, p, n, "if-modified-since")) {
                ifModifiedSince = HttpDate.parse(ascii(in, vs, ve));
            } else if (named(in, p, n, "if-none-match")) {
                // A list header may come in several lines: they are one list.
                ifNoneMatch = ifNoneMatch == null ? ascii(in, vs, ve) : ifNoneMatch + ", " + ascii(in, vs, ve);
            } else if (named(in, p, n, "range")) {
                range = ascii(in, vs, ve);
            } else if (named(in, p, n, "if-range")) {
                ifRange = ascii(in, vs, ve);
            } else if (named(in, p, n, "content-length")) {
                if (ve == vs) return 400;
                for (int i = vs; i < ve; i++) {
                    if (in[i] < '0' || in[i] > '9') return 400;
                    body |= in[i] != '0';
                }
            } else if (named(in, p, n, "transfer-encoding")) {
                body = true;
            }
            p = nl + 1;
        }
        if (minor == 1 && hosts != 1) return 400;
        // A request body is never read: the connection ends with this answer, so
        // the body can not be taken for a next request.
        keepAlive = !body && !close && (minor == 1 || keep);
        return 0;
    }

    /** The text with control bytes, quotes, backslashes and bytes above 0x7E escaped, for a log line. */
    static String printable(String text) {
        StringBuilder b = null;
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            boolean plain = c >= ' ' && c < 127 && c != '"' && c != '\\';
            if (plain && b == null) continue;
            if (b == null) b = new StringBuilder(text.length() + 16).append(text, 0, i);
            if (plain) b.append(c);
            else b.append("\\x").append(Character.forDigit(c >> 4 & 15, 16)).append(Character.forDigit(c & 15, 16));
        }
        return b == null ? text : b.toString();
    }

    private static boolean named(byte[] in, int p, int n, String lowerName) {
        if (n != lowerName.length()) return false;
        for (int i = 0; i < n; i++) if ((in[p + i] | 0x20) != lowerName.charAt(i)) return false;
        return true;
    }

    private static boolean head(byte[] in, int p, String text) {
        for (int i = 0; i < text.length(); i++) if (in[p + i] != text.charAt(i)) return false;
        return true;
    }

    private static boolean tchar(byte c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || "!#$%&'*+-.^_`|~".indexOf(c) >= 0;
    }

    private static int indexOf(byte[] in, char c, int from, int to) {
        for (int i = from; i < to; i++) if (in[i] == c) return i;
        return -1;
    }

    private static String ascii(byte[] in, int from, int to) {
        return new String(in, from, to - from, StandardCharsets.ISO_8859_1);
    }
}
