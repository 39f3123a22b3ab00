// Which processes hold the other end of a server's accepted Unix socket
// connections, as the kernel reports them: the only record of who is
// connected to a server that keeps no verified credentials of its peers.
#ifndef ORVEL_SOCKET_PEERS_LINUX_H_
#define ORVEL_SOCKET_PEERS_LINUX_H_

#include <sys/types.h>

#include <vector>

struct SocketPeerQuery {
  // The server: its accepted connections are its bound, connected sockets.
  pid_t server_pid;
  // The processes whose connections to the server are counted.
  std::vector<pid_t> pids;
};

// Fills COUNTS with, for each of QUERY.pids in turn, how many of the
// server's accepted connections that process holds the other end of (0 for
// a process that is gone or whose descriptors this process may not read).
// False, with *ERROR set to an errno value, when the server's descriptors or
// the kernel's table of Unix sockets cannot be read.
bool CountSocketPeers(const SocketPeerQuery& query, std::vector<int>* counts,
                      int* error);

#endif  // ORVEL_SOCKET_PEERS_LINUX_H_
