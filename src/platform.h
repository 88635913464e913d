/* platform - the socket descriptor type of the platform, and how to close one. */
#pragma once

#include <unistd.h>

// A socket descriptor; -1 stands for no socket.
using socket_t = int;

// Closes a socket descriptor; the result of the close is of no use to anyone.
inline void close_socket(socket_t sock) noexcept
{
    (void)::close(sock);
}
