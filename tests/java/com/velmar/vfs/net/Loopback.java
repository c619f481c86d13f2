package com.velmar.vfs.net;

import static org.junit.jupiter.api.Assertions.*;

import com.velmar.vfs.*;
import java.io.*;
import java.net.*;
import java.util.*;

/** A native listening socket on a loopback address, and the connections accepted from it. */
public final class Loopback implements AutoCloseable {
    public static final JniServerSocketImpl SERVER = new JniServerSocketImpl();
    public static final JniSocketImpl SOCKETS = new JniSocketImpl();
    public static final JniStream STREAM = new JniStream();

    final String address;
    final int port;
    final long ss;
    private final List<Long> conns = new ArrayList<>();
    private final List<Socket> clients = new ArrayList<>();

    public Loopback(String address) {
        this.address = address;
        try (ServerSocket probe = new ServerSocket(0)) {  // a port free now; the native bind sets SO_REUSEADDR
            port = probe.getLocalPort();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        assertNotEquals(0, ss = SERVER.bindPort(address, port, 0));
    }

    /** A client whose reads wait at most 10 s. */
    public Socket connect() throws IOException {
        Socket client = new Socket();
        clients.add(client);
        client.connect(new InetSocketAddress(address, port), 10_000);
        client.setSoTimeout(10_000);
        return client;
    }

    /** Accepts a connection that is already queued into a fresh record, freed when this closes. */
    public long accept() {
        long conn = SOCKETS.nativeAllocate();
        conns.add(conn);
        assertTrue(conn != 0 && SOCKETS.getNativeFd(conn) == -1 && SERVER.nativeAccept(ss, conn));
        return conn;
    }

    @Override
    public void close() throws IOException {
        for (Socket client : clients) client.close();
        for (long conn : conns) {
            SOCKETS.nativeClose(conn);
            SOCKETS.nativeFree(conn);
        }
        SERVER.closeNative(ss);
    }
}
