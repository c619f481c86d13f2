// Plain-TCP calls beyond the operation table, whose layout plug-in modules
// share: file sends, and sends and receives that never wait.
#pragma once

#include "talvo.h"

#include <cstdint>

namespace talvo {

// Sends `length` bytes of `file` from `offset` without moving the file's
// position, blocking as std_write does and continuing after short sends.
// The bytes sent (fewer only where the file ends early), or -1, -3, -4 with
// the connection closed; an unusable file before any byte went out is -1 and
// leaves the connection open.
int64_t std_send_file(connection_t *conn, int file, int64_t offset, int64_t length);

// One call each that never waits: the bytes moved, 0 for a peer's end (the
// receive) or a file's end (the file send), WOULD_BLOCK when nothing can move
// now, -1 on a failure.  None of them closes the connection.
int std_try_recv(connection_t *conn, char *buf, int len);
int std_try_send(connection_t *conn, const char *buf, int len);
int64_t std_try_send_file(connection_t *conn, int file, int64_t offset, int64_t length);

}  // namespace talvo
