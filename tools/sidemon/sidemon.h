// sidemon: samples the RSSI seen by the Wren gateway's SX127x side radio
// once a second and logs it, with a UTC time stamp, to an hourly rotated
// CSV file under /var/lib/utilResults/, a fixed link naming the newest.
#pragma once

#include <ctime>
#include <string>

namespace sidemon {

// What the program takes from its surroundings: where its files really
// are and the calendar clocks. The installed program uses the paths as
// they stand and the system clocks; a launcher that runs it inside a
// simulated board maps both into that board's sandbox.
class Env {
 public:
  virtual ~Env() = default;
  virtual std::string locate(const char* path) const { return path; }
  virtual time_t now() const { return std::time(nullptr); }
  virtual struct timespec realtime() const {
    struct timespec t {};
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
  }
};

// The whole program; returns the exit status.
int run(int argc, char** argv, const Env& env);

}  // namespace sidemon
