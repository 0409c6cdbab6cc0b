#include "gpio.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>

namespace crx::sim {

using Kind = GpioAttribute::Kind;

namespace {

struct Attribute {
  Kind kind;
  const char* name;
};
constexpr Attribute kAttributes[] = {{Kind::kDirection, "direction"},
                                     {Kind::kEdge, "edge"},
                                     {Kind::kValue, "value"},
                                     {Kind::kActiveLow, "active_low"}};

std::string line_dir(int pin) { return "/sys/class/gpio/gpio" + std::to_string(pin); }

// The kernel hands a sysfs store a zero-terminated copy of the write and
// compares words ignoring one trailing newline.
std::string written_word(const void* buf, size_t len) {
  std::string text(static_cast<const char*>(buf), len);
  text.resize(std::strlen(text.c_str()));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool parse_number(const std::string& word, long& out) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtol(word.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

}  // namespace

struct GpioLine {
  bool output = false;
  std::string edge = "none";
  bool active_low = false;
};

struct GpioLines {
  mutable std::mutex mutex;  // guards everything below
  std::map<int, GpioLine> lines;  // exported lines only
  std::map<int, bool> levels;     // electrical level of any line, low when unset
  std::map<int, uint64_t> edges;  // edges seen on a line, per its edge setting
  // Attribute nodes, made on first need so that faults can be armed before
  // the line is exported.
  std::map<int, std::map<Kind, std::shared_ptr<GpioAttribute>>> nodes;
  std::set<int> refused;
  std::vector<std::string> export_writes;
  // Lines a chip drives, asked for their level at every read of the value
  // file (a chip's BUSY output changes without any event to poll for).
  std::map<int, std::function<bool()>> drivers;

  const GpioLine* find(int pin) const {
    auto it = lines.find(pin);
    return it == lines.end() ? nullptr : &it->second;
  }
  bool level(int pin) const {
    auto it = levels.find(pin);
    return it != levels.end() && it->second;
  }
  int logical_value(int pin, const GpioLine& line) const { return level(pin) != line.active_low ? 1 : 0; }
  std::map<Kind, std::shared_ptr<GpioAttribute>>& nodes_of(int pin) {
    auto& of_pin = nodes[pin];
    if (of_pin.empty())
      for (const auto& a : kAttributes) of_pin[a.kind] = std::make_shared<GpioAttribute>(self, pin, a.kind);
    return of_pin;
  }
  std::weak_ptr<GpioLines> self;  // handed to the nodes, which must not own their owner
};

// ---------------------------------------------------------------- SysfsNode

int SysfsNode::close(Handle&) {
  std::lock_guard lock(close_mutex_);
  if (pending_close_faults_ <= 0) return 0;
  --pending_close_faults_;
  errno = EIO;
  return -1;
}

void SysfsNode::fail_next_close(int n) {
  std::lock_guard lock(close_mutex_);
  pending_close_faults_ = n;
}

// ---------------------------------------------------------------- attributes

GpioAttribute::GpioAttribute(std::weak_ptr<GpioLines> lines, int pin, Kind kind)
    : lines_(std::move(lines)), pin_(pin), kind_(kind) {}

ssize_t GpioAttribute::read(Handle& h, void* buf, size_t len) {
  if (take_fault()) {
    errno = EIO;
    return -1;
  }
  const auto lines = lines_.lock();
  if (!lines) return errno = ENODEV, -1;
  std::string text;
  {
    std::lock_guard lock(lines->mutex);
    const GpioLine* line = lines->find(pin_);
    if (!line) {
      errno = ENODEV;
      return -1;
    }
    switch (kind_) {
      case Kind::kDirection: text = std::string(line->output ? "out" : "in"); break;
      case Kind::kEdge: text = line->edge; break;
      case Kind::kValue:
        if (auto d = lines->drivers.find(pin_); d != lines->drivers.end()) lines->levels[pin_] = d->second();
        text = std::string(1, lines->logical_value(pin_, *line) ? '1' : '0');
        h.events_seen = lines->edges[pin_];
        break;
      case Kind::kActiveLow: text = std::string(1, line->active_low ? '1' : '0'); break;
    }
  }
  text += '\n';
  if (h.position >= off_t(text.size())) return 0;
  const size_t n = std::min(len, text.size() - size_t(h.position));
  std::memcpy(buf, text.data() + h.position, n);
  h.position += off_t(n);
  return ssize_t(n);
}

ssize_t GpioAttribute::write(Handle&, const void* buf, size_t len) {
  if (take_fault()) {
    errno = EIO;
    return -1;
  }
  const std::string word = written_word(buf, len);
  const auto lines = lines_.lock();
  if (!lines) return errno = ENODEV, -1;
  std::lock_guard lock(lines->mutex);
  auto it = lines->lines.find(pin_);
  if (it == lines->lines.end()) {
    errno = ENODEV;
    return -1;
  }
  GpioLine& line = it->second;
  writes_.emplace_back(static_cast<const char*>(buf), len);
  long number = 0;
  switch (kind_) {
    case Kind::kDirection:
      if (word == "in") line.output = false;
      else if (word == "out" || word == "low") line.output = true, lines->levels[pin_] = line.active_low;
      else if (word == "high") line.output = true, lines->levels[pin_] = !line.active_low;
      else return errno = EINVAL, -1;
      break;
    case Kind::kEdge:
      if (word != "none" && word != "rising" && word != "falling" && word != "both")
        return errno = EINVAL, -1;
      line.edge = word;
      break;
    case Kind::kValue:
      if (!line.output) return errno = EPERM, -1;
      if (!parse_number(word, number)) return errno = EINVAL, -1;
      lines->levels[pin_] = (number != 0) != line.active_low;
      break;
    case Kind::kActiveLow:
      if (!parse_number(word, number)) return errno = EINVAL, -1;
      line.active_low = number != 0;
      break;
  }
  return ssize_t(len);
}

short GpioAttribute::poll_events(Handle& h, short requested) {
  const auto lines = lines_.lock();
  if (!lines || kind_ != Kind::kValue) return short(requested & (POLLIN | POLLOUT));
  std::lock_guard lock(lines->mutex);
  const bool edge = lines->edges[pin_] > h.events_seen;
  return short((requested & POLLIN) | (edge ? (POLLPRI | POLLERR) & (requested | POLLERR) : 0));
}

std::vector<std::string> GpioAttribute::writes() const {
  const auto lines = lines_.lock();
  if (!lines) return writes_;
  std::lock_guard lock(lines->mutex);
  return writes_;
}

// ---------------------------------------------------------------- export node

SysfsGpio::SysfsGpio(Sandbox& sandbox) : sandbox_(sandbox), lines_(std::make_shared<GpioLines>()) {
  lines_->self = lines_;
}

std::shared_ptr<SysfsGpio> SysfsGpio::install(Sandbox& sandbox) {
  auto gpio = std::make_shared<SysfsGpio>(sandbox);
  sandbox.add_device("/sys/class/gpio/export", gpio);
  return gpio;
}

ssize_t SysfsGpio::write(Handle&, const void* buf, size_t len) {
  if (take_fault()) {
    errno = EIO;
    return -1;
  }
  const std::string word = written_word(buf, len);
  long pin = 0;
  {
    std::lock_guard lock(lines_->mutex);
    lines_->export_writes.emplace_back(static_cast<const char*>(buf), len);
    if (!parse_number(word, pin) || pin < 0 || pin > 1023) return errno = EINVAL, -1;
    if (lines_->lines.count(int(pin))) return errno = EBUSY, -1;
    if (lines_->refused.count(int(pin))) return ssize_t(len);
  }
  create_line(int(pin));
  return ssize_t(len);
}

void SysfsGpio::create_line(int pin) {
  std::map<Kind, std::shared_ptr<GpioAttribute>> nodes;
  {
    std::lock_guard lock(lines_->mutex);
    lines_->lines[pin];
    nodes = lines_->nodes_of(pin);
  }
  for (const auto& a : kAttributes) sandbox_.add_device(line_dir(pin) + "/" + a.name, nodes[a.kind]);
}

void SysfsGpio::export_line(int pin) {
  if (!exported(pin)) create_line(pin);
}

void SysfsGpio::refuse_export(int pin) {
  std::lock_guard lock(lines_->mutex);
  lines_->refused.insert(pin);
}

void SysfsGpio::set_level(int pin, bool high) {
  bool edge = false;
  {
    std::lock_guard lock(lines_->mutex);
    const bool was = lines_->level(pin);
    lines_->levels[pin] = high;
    if (const GpioLine* line = lines_->find(pin); line && was != high) {
      const bool rising = (high != line->active_low);
      edge = line->edge == "both" || (line->edge == "rising" && rising) || (line->edge == "falling" && !rising);
      if (edge) ++lines_->edges[pin];
    }
  }
  if (edge) sandbox_.notify_pollers();
}

void SysfsGpio::drive_on_read(int pin, std::function<bool()> level) {
  std::lock_guard lock(lines_->mutex);
  if (level) lines_->drivers[pin] = std::move(level);
  else lines_->drivers.erase(pin);
}

bool SysfsGpio::exported(int pin) const {
  std::lock_guard lock(lines_->mutex);
  return lines_->find(pin) != nullptr;
}

std::vector<std::string> SysfsGpio::export_writes() const {
  std::lock_guard lock(lines_->mutex);
  return lines_->export_writes;
}

std::string SysfsGpio::direction(int pin) const {
  std::lock_guard lock(lines_->mutex);
  const GpioLine* line = lines_->find(pin);
  return line ? (line->output ? "out" : "in") : "";
}

std::string SysfsGpio::edge(int pin) const {
  std::lock_guard lock(lines_->mutex);
  const GpioLine* line = lines_->find(pin);
  return line ? line->edge : "";
}

bool SysfsGpio::active_low(int pin) const {
  std::lock_guard lock(lines_->mutex);
  const GpioLine* line = lines_->find(pin);
  return line && line->active_low;
}

int SysfsGpio::value(int pin) const {
  std::lock_guard lock(lines_->mutex);
  const GpioLine* line = lines_->find(pin);
  return line ? lines_->logical_value(pin, *line) : 0;
}

std::shared_ptr<GpioAttribute> SysfsGpio::attribute(int pin, const std::string& name) const {
  std::lock_guard lock(lines_->mutex);
  for (const auto& a : kAttributes)
    if (name == a.name) return lines_->nodes_of(pin)[a.kind];
  return nullptr;
}

}  // namespace crx::sim
