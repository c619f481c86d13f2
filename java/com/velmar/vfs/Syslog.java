package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/** Records to the system log under the identity "Talvo". */
public class Syslog {
    static { NativeLibrary.load(); }

    public native void nativeOpenSyslog();
    public native void nativeSyslog(int priority, String msg);
}
