package com.velmar.util;

/** Process-wide settings of the server. */
public class VelmarSystem {
    static { NativeLibrary.load(); }

    /**
     * Takes on the ids of the named account (and group); returns the real user id, or -1. A process
     * that leaves the superuser's uid never keeps group 0: it takes the named group, else the primary
     * group of the account of that name, else the user's own, and stays the superuser when that fails.
     */
    public native int setUserNative(String user, String group);
}
