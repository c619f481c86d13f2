package com.velmar.server.boot;

import com.velmar.util.NativeLibrary;

/** Starts a program as a detached daemon process. */
public class TalvoBoot {
    static { NativeLibrary.load(); }

    public native int execDaemon(String[] argv, String[] envp, String pwd);
}
