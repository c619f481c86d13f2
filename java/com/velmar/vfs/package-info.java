/**
 * Connections, listening sockets, files and the system log through libtalvo.
 *
 * <p>Native records (a listening socket, a connection) are named by handles: a {@code long} that holds
 * the record's address. The handle 0 is refused by every method with a neutral result, and nothing is
 * touched; a handle that was freed, or never returned by the library, is the caller's error and may crash
 * the JVM. Files are named by plain descriptors ({@code int}). Failures are told by results (negative
 * values, false, null), with the few exceptions that each method names. Array windows
 * ({@code buf, offset, length}) outside their array are refused without reading or writing any byte.
 *
 * <p>The classes load the library themselves ({@link com.velmar.util.NativeLibrary#load()}).
 */
package com.velmar.vfs;
