#include "network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace crxfwd {

int bind_loopback_udp(uint16_t& port) {
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

bool resolve_with_getaddrinfo(const std::string& host, const std::string& port, Endpoint& out, std::string& error) {
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  struct addrinfo* res = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY) {
    // A literal of a family the host has no address of (a loopback-only
    // test machine) is still usable.
    hints.ai_flags = 0;
    rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  }
  if (rc != 0) {
    error = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return false;
  }
  bool found = false;
  for (struct addrinfo* a = res; a; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    std::memcpy(&out.addr, a->ai_addr, a->ai_addrlen);
    out.len = a->ai_addrlen;
    found = true;
    break;
  }
  freeaddrinfo(res);
  if (!found) error = "no IPv4 or IPv6 address";
  return found;
}

std::string endpoint_text(const Endpoint& e) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (e.addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&e.addr);
    inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (e.addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&e.addr);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

Server::Server(std::string host, std::string port_up, std::string port_down, Resolver resolver, LogFn log)
    : host_(std::move(host)), up_(std::move(port_up)), down_(std::move(port_down)), resolver_(std::move(resolver)),
      log_(std::move(log)) {}

Server::~Server() { join(); }

void Server::resolve() {
  std::thread finished;
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
    // A failing look-up is not hammered: one every two seconds at most.
    const auto now = std::chrono::steady_clock::now();
    if (generation_ == 0 && started_ && now - last_start_ < std::chrono::seconds(2)) return;
    started_ = true;
    last_start_ = now;
    finished = std::move(worker_);
    running_ = true;
    worker_ = std::thread([this] { lookup(); });
  }
  // The previous worker has given its answer but may still be writing its
  // log line: joined without the lock, so the links reading the address
  // never wait on the log.
  if (finished.joinable()) finished.join();
}

void Server::lookup() {
  Endpoint up, down;
  std::string error;
  const bool ok = resolver_(host_, up_, up, error) && resolver_(host_, down_, down, error);
  std::string line;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    if (ok) {
      const bool changed = generation_ == 0 || std::memcmp(&up.addr, &ep_up_.addr, sizeof up.addr) != 0 ||
                           std::memcmp(&down.addr, &ep_down_.addr, sizeof down.addr) != 0;
      if (changed) {
        ep_up_ = up;
        ep_down_ = down;
        ++generation_;
      }
      if (last_state_ != 1 || changed)
        line = "server \"" + host_ + "\" is " + endpoint_text(up) + " (up) and " + endpoint_text(down) + " (down)";
      last_state_ = 1;
    } else {
      if (last_state_ != 0) line = "server \"" + host_ + "\" cannot be resolved: " + error + "; retrying";
      last_state_ = 0;
    }
  }
  if (!line.empty() && log_) log_(line);
}

uint64_t Server::get(bool down, Endpoint& out) const {
  std::lock_guard lock(mutex_);
  out = down ? ep_down_ : ep_up_;
  return generation_;
}

bool Server::resolved() const {
  std::lock_guard lock(mutex_);
  return generation_ != 0;
}

void Server::join() {
  std::thread t;
  {
    std::lock_guard lock(mutex_);
    t = std::move(worker_);
  }
  if (t.joinable()) t.join();
}

Link::Link(Server& server, bool down, const char* name, LogFn log)
    : server_(server), down_(down), name_(name), log_(std::move(log)) {}

Link::~Link() {
  if (fd_ >= 0) ::close(fd_);
}

int Link::fd() {
  Endpoint ep;
  const uint64_t gen = server_.get(down_, ep);
  if (gen == generation_) return fd_;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  generation_ = gen;
  if (gen == 0) return -1;
  fd_ = ::socket(ep.addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    state(false, errno);
    return -1;
  }
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&ep.addr), ep.len) != 0) {
    state(false, errno);
    ::close(fd_);
    fd_ = -1;
  }
  return fd_;
}

bool Link::send(const void* data, size_t len) {
  const int s = fd();
  if (s < 0) return false;
  const ssize_t n = ::send(s, data, len, MSG_NOSIGNAL);
  // A datagram sent says nothing about the server: only its answers do.
  if (n == ssize_t(len)) return true;
  state(false, n < 0 ? errno : EMSGSIZE);
  return false;
}

void Link::receive_error(int err) { state(false, err); }

void Link::answered() { state(true, 0); }

void Link::state(bool ok, int err) {
  if (ok) {
    if (last_ok_ != 1 && log_) log_(std::string(name_) + ": server reachable");
    last_ok_ = 1;
    return;
  }
  if ((last_ok_ != 0 || last_err_ != err) && log_)
    log_(std::string(name_) + ": server unreachable: " + std::strerror(err) + "; retrying");
  last_ok_ = 0;
  last_err_ = err;
}

}  // namespace crxfwd
