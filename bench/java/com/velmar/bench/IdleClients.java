package com.velmar.bench;

import java.io.IOException;
import java.io.InputStream;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * Parks idle keep-alive clients on a server: opens COUNT connections to
 * 127.0.0.1:PORT, makes one request for PATH on each, reads the answer whole
 * and holds the connection open. Prints "parked N" and then holds them until
 * its standard input closes.
 *
 * <p>Usage: IdleClients PORT COUNT PATH
 */
public final class IdleClients {
    public static void main(String[] args) throws Exception {
        int port = Integer.parseInt(args[0]);
        int count = Integer.parseInt(args[1]);
        byte[] request = ("GET " + args[2] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").getBytes(StandardCharsets.US_ASCII);
        List<Socket> parked = new ArrayList<>(count);
        for (int i = 0; i < count; i++) {
            Socket s = new Socket();
            s.connect(new InetSocketAddress("127.0.0.1", port), 10_000);
            s.setSoTimeout(10_000);
            s.getOutputStream().write(request);
            readAnswer(s.getInputStream());
            parked.add(s);
        }
        System.out.println("parked " + parked.size());
        System.out.flush();
        while (System.in.read() >= 0) {
            // holds them until the input closes
        }
        for (Socket s : parked) s.close();
    }

    /** Reads one answer: the head, then Content-Length bytes of body. */
    private static void readAnswer(InputStream in) throws IOException {
        StringBuilder head = new StringBuilder();
        while (!head.toString().endsWith("\r\n\r\n")) {
            int b = in.read();
            if (b < 0) throw new IOException("closed by the server");
            head.append((char) b);
        }
        long length = 0;
        for (String line : head.toString().split("\r\n")) {
            if (line.regionMatches(true, 0, "Content-Length:", 0, 15)) length = Long.parseLong(line.substring(15).trim());
        }
        while (length > 0) {
            long skipped = in.skip(length);
            if (skipped <= 0) {
                if (in.read() < 0) throw new IOException("body cut short");
                skipped = 1;
            }
            length -= skipped;
        }
    }
}
