package com.velmar.util;

/** Loads libtalvo once: from the path in the system property talvo.library, else by name. */
public final class NativeLibrary {
    private static boolean loaded;

    private NativeLibrary() {}

    public static synchronized void load() {
        if (loaded) return;
        String path = System.getProperty("talvo.library");
        if (path != null && !path.isEmpty()) System.load(path);
        else System.loadLibrary("talvo");
        loaded = true;
    }
}
