package com.velmar.vfs;

import com.velmar.util.NativeLibrary;

/**
 * Records to the system log under the identity "Talvo". Loading this class loads the native library
 * ({@link NativeLibrary#load()}). Any thread may call either method at any time; neither throws, and
 * neither reports whether the log received the record.
 */
public class Syslog {
    static { NativeLibrary.load(); }

    /** Makes an instance; it holds no state, the log settings belong to the process. */
    public Syslog() {}

    /**
     * Names the process's log source: the identity "Talvo" and the daemon facility, so that a record
     * whose priority carries only a level is logged under that facility. Calling it again sets the
     * same again; records written before it get the system library's default identity and facility.
     * Returns at once.
     */
    public native void nativeOpenSyslog();

    /**
     * Writes one record. The message is never taken as a format: percent signs are logged as they are.
     * The call returns once the system library has handed the record to the log socket; where none is
     * listening, nothing is written.
     *
     * @param priority a level (0, emergency, to 7, debug) or-ed with a facility code, in the system's own
     *     encoding, passed as it is
     * @param msg the text; its first 8191 bytes of modified UTF-8 are logged (a longer text is cut, maybe
     *     inside a character); null writes nothing
     */
    public native void nativeSyslog(int priority, String msg);
}
