#include "socket_peers_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <set>

namespace {

// A tree, not a hash set: a hash set's bucket array would tie the prebuilt
// binaries to a libstdc++ newer than GCC 8's.
using InodeSet = std::set<uint64_t>;

constexpr size_t kReceiveBytes = 32768;

// The inodes of the sockets among PID's open descriptors; false with errno
// set when its descriptor table cannot be read.
bool SocketInodes(pid_t pid, InodeSet* inodes) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(dir.c_str());
  if (fds == nullptr) return false;
  constexpr char kPrefix[] = "socket:[";
  char target[64];
  while (dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    const ssize_t length =
        readlinkat(dirfd(fds), entry->d_name, target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    if (std::strncmp(target, kPrefix, sizeof kPrefix - 1) != 0) continue;
    inodes->insert(std::strtoull(target + sizeof kPrefix - 1, nullptr, 10));
  }
  closedir(fds);
  return true;
}

// From one sock_diag answer: adds to PEERS the peer of each socket in
// SERVER that is bound and connected, which is what an accepted connection
// is (it carries its listening socket's address; the server's own
// connections out are unbound).
void TakePeer(const unix_diag_msg* message, size_t length,
              const InodeSet& server, InodeSet* peers) {
  if (server.count(message->udiag_ino) == 0) return;
  bool named = false;
  uint32_t peer = 0;
  size_t left = length - NLMSG_ALIGN(sizeof *message);
  auto* attribute = reinterpret_cast<const rtattr*>(
      reinterpret_cast<const char*>(message) + NLMSG_ALIGN(sizeof *message));
  for (; RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
    if (attribute->rta_type == UNIX_DIAG_NAME) named = true;
    if (attribute->rta_type == UNIX_DIAG_PEER &&
        RTA_PAYLOAD(attribute) >= sizeof peer) {
      std::memcpy(&peer, RTA_DATA(attribute), sizeof peer);
    }
  }
  if (named && peer != 0) peers->insert(peer);
}

// The peers of SERVER's accepted connections, from a dump of every
// connected Unix socket; false with errno set when the kernel cannot be
// asked.
bool AcceptedPeers(const InodeSet& server, InodeSet* peers) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = AF_UNIX;
  ask.request.udiag_states = 1u << 1;  // TCP_ESTABLISHED: connected
  ask.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) != static_cast<ssize_t>(sizeof ask)) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  alignas(nlmsghdr) char buffer[kReceiveBytes];
  for (;;) {
    const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) {
      const int saved = received < 0 ? errno : EPROTO;
      close(fd);
      errno = saved;
      return false;
    }
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    for (size_t left = received; NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) {
        close(fd);
        return true;
      }
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        close(fd);
        errno = failure->error != 0 ? -failure->error : EPROTO;
        return false;
      }
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
          header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) {
        continue;
      }
      TakePeer(static_cast<const unix_diag_msg*>(NLMSG_DATA(header)),
               header->nlmsg_len - NLMSG_HDRLEN, server, peers);
    }
  }
}

}  // namespace

bool CountSocketPeers(const SocketPeerQuery& query, std::vector<int>* counts,
                      int* error) {
  counts->assign(query.pids.size(), 0);
  InodeSet server;
  InodeSet peers;
  if (!SocketInodes(query.server_pid, &server) ||
      !AcceptedPeers(server, &peers)) {
    *error = errno;
    return false;
  }
  for (size_t i = 0; i < query.pids.size(); i++) {
    InodeSet held;
    if (!SocketInodes(query.pids[i], &held)) continue;
    for (uint64_t inode : held) (*counts)[i] += static_cast<int>(peers.count(inode));
  }
  return true;
}
