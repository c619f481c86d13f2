package com.velmar.util;

import java.io.EOFException;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;

/**
 * Loads libtalvo once, from the first of: the file named by the system property talvo.library (a
 * relative name is taken from user.dir), libtalvo.so in a directory of java.library.path, the copy
 * that talvo.jar carries. Natives of another build may not match these classes, so a library whose
 * GNU build id differs from the one the jar records is refused before it is loaded.
 */
public final class NativeLibrary {
    private static final String NAME = "libtalvo.so";
    private static final String RESOURCE = "/native/linux-x86_64/" + NAME;
    private static final int PT_NOTE = 4;
    private static final int NT_GNU_BUILD_ID = 3;
    private static final byte[] GNU = {'G', 'N', 'U', 0};
    private static boolean loaded;

    private NativeLibrary() {}

    /** Loads the library, or throws one UnsatisfiedLinkError naming every place tried and why it failed. */
    public static synchronized void load() {
        if (loaded) return;
        List<String> tried = new ArrayList<>();
        String expected = recordedBuildId();
        if (expected == null) {
            tried.add("the class path records no build id (" + RESOURCE + ".build-id): not talvo.jar?");
        } else {
            String property = System.getProperty("talvo.library", "");
            if (!property.isEmpty()) loaded = attempt("talvo.library", property, expected, tried);
            for (String dir : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
                if (!loaded && !dir.isEmpty()) {
                    loaded = attempt("java.library.path", dir + File.separator + NAME, expected, tried);
                }
            }
            if (!loaded) loaded = fromJar(expected, tried);
        }
        if (!loaded) throw new UnsatisfiedLinkError("cannot load libtalvo; tried:\n  " + String.join("\n  ", tried));
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

    /** Loads the jar's copy from a private directory, removed again at once: no file outlives the JVM. */
    private static boolean fromJar(String expected, List<String> tried) {
        String place = "talvo.jar's copy";
        String platform = System.getProperty("os.name") + "-" + System.getProperty("os.arch");
        if (!platform.equals("Linux-amd64")) {
            tried.add(place + ": none for " + platform);
            return false;
        }
        try (InputStream in = NativeLibrary.class.getResourceAsStream(RESOURCE)) {
            if (in == null) {
                tried.add(place + ": the class path holds no " + RESOURCE);
                return false;
            }
            // Only this user can enter the directory: no one swaps the file between the check and the load.
            Path dir = Files.createTempDirectory("talvo",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            Path file = dir.resolve(NAME);
            try {
                Files.copy(in, file);
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

    private static String recordedBuildId() {
        try (InputStream in = NativeLibrary.class.getResourceAsStream(RESOURCE + ".build-id")) {
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
