package fileserver;

import java.io.IOException;
import java.net.URI;
import java.nio.ByteBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.function.IntPredicate;

/**
 * Paths as UTF-8 text, byte for byte, whatever the locale. The JDK turns path
 * strings into bytes with the locale's encoding (ASCII under {@code LANG=C}),
 * which cannot be changed from the command line; its file URIs, though, carry
 * the raw bytes percent-escaped both ways, so non-ASCII names go that way.
 */
final class FileNames {
    /** The JDK's own path encoding is UTF-8: strings map to the bytes directly. */
    private static final boolean UTF8 = "UTF-8".equalsIgnoreCase(System.getProperty("sun.jnu.encoding"));

    private FileNames() {}

    /** The path whose bytes are the UTF-8 of {@code text} (an absolute path). */
    static Path path(String text) {
        if (UTF8 || ascii(text)) return Path.of(text);
        return Path.of(URI.create("file://" + escape(text, b -> b > ' ' && b < 127 && "%?#[]\\\"<>^`{|}".indexOf(b) < 0)));
    }

    /** The text of an absolute path, or null when its bytes are not UTF-8. */
    static String text(Path path) {
        String s = path.toString();
        // Else the bytes judge: U+FFFD is where the JDK replaced bytes that were not UTF-8, or a name's own.
        if (UTF8 ? s.indexOf('\uFFFD') < 0 : ascii(s)) return s;
        String raw = path.toUri().getRawPath();
        // The URI of a directory ends with a slash.
        return decode(raw.length() > 1 && raw.endsWith("/") ? raw.substring(0, raw.length() - 1) : raw);
    }

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
        return utf8(out, n);
    }

    /** The UTF-8 bytes of the text, those that {@code plain} refuses percent-escaped. */
    static String escape(String text, IntPredicate plain) {
        StringBuilder b = new StringBuilder(text.length() * 3);
        for (byte c : text.getBytes(StandardCharsets.UTF_8)) {
            if (plain.test(c)) b.append((char) c);
            else b.append('%').append(HEX[c >> 4 & 15]).append(HEX[c & 15]);
        }
        return b.toString();
    }

    /** Names in a directory that are UTF-8 (others cannot be asked for), or null. */
    static String[] list(String dir) {
        List<String> names = new ArrayList<>();
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(path(dir))) {
            for (Path p : entries) {
                String full = text(p);
                if (full != null) names.add(full.substring(full.lastIndexOf('/') + 1));
            }
        } catch (IOException | RuntimeException e) {
            return null;
        }
        return names.toArray(new String[0]);
    }

    /** The target of a link exactly as stored; null when it cannot be read or is not UTF-8. */
    static String readLink(String link) {
        try {
            Path target = Files.readSymbolicLink(path(link));
            if (target.isAbsolute()) return text(target);
            String t = text(Path.of("/").resolve(target)); // absolute, so the URI holds no working directory
            return t == null ? null : t.substring(1);
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    /** Strict UTF-8 decoding; null for bytes that are not UTF-8. */
    static String utf8(byte[] bytes, int n) {
        try {
            return StandardCharsets.UTF_8.newDecoder().decode(ByteBuffer.wrap(bytes, 0, n)).toString(); // reports bad bytes
        } catch (CharacterCodingException e) {
            return null;
        }
    }

    private static boolean ascii(String s) {
        for (int i = 0; i < s.length(); i++) if (s.charAt(i) >= 128) return false;
        return true;
    }

    private static final char[] HEX = "0123456789ABCDEF".toCharArray();
}
