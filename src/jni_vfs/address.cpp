#include "address.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace talvo {

int get_address(const sockaddr *addr, char *dst, int length) {
    // inet_ntop takes an unsigned size: a negative one must not reach it.
    if (addr == nullptr || dst == nullptr || length <= 0) return 0;
    const void *raw = addr->sa_family == AF_INET6
                          ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr)
                          : static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(addr)->sin_addr);
    int family = addr->sa_family == AF_INET6 ? AF_INET6 : AF_INET;
    if (inet_ntop(family, raw, dst, static_cast<socklen_t>(length)) == nullptr) return 0;
    return static_cast<int>(strlen(dst));
}

}  // namespace talvo
