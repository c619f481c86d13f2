// Numeric text of a socket address, shared by the listening-socket and
// connection natives.
#pragma once

#include <sys/socket.h>

namespace talvo {

// Writes the numeric text of `addr` (IPv6 for AF_INET6, IPv4 for any other
// family) into `dst`, which holds `length` bytes.  Returns the text's length
// without its NUL, or 0 when it does not fit with the NUL.
int get_address(const sockaddr *addr, char *dst, int length);

}  // namespace talvo
