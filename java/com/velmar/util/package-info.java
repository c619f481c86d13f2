/**
 * Loading libtalvo ({@link com.velmar.util.NativeLibrary}) and the process-wide settings of the server
 * ({@link com.velmar.util.VelmarSystem}).
 */
package com.velmar.util;
