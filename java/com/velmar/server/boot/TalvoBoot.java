package com.velmar.server.boot;

import com.velmar.util.NativeLibrary;

/**
 * Starts a program as a detached daemon process.
 *
 * <p>The daemon is a grandchild of this JVM: a first child forks it and ends at once (this JVM reaps
 * that child), and the daemon leads a new session and process group, with no controlling terminal and
 * no signal blocked. It inherits every descriptor of this JVM that is not marked close-on-exec
 * (standard input, output and error included), the file-creation mask and the user and group ids.
 * Loading this class loads the native library ({@link NativeLibrary#load()}).
 */
public class TalvoBoot {
    static { NativeLibrary.load(); }

    /** Makes a launcher; it holds no state, so one instance may serve every thread. */
    public TalvoBoot() {}

    /**
     * Changes this JVM's working directory to {@code pwd}, then starts the program {@code argv[0]} there
     * as a daemon, with exactly {@code argv} as its arguments and {@code envp} as its whole environment.
     *
     * <p>The call returns as soon as the first child has ended, in a few milliseconds, without waiting
     * for the program; it does not learn whether the program started. A program that cannot be executed
     * (missing, not executable, an argument list too long) writes {@code exec failed PATH -> ERRNO} to
     * the standard error it inherited and ends with status 1. Any thread may call it. The working
     * directory is that of the whole JVM and stays changed; a {@code pwd} that cannot be entered is
     * ignored, and the launch goes on in the old one.
     *
     * @param argv the program's path (not looked up in {@code PATH}; a relative path is taken from
     *     {@code pwd}) followed by its further arguments; a null element is passed as an empty string,
     *     U+0000 as the bytes 0xC0 0x80, other characters as their UTF-8 bytes; an empty array has no
     *     path, and the daemon reports the failure
     * @param envp the program's environment, {@code NAME=value} strings passed as they are (converted as
     *     {@code argv}); empty for none
     * @param pwd the working directory for this JVM and the program
     * @return 1, whether or not the program could be started
     * @throws NullPointerException when {@code argv}, {@code envp} or {@code pwd} is null (the message
     *     names the first null one: "argv", "envp" or "pwd"); nothing is changed or started then
     * @throws OutOfMemoryError when there is no memory for the copies of the strings; nothing is started
     */
    public native int execDaemon(String[] argv, String[] envp, String pwd);
}
