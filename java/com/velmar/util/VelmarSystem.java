package com.velmar.util;

/** Process-wide settings of the server. */
public class VelmarSystem {
    static { NativeLibrary.load(); }

    /** Takes on the ids of the named account (and group); returns the real user id, or -1. */
    public native int setUserNative(String user, String group);
}
