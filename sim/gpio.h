// The kernel's sysfs GPIO class as the board presents it: the export node
// "/sys/class/gpio/export" and, for every exported line, a directory
// "/sys/class/gpio/gpioN/" with the attributes direction, edge, value and
// active_low. Attributes behave like sysfs files: a write is parsed whole
// and replaces the setting, a read returns the current text.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sandbox.h"

namespace crx::sim {

struct GpioLines;

// A sysfs node that can also be told to fail its close.
class SysfsNode : public Device {
 public:
  int close(Handle& h) override;
  void fail_next_close(int n);

 private:
  std::mutex close_mutex_;
  int pending_close_faults_ = 0;
};

// One attribute file of one exported line.
class GpioAttribute : public SysfsNode {
 public:
  enum class Kind { kDirection, kEdge, kValue, kActiveLow };
  GpioAttribute(std::weak_ptr<GpioLines> lines, int pin, Kind kind);

  ssize_t read(Handle& h, void* buf, size_t len) override;
  ssize_t write(Handle& h, const void* buf, size_t len) override;
  // A value file reports POLLPRI | POLLERR once an edge of the line's edge
  // setting happened since this descriptor last read it, as sysfs does.
  short poll_events(Handle& h, short requested) override;

  // Every write as it arrived, all bytes kept (terminating zeros included).
  std::vector<std::string> writes() const;

 private:
  std::weak_ptr<GpioLines> lines_;
  int pin_;
  Kind kind_;
  std::vector<std::string> writes_;  // guarded by the lines' mutex
};

// The export node; owns the lines' state.
class SysfsGpio : public SysfsNode {
 public:
  explicit SysfsGpio(Sandbox& sandbox);
  // Creates the model and adds its export node to the sandbox.
  static std::shared_ptr<SysfsGpio> install(Sandbox& sandbox);

  ssize_t write(Handle& h, const void* buf, size_t len) override;

  // ---- scenario ----
  // A line exported before the library runs (boot scripts, another process),
  // with the kernel's defaults unless told otherwise.
  void export_line(int pin);
  // Writes of this number to the export node are taken but export nothing.
  void refuse_export(int pin);
  // The electrical level of a line, exported or not (low until set); the
  // value file reads it through active_low. A change that matches the
  // line's edge setting wakes the descriptors polling its value file.
  void set_level(int pin, bool high);
  // A line a chip drives: every read of its value file first asks `level`
  // (called under the model's lock: it must not call back into it). An
  // empty function ends the driving.
  void drive_on_read(int pin, std::function<bool()> level);

  // ---- inspection ----
  bool exported(int pin) const;
  std::vector<std::string> export_writes() const;
  // "in" or "out"; "none", "rising", "falling" or "both"; empty when the
  // line is not exported.
  std::string direction(int pin) const;
  std::string edge(int pin) const;
  bool active_low(int pin) const;
  // Logical value as the value file reads (0 when not exported).
  int value(int pin) const;
  // The attribute node ("direction", "edge", "value", "active_low") of a
  // line, for fault injection and write records; null for another name. A
  // line not exported yet has its nodes too: faults armed on them apply
  // from the export on.
  std::shared_ptr<GpioAttribute> attribute(int pin, const std::string& name) const;

 private:
  void create_line(int pin);

  Sandbox& sandbox_;
  std::shared_ptr<GpioLines> lines_;
};

}  // namespace crx::sim
