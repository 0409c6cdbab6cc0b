// The server's address and the two UDP links to it. The address is looked
// up (name or literal, IPv4 or IPv6) by a helper thread, so neither
// direction ever waits on DNS; a new answer bumps a generation, and each
// link reconnects its own socket when it sees one.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace crxfwd {

struct Endpoint {
  sockaddr_storage addr{};
  socklen_t len = 0;
};

// host, port → endpoint, or false with a reason.
using Resolver = std::function<bool(const std::string& host, const std::string& port, Endpoint& out,
                                    std::string& error)>;
bool resolve_with_getaddrinfo(const std::string& host, const std::string& port, Endpoint& out, std::string& error);
std::string endpoint_text(const Endpoint& e);
// A UDP socket bound to 127.0.0.1 on a port the kernel picks (stored in
// `port`): the network-server stand-ins of the demo, tests and benchmarks.
int bind_loopback_udp(uint16_t& port);

using LogFn = std::function<void(const std::string&)>;

class Server {
 public:
  Server(std::string host, std::string port_up, std::string port_down, Resolver resolver, LogFn log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts a look-up unless one is running.
  void resolve();
  // The current endpoints, with their generation (0: none yet).
  uint64_t get(bool down, Endpoint& out) const;
  bool resolved() const;
  // Waits for a look-up in progress.
  void join();

 private:
  void lookup();

  const std::string host_, up_, down_;
  Resolver resolver_;
  LogFn log_;

  mutable std::mutex mutex_;  // guards everything below
  Endpoint ep_up_, ep_down_;
  uint64_t generation_ = 0;
  bool running_ = false;
  bool started_ = false;
  std::chrono::steady_clock::time_point last_start_{};
  int last_state_ = -1;  // 1 resolved, 0 failed: logged on change
  std::thread worker_;
};

// One direction's socket, owned by its thread.
class Link {
 public:
  Link(Server& server, bool down, const char* name, LogFn log);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // The connected socket for the current endpoint, or -1 while there is none.
  int fd();
  // Sends a datagram; false when it could not go (logged once per change).
  bool send(const void* data, size_t len);
  // A receive error (an ICMP refusal shows up here): logged once per change.
  void receive_error(int err);
  // The server answered (an acknowledgement or a request arrived).
  void answered();

 private:
  void state(bool ok, int err);

  Server& server_;
  bool down_;
  const char* name_;
  LogFn log_;
  int fd_ = -1;
  uint64_t generation_ = 0;
  int last_ok_ = -1;
  int last_err_ = 0;
};

}  // namespace crxfwd
