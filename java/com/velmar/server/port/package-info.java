/**
 * Waiting on many connections at once: {@link com.velmar.server.port.JniSelectManager}, a set of
 * descriptors that one thread waits on while others add and remove them.
 */
package com.velmar.server.port;
