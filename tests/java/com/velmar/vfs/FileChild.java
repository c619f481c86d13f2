package com.velmar.vfs;

import java.nio.charset.StandardCharsets;

/**
 * File natives in a child JVM, for cases that need another account or
 * lowered limits.  Each command prints one line: the result, or the class and
 * message of what the call threw.
 */
public final class FileChild {
    private FileChild() {}

    private static byte[] path(String text) { return text.getBytes(StandardCharsets.UTF_8); }

    public static void main(String[] args) {
        JniFilePathImpl files = new JniFilePathImpl();
        JniFileStream stream = new JniFileStream();
        try {
            switch (args[0]) {
                case "open-write": {
                    byte[] name = path(args[1]);
                    System.out.println(files.nativeOpenWrite(name, name.length, false));
                    break;
                }
                case "can-read":
                    System.out.println(JniFilePathImpl.nativeCanRead(path(args[1])));
                    break;
                case "open-until-refused": {
                    // Opens new files in a directory until the descriptor table is full.
                    for (int i = 0; ; i++) {
                        byte[] name = path(args[1] + "/f" + i);
                        if (files.nativeOpenWrite(name, name.length, false) < 0) {
                            System.out.println("-1 without an exception");
                            return;
                        }
                    }
                }
                case "write": {
                    // Writes args[2] bytes of the pattern i % 251 in one call.
                    byte[] name = path(args[1]);
                    int fd = files.nativeOpenWrite(name, name.length, false);
                    byte[] data = new byte[Integer.parseInt(args[2])];
                    for (int i = 0; i < data.length; i++) data[i] = (byte) (i % 251);
                    System.out.println(stream.nativeWrite(fd, data, 0, data.length));
                    break;
                }
                default:
                    throw new IllegalArgumentException(args[0]);
            }
        } catch (Exception e) {
            // The natives declare nothing, yet raise IOException.
            System.out.println(e.getClass().getSimpleName() + ": " + e.getMessage());
        }
    }
}
