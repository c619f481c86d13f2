package fileserver;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * An answer about to go out: its head, written here, then a body from memory
 * ({@link #body}) or from an open file ({@link #file}). One per thread, reused.
 */
final class Response {
    byte[] head = new byte[2048];
    int headLen;
    int status;
    boolean keepAlive;
    byte[] body = NONE;
    int bodyOff;
    int bodyLen;
    /** The file whose bytes {@code [from, from + length)} follow the head; this answer holds one use of it. */
    OpenFile file;
    long from;
    long length;
    /** Bytes of the body, for the log. */
    long bodyBytes;
    /** A file that a worker opened for this answer, for the select loop's cache, under {@link #openedPath}. */
    OpenFile opened;
    String openedPath;

    static final byte[] NONE = new byte[0];

    Response status(int code, boolean keep) {
        status = code;
        keepAlive = keep;
        body = NONE;
        bodyOff = bodyLen = 0;
        file = null;
        headLen = 0;
        put("HTTP/1.1 ").put(Integer.toString(code)).put(" ").put(reason(code)).put("\r\nServer: talvo-example\r\nDate: ");
        byte[] date = date();
        System.arraycopy(date, 0, head, headLen, date.length); // a fresh head: room enough for the first line
        headLen += date.length;
        return put("\r\n");
    }

    Response header(String name, String value) {
        return put(name).put(": ").put(value).put("\r\n");
    }

    Response type(String type) {
        return header("Content-Type", type);
    }

    Response length(long n) {
        return put("Content-Length: ").put(Long.toString(n)).put("\r\n");
    }

    /** Ends the head; the body is {@code bytes[0, n)}, or nothing for a HEAD. */
    void end(byte[] bytes, int n, boolean headOnly) {
        put(keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
        body = headOnly ? NONE : bytes;
        bodyOff = 0;
        bodyLen = headOnly ? 0 : n;
        bodyBytes = bodyLen;
    }

    /**
     * Ends the head; the body is the file's bytes {@code [from, from + length)}: those read at the
     * open from memory, the rest from the file.
     */
    void end(OpenFile f, long from, long length) {
        put(keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
        int read = f.bytes == null || from >= f.bytes.length ? 0 : (int) Math.min(length, f.bytes.length - from);
        if (read > 0) {
            body = f.bytes;
            bodyOff = (int) from;
            bodyLen = read;
        }
        if (read == length) {
            f.release();
        } else {
            file = f;
            this.from = from + read;
            this.length = length - read;
        }
        bodyBytes = length;
    }

    /** An error answer with a small page, and one more header when {@code name} is not null. */
    Response error(int code, boolean keep, boolean headOnly, String name, String value) {
        status(code, keep);
        if (code == 405) header("Allow", "GET, HEAD");
        if (name != null) header(name, value);
        byte[] page = PAGES[Math.max(0, Arrays.binarySearch(CODES, code))];
        type("text/html; charset=utf-8").length(page.length).end(page, page.length, headOnly);
        return this;
    }

    /** Appends the text; it is ASCII (names reach a head percent-encoded). */
    private Response put(String text) {
        int n = text.length();
        if (headLen + n > head.length) head = Arrays.copyOf(head, Math.max(head.length * 2, headLen + n));
        for (int i = 0; i < n; i++) head[headLen + i] = (byte) text.charAt(i);
        headLen += n;
        return this;
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

    private static final int[] CODES = {400, 403, 404, 405, 416, 431, 500, 503};
    private static final byte[][] PAGES = new byte[CODES.length][];

    static {
        for (int i = 0; i < PAGES.length; i++) {
            String title = CODES[i] + " " + reason(CODES[i]);
            PAGES[i] = ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title
                + "</title></head>\n<body><h1>" + title + "</h1></body></html>\n").getBytes(StandardCharsets.US_ASCII);
        }
    }

    /** The Date header's text, made again once a second. */
    private static volatile long second = -1;
    private static volatile byte[] date;

    private static byte[] date() {
        long now = System.currentTimeMillis() / 1000;
        byte[] t = date;
        if (now != second || t == null) {
            t = HttpDate.format(now).getBytes(StandardCharsets.US_ASCII);
            date = t;
            second = now;
        }
        return t;
    }
}
