// The far end of the network benchmark, and its plain-socket ceiling.
//
//   net_peer receive PORT BYTES         connect to 127.0.0.1:PORT, take BYTES with
//                                       64 KiB recv calls; prints the seconds from
//                                       the first byte to the last
//   net_peer send-server BYTES          listen on 127.0.0.1, print the port, accept
//                                       one client and send it BYTES in 64 KiB sends
//   net_peer sendfile-server FILE BYTES as send-server, with a sendfile loop from
//                                       FILE (the zero-copy ceiling)
//   net_peer round-trips PORT CONNS MS  CONNS connections, one thread each, sending
//                                       100-byte requests and awaiting 100-byte
//                                       replies for MS milliseconds; prints the count
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr size_t bulk_chunk = 64 * 1024;
constexpr size_t message_size = 100;

int connect_loopback(int port) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        perror("connect");
        exit(1);
    }
    return sock;
}

bool full_io(int sock, char *buf, size_t len, bool sending) {
    while (len > 0) {
        ssize_t n = sending ? send(sock, buf, len, MSG_NOSIGNAL) : recv(sock, buf, len, 0);
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int receive(int port, long long bytes) {
    int sock = connect_loopback(port);
    std::vector<char> buf(bulk_chunk);
    long long got = 0;
    clock_type::time_point first{};
    while (got < bytes) {
        ssize_t n = recv(sock, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        if (got == 0) first = clock_type::now();
        got += n;
    }
    double seconds = std::chrono::duration<double>(clock_type::now() - first).count();
    close(sock);
    if (got != bytes) {
        fprintf(stderr, "received %lld of %lld bytes\n", got, bytes);
        return 1;
    }
    printf("%.6f\n", seconds);
    return 0;
}

// Sends BYTES to one client: from FILE with sendfile, or from a buffer with send.
int send_server(const char *file, long long bytes) {
    int fd = file ? open(file, O_RDONLY) : -1;
    if (file && fd < 0) {
        perror(file);
        return 1;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        perror("listen");
        return 1;
    }
    printf("%d\n", ntohs(address.sin_port));
    fflush(stdout);
    int sock = accept(listener, nullptr, nullptr);
    std::vector<char> buf(bulk_chunk, 'x');
    off_t offset = 0;
    while (fd >= 0 && offset < bytes)
        if (sendfile(sock, fd, &offset, static_cast<size_t>(bytes - offset)) <= 0) return 1;
    for (long long sent = 0; fd < 0 && sent < bytes; sent += static_cast<long long>(buf.size()))
        if (!full_io(sock, buf.data(), buf.size(), true)) return 1;
    close(sock);
    close(listener);
    return 0;
}

int round_trips(int port, int conns, int ms) {
    std::vector<int> socks;
    for (int i = 0; i < conns; i++) {
        socks.push_back(connect_loopback(port));
        int one = 1;
        setsockopt(socks.back(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    std::atomic<long long> total{0};
    std::atomic<bool> failed{false};
    auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
    std::vector<std::thread> threads;
    for (int sock : socks)
        threads.emplace_back([&, sock] {
            char request[message_size];
            char reply[message_size];
            memset(request, 'q', sizeof request);
            long long count = 0;
            while (clock_type::now() < deadline) {
                if (!full_io(sock, request, sizeof request, true) || !full_io(sock, reply, sizeof reply, false)) {
                    failed = true;
                    break;
                }
                count++;
            }
            total += count;
        });
    for (std::thread &thread : threads) thread.join();
    for (int sock : socks) close(sock);
    if (failed) {
        fprintf(stderr, "a round trip failed\n");
        return 1;
    }
    printf("%lld\n", total.load());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "receive") == 0) return receive(atoi(argv[2]), atoll(argv[3]));
    if (argc == 3 && strcmp(argv[1], "send-server") == 0) return send_server(nullptr, atoll(argv[2]));
    if (argc == 4 && strcmp(argv[1], "sendfile-server") == 0) return send_server(argv[2], atoll(argv[3]));
    if (argc == 5 && strcmp(argv[1], "round-trips") == 0) return round_trips(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr, "usage: net_peer receive PORT BYTES | send-server BYTES | sendfile-server FILE BYTES | "
                    "round-trips PORT CONNS MS\n");
    return 2;
}
