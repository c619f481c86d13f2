package com.velmar.util;

/**
 * Process-wide settings of the server. Loading this class loads the native library
 * ({@link NativeLibrary#load()}).
 */
public class VelmarSystem {
    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state. */
    public VelmarSystem() {}

    /**
     * Takes on the group and then the user id of the named account, for the whole process.
     *
     * <p>The group is the group of that name, else the primary group of the account of that name. A
     * process that leaves the superuser's user id never keeps group 0: without a usable named group it
     * takes the user's primary group, and it takes the account's supplementary groups (or only the group
     * in effect) in place of the superuser's. When that cannot be done, or the group cannot be set, the
     * process stays as it is, and the result says so. The user id 0 is never taken. A process that is
     * not the superuser cannot switch: the system refuses, and the result is its own unchanged id.
     *
     * <p>The call reads the account and group databases, which may block on a directory service; call
     * it once, at start-up, before threads that depend on the process's ids run, since the change
     * applies to every thread of the process at once.
     *
     * @param user the account's name; at most its first 255 bytes of modified UTF-8 are looked up
     * @param group a group's name (or an account's, whose primary group is then taken); null for the
     *     user's own primary group; at most its first 255 bytes are looked up
     * @return the process's real user id after the call (equal to the account's id when the switch
     *     succeeded, or when the process already had it); 0 when a superuser process stayed one
     *     because it could not leave group 0 or the superuser's groups behind; -1 when {@code user} is
     *     null, names no account, or the databases cannot be read, and then nothing changed
     */
    public native int setUserNative(String user, String group);
}
