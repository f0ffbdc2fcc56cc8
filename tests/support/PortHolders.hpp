#pragma once

// Who holds a local TCP port: this process (an open socket of ours) or some
// other, from the kernel's socket tables and our own descriptors. A port the
// system picked for a listener is an ephemeral one, which another program's
// outgoing connection may take as soon as it is free.

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace lumenrail::test {

struct PortHolders {
  int ours = 0;
  int others = 0;
};

inline PortHolders tcpPortHolders(uint16_t port) {
  std::set<std::string> ours;  // socket inodes
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      char target[64];
      const std::string fd = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t n = ::readlink(fd.c_str(), target, sizeof target);
      const std::string link(target, n > 0 ? size_t(n) : 0);
      if (link.rfind("socket:[", 0) == 0) ours.insert(link.substr(8, link.size() - 9));
    }
    ::closedir(dir);
  }
  PortHolders holders;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
      // sl local remote st tx:rx tr:when retransmits uid timeout inode ...
      std::istringstream row(line);
      std::string local, inode, skip;
      row >> skip >> local >> skip >> skip >> skip >> skip >> skip >> skip >> skip >> inode;
      const size_t colon = local.rfind(':');
      // Inode 0: a socket closing (TIME_WAIT), which a listener may bind over.
      if (colon == std::string::npos || inode.empty() || inode == "0" ||
          std::stoul(local.substr(colon + 1), nullptr, 16) != port) {
        continue;
      }
      ++(ours.count(inode) ? holders.ours : holders.others);
    }
  }
  return holders;
}

}  // namespace lumenrail::test
