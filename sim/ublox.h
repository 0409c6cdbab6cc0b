// A u-blox GPS receiver behind its DDC byte interface, reached through the
// pair of read and write functions an application hands to the library in
// crx_gps_cfg_t.
//
// Registers: 0xFD and 0xFE give the number of bytes waiting (most
// significant first), 0xFF streams them (0xFF once empty). A read starts at
// the given register and moves on by one byte per byte, staying at 0xFF.
// Writes are UBX frames; the model checks each frame's checksum, keeps the
// configuration messages it is sent, answers polls with them and
// acknowledges CFG messages (ACK-ACK, or ACK-NAK for what it does not know
// or was told to refuse). Until port 0's NMEA output is switched off it
// puts a burst of NMEA sentences in front of every answer, as a module that
// streams its default output does.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "crx.h"
#include "sandbox.h"

namespace crx::sim {

class UbloxReceiver {
 public:
  enum class Answer { kNormal, kSilent, kGarbage, kBadChecksum };

  struct Command {
    uint8_t msg_class;
    uint8_t msg_id;
    std::vector<uint8_t> payload;
  };

  UbloxReceiver();
  ~UbloxReceiver();
  UbloxReceiver(const UbloxReceiver&) = delete;
  UbloxReceiver& operator=(const UbloxReceiver&) = delete;

  // Points read, write and dev of `cfg` at this receiver.
  void attach(crx_gps_cfg_t& cfg) const;

  // ---- behaviour ----
  void set_answer(Answer answer);
  // ACK-NAK for every command of this class and id.
  void nak(uint8_t msg_class, uint8_t msg_id);
  // NMEA output on port 0 (on by default, as a fresh module has it).
  void set_nmea_output(bool on);
  // Report at most `n` bytes waiting at a time (0: no limit), so frames
  // arrive split across reads.
  void set_chunk(size_t n);
  // Every read or write fails while set.
  void fail_io(bool fail);
  // Raw bytes put in the output stream as they are.
  void push_output(const std::vector<uint8_t>& bytes);
  // What NAV-POSLLH reports: 1e-7 degree and mm.
  void set_position(int32_t lat_e7, int32_t lon_e7, int32_t height_mm);

  // ---- inspection ----
  // Commands with a good checksum, in arrival order.
  std::vector<Command> commands() const;
  // Every write as it arrived, and the frames refused for their checksum.
  std::vector<std::vector<uint8_t>> writes() const;
  int bad_frames() const;
  // The configuration last set (or the module's default): the payload of
  // the CFG message of this id, for the given selector (port, protocol, or
  // class and id for CFG-MSG; 0 where there is none).
  std::vector<uint8_t> config(uint8_t msg_id, uint16_t selector = 0) const;
  size_t pending_output() const;

  static std::vector<uint8_t> frame(uint8_t msg_class, uint8_t msg_id, const std::vector<uint8_t>& payload);

 private:
  static int read_fn(uint8_t dev, uint8_t reg, uint8_t* buf, uint16_t length);
  static int write_fn(uint8_t dev, uint8_t* buf, uint16_t length);
  int read(uint8_t reg, uint8_t* buf, uint16_t length);
  int write(const uint8_t* buf, uint16_t length);
  void handle(const Command& c);
  void answer(uint8_t msg_class, uint8_t msg_id, const std::vector<uint8_t>& payload);
  void ack(uint8_t msg_class, uint8_t msg_id, bool positive);
  void emit(std::vector<uint8_t> bytes);
  bool nmea_on() const;

  uint8_t dev_ = 0;
  mutable std::mutex mutex_;  // guards everything below
  Answer answer_ = Answer::kNormal;
  std::vector<std::pair<uint8_t, uint8_t>> naks_;
  size_t chunk_ = 0;
  bool fail_io_ = false;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> in_;  // a frame arriving over several writes
  std::vector<Command> commands_;
  std::vector<std::vector<uint8_t>> writes_;
  int bad_frames_ = 0;
  std::map<std::pair<uint8_t, uint16_t>, std::vector<uint8_t>> config_;
  int32_t lat_e7_ = 0, lon_e7_ = 0, height_mm_ = 0;
  uint32_t garbage_seed_ = 0x1234567;
};

// NMEA sentences of a receiver at a fixed place: "$GPRMC…*hh" and
// "$GPGGA…*hh" for the UTC time given (centiseconds written), with CR LF.
std::string nmea_rmc(time_t utc, int centiseconds, double lat, double lon);
std::string nmea_gga(time_t utc, int centiseconds, double lat, double lon, int altitude_m, int satellites);

// The position file "/tmp/position" as the gateway's GPS daemon writes it.
void write_position_file(Sandbox& sandbox, bool locked, double lat, double lon, int altitude_m);

}  // namespace crx::sim
