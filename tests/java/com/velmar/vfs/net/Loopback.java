package com.velmar.vfs.net;

import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmar.vfs.JniServerSocketImpl;
import com.velmar.vfs.JniSocketImpl;
import com.velmar.vfs.JniStream;
import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.ArrayList;
import java.util.List;

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

    public Loopback(String address) throws IOException {
        this.address = address;
        this.port = freePort(address);
        this.ss = SERVER.bindPort(address, port, 0);
        assertNotEquals(0, ss);
    }

    /** A port that nothing listens on now; the native bind sets SO_REUSEADDR. */
    static int freePort(String address) throws IOException {
        try (ServerSocket probe = new ServerSocket(0, 1, InetAddress.getByName(address))) {
            return probe.getLocalPort();
        }
    }

    public Socket connect() throws IOException {
        Socket client = new Socket();
        clients.add(client);
        client.connect(new InetSocketAddress(address, port), 10_000);
        client.setSoTimeout(10_000);
        return client;
    }

    /** A fresh connection record, released when this closes. */
    long allocate() {
        long conn = SOCKETS.nativeAllocate();
        assertNotEquals(0, conn);
        conns.add(conn);
        return conn;
    }

    /** Accepts the connection of `client`, which is already queued. */
    public long accept() {
        long conn = allocate();
        assertTrue(SERVER.nativeAccept(ss, conn));
        return conn;
    }

    /** Closes the listening socket now; close() then leaves it alone. */
    void closeListener() {
        SERVER.closeNative(ss);
        closed = true;
    }

    private boolean closed;

    @Override
    public void close() throws IOException {
        for (Socket client : clients) client.close();
        for (long conn : conns) {
            SOCKETS.nativeClose(conn);
            SOCKETS.nativeFree(conn);
        }
        if (!closed) SERVER.closeNative(ss);
    }

    static byte[] pattern(int size, int seed) {
        byte[] bytes = new byte[size];
        for (int i = 0; i < size; i++) bytes[i] = (byte) (i * 7 + i / 251 + seed);
        return bytes;
    }

    /** Waits until `thread` runs nativeAccept, or has ended. */
    static void awaitInNativeAccept(Thread thread) throws InterruptedException {
        for (int i = 0; i < 10_000; i++) {
            StackTraceElement[] stack = thread.getStackTrace();
            if (stack.length > 0 && stack[0].getMethodName().equals("nativeAccept")) break;
            if (thread.getState() == Thread.State.TERMINATED) break;
            Thread.sleep(1);
        }
        // From the native frame into the accept hook is a few instructions.
        Thread.sleep(1);
    }
}
