/** Starting the server as a detached daemon: {@link com.velmar.server.boot.TalvoBoot}. */
package com.velmar.server.boot;
