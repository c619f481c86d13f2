package com.velmar.util;

import java.io.EOFException;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Loads libtalvo, the native half of the {@code com.velmar.*} classes, once.
 *
 * <p>The library is taken from the first of these places that holds one of the jar's own build:
 * <ol>
 *   <li>the file named by the system property {@code talvo.library} (a relative name is taken from
 *       {@code user.dir});
 *   <li>{@code libtalvo.so} in a directory of {@code java.library.path};
 *   <li>the copy that {@code talvo.jar} carries for this machine's platform: {@code linux-x86_64}
 *       ({@code os.arch} {@code amd64} or {@code x86_64}) or {@code linux-aarch64} ({@code aarch64} or
 *       {@code arm64}).
 * </ol>
 * Natives of another build may not match these classes, so a library whose GNU build id differs from
 * the one the jar records for this platform is refused before it is loaded.
 *
 * <p>The jar's copy is written to a directory of {@code java.io.tmpdir} that only this user may enter,
 * and removed as soon as it is loaded. A JVM killed between the two leaves it behind; the next load of
 * a jar's copy by the same user removes every such copy whose process is gone.
 */
public final class NativeLibrary {
    private static final String NAME = "libtalvo.so";
    /** The platform directory of the jar for each os.arch that has one. */
    private static final Map<String, String> PLATFORMS = Map.of("amd64", "linux-x86_64", "x86_64", "linux-x86_64",
            "aarch64", "linux-aarch64", "arm64", "linux-aarch64");
    /** The directory of a jar's copy: the loading process's id, then a random number. */
    private static final Pattern EXTRACTED = Pattern.compile("talvo-([0-9]+)-[0-9]+");
    private static final FileAttribute<?> OWNER_DIR =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));
    private static final FileAttribute<?> OWNER_FILE =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"));
    private static final int PT_NOTE = 4;
    private static final int NT_GNU_BUILD_ID = 3;
    private static final byte[] GNU = {'G', 'N', 'U', 0};
    private static boolean loaded;

    private NativeLibrary() {}

    /**
     * Loads the library unless it is loaded already. Any thread may call it; concurrent callers wait for
     * the first, whose load copies and maps a file of a few hundred kilobytes. The classes that declare
     * natives call it before their first native call, so applications need not.
     *
     * @throws UnsatisfiedLinkError when no place holds a library of this build that loads. Its message
     *     lists every place tried and why it failed; on a platform the jar has no library for, it names
     *     the system and architecture ({@code os.name}, {@code os.arch}) and the platforms the class path
     *     carries. A later call tries again.
     */
    public static synchronized void load() {
        if (loaded) return;
        List<String> tried = new ArrayList<>();
        String os = System.getProperty("os.name"), arch = System.getProperty("os.arch");
        String platform = os.equals("Linux") ? PLATFORMS.get(arch) : null;
        String expected = platform == null ? null : resource(buildIdOf(platform));
        if (expected == null) {
            List<String> carried = PLATFORMS.values().stream().distinct().sorted()
                    .filter(p -> resource(buildIdOf(p)) != null).toList();
            tried.add("no library for " + os + " on " + arch + ": the class path carries " + carried
                    + (carried.isEmpty() ? " (not talvo.jar?)" : ""));
        } else {
            String property = System.getProperty("talvo.library", "");
            if (!property.isEmpty()) loaded = attempt("talvo.library", property, expected, tried);
            for (String dir : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
                if (!loaded && !dir.isEmpty()) {
                    loaded = attempt("java.library.path", dir + File.separator + NAME, expected, tried);
                }
            }
            if (!loaded) loaded = fromJar("/native/" + platform + "/" + NAME, expected, tried);
        }
        if (!loaded) throw new UnsatisfiedLinkError("cannot load libtalvo; tried:\n  " + String.join("\n  ", tried));
    }

    private static String buildIdOf(String platform) {
        return "/native/" + platform + "/" + NAME + ".build-id";
    }

    /** Loads the library at name if it is of this build; else records why not. */
    private static boolean attempt(String place, String name, String expected, List<String> tried) {
        String reason;
        try {
            Path path = Path.of(System.getProperty("user.dir")).resolve(name);
            place += " " + path;
            if (!Files.isRegularFile(path)) {
                reason = "no such file";
            } else {
                String found = buildId(path);
                if (expected.equals(found)) {
                    System.load(path.toString());
                    return true;
                }
                reason = found == null ? "no build id" : "another build (id " + found + ", this jar's is " + expected + ")";
            }
        } catch (IOException | RuntimeException | UnsatisfiedLinkError e) {
            reason = e.toString();
        }
        tried.add(place + ": " + reason);
        return false;
    }

    /** Loads the jar's copy from a directory named for this process, removed again at once. */
    private static boolean fromJar(String resource, String expected, List<String> tried) {
        String place = "talvo.jar's copy";
        try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
            if (in == null) {
                tried.add(place + ": the class path holds no " + resource);
                return false;
            }
            // Only this user can enter the directory: no one swaps the file between the check and the load.
            Path dir = Files.createTempDirectory("talvo-" + ProcessHandle.current().pid() + "-", OWNER_DIR);
            Path file = dir.resolve(NAME);
            try {
                removeLeftCopies(dir);
                try (OutputStream out = Files.newOutputStream(Files.createFile(file, OWNER_FILE))) {
                    in.transferTo(out);
                }
                return attempt(place, file.toString(), expected, tried);
            } finally {
                // A loaded library stays mapped without its file; a failed removal must not fail the load.
                file.toFile().delete();
                dir.toFile().delete();
            }
        } catch (IOException | RuntimeException e) {
            tried.add(place + ": " + e);
            return false;
        }
    }

    /** Removes the copies that this user's killed JVMs left beside mine; never fails the load. */
    private static void removeLeftCopies(Path mine) {
        try (DirectoryStream<Path> entries = Files.newDirectoryStream(mine.getParent(), "talvo-*")) {
            Object uid = Files.getAttribute(mine, "unix:uid", LinkOption.NOFOLLOW_LINKS);
            for (Path dir : entries) {
                Matcher m = EXTRACTED.matcher(dir.getFileName().toString());
                if (!m.matches() || ProcessHandle.of(Long.parseLong(m.group(1))).isPresent()) continue;
                // Only real directories of this user: no one else can swap one for a link to elsewhere.
                if (Files.isDirectory(dir, LinkOption.NOFOLLOW_LINKS)
                        && uid.equals(Files.getAttribute(dir, "unix:uid", LinkOption.NOFOLLOW_LINKS))) {
                    Files.deleteIfExists(dir.resolve(NAME));
                    Files.deleteIfExists(dir);
                }
            }
        } catch (IOException | RuntimeException e) {
            // Left for a later load.
        }
    }

    /** The text of a class path resource, stripped; null when there is none. */
    private static String resource(String name) {
        try (InputStream in = NativeLibrary.class.getResourceAsStream(name)) {
            return in == null ? null : new String(in.readAllBytes(), StandardCharsets.US_ASCII).strip();
        } catch (IOException e) {
            return null;
        }
    }

    /** The GNU build id of a 64-bit little-endian ELF file, in hex; null when it has none. */
    private static String buildId(Path path) throws IOException {
        try (FileChannel file = FileChannel.open(path)) {
            ByteBuffer header = read(file, 0, (int) Math.min(file.size(), 64));
            if (header.limit() < 64 || header.getInt(0) != 0x464c457f || header.get(4) != 2 || header.get(5) != 1) {
                throw new IOException("not a 64-bit little-endian ELF file");
            }
            long table = header.getLong(0x20);
            int entrySize = header.getShort(0x36) & 0xffff;
            int entries = header.getShort(0x38) & 0xffff;
            for (int i = 0; i < entries; i++) {
                ByteBuffer entry = read(file, table + (long) i * entrySize, 56);
                long size = entry.getLong(32);
                if (entry.getInt(0) != PT_NOTE || size < 0 || size > 65536) continue;
                ByteBuffer notes = read(file, entry.getLong(8), (int) size);
                while (notes.remaining() >= 12) {
                    int nameSize = notes.getInt(), descSize = notes.getInt(), type = notes.getInt();
                    long nameSpace = (nameSize + 3L) & ~3L, descSpace = (descSize + 3L) & ~3L;
                    if (nameSize < 0 || descSize < 0 || nameSpace + descSpace > notes.remaining()) break;
                    byte[] name = Arrays.copyOfRange(notes.array(), notes.position(), notes.position() + nameSize);
                    int desc = notes.position() + (int) nameSpace;
                    if (type == NT_GNU_BUILD_ID && Arrays.equals(name, GNU)) {
                        return HexFormat.of().formatHex(notes.array(), desc, desc + descSize);
                    }
                    notes.position(desc + (int) descSpace);
                }
            }
        }
        return null;
    }

    private static ByteBuffer read(FileChannel file, long position, int size) throws IOException {
        ByteBuffer buffer = ByteBuffer.allocate(size).order(ByteOrder.LITTLE_ENDIAN);
        while (buffer.hasRemaining()) {
            if (file.read(buffer, position + buffer.position()) < 0) throw new EOFException("truncated ELF file");
        }
        return buffer.flip();
    }
}
