// ifhwaddr: puts the unit's Ethernet MAC address from the commissioning
// database into the network interfaces file, so eth0 comes up with it.
#pragma once

#include <string>

namespace ifhwaddr {

// Where the program's own files really are. The installed program uses the
// paths as they stand; a launcher that runs it inside a simulated board maps
// them into that board's file tree.
class Files {
 public:
  virtual ~Files() = default;
  virtual std::string locate(const char* path) const { return path; }
};

// Copies the MAC text (at least 14 bytes of room) and prints it.
bool getMacFromDb(char* mac);

// The whole program; returns the exit status.
int run(const Files& files);

}  // namespace ifhwaddr
