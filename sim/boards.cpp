#include "boards.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace crx::sim {

std::shared_ptr<FpgaBoardPort> install_fpga_board(Sandbox& sandbox, int chips) {
  auto port = std::make_shared<FpgaBoardPort>(chips);
  sandbox.add_device("/dev/spifpga32766.1", port);
  sandbox.add_device("/dev/spidev32766.2", port->temperature_sensor());
  return port;
}

void wire_rx_status(FpgaBoardPort& board, const std::shared_ptr<SysfsGpio>& gpio, std::span<const int> lines) {
  for (size_t n = 0; n < lines.size() && n < size_t(FpgaBoardPort::kMaxChips); ++n) {
    const int line = lines[n];
    board.chip(int(n)).on_rx_status([weak = std::weak_ptr<SysfsGpio>(gpio), line](bool high) {
      if (auto g = weak.lock()) g->set_level(line, high);
    });
  }
}

WrenBoard install_wren_board(Sandbox& sandbox, WrenSideRadio side) {
  const bool sx126x = side == WrenSideRadio::kSx126x;
  WrenBoard board{std::make_shared<WrenSx1301Port>(), sx126x ? nullptr : std::make_shared<Sx127xRadio>(),
                  std::make_shared<WrenGpioFpga>(),
                  {std::make_shared<Sx125xRadio>(), std::make_shared<Sx125xRadio>()},
                  sx126x ? std::make_shared<Sx126xRadio>() : nullptr};
  for (int chain = 0; chain < 2; ++chain) board.sx1301->chip().attach_radio(chain, board.radios[chain]);
  board.gpio_fpga->attach_sx1301(board.sx1301);
  if (sx126x) board.gpio_fpga->set_variant(3);
  sandbox.add_device("/dev/spidev32766.1", board.sx1301);
  if (sx126x) sandbox.add_device("/dev/spidev32766.4", board.sx126x);
  else sandbox.add_device("/dev/spidev32766.4", board.side_radio);
  sandbox.add_device("/dev/spidev32766.6", board.gpio_fpga);
  if (sx126x) {
    wire_side_radio_tuning(board, [weak = std::weak_ptr<Sx126xRadio>(board.sx126x)] {
      auto side = weak.lock();
      return side ? SideRadioTuning{side->frequency_hz(), side->rx_bandwidth_hz()} : SideRadioTuning{};
    });
  } else {
    wire_side_radio_tuning(board, [weak = std::weak_ptr<Sx127xRadio>(board.side_radio)] {
      auto side = weak.lock();
      return side ? SideRadioTuning{side->frequency_hz(), side->bandwidth_hz()} : SideRadioTuning{};
    });
  }
  return board;
}

void wire_side_radio_tuning(WrenBoard& board, std::function<SideRadioTuning()> tuning) {
  board.gpio_fpga->set_level_source(std::move(tuning),
                                    [weak = std::weak_ptr<RadioEnvironment>(board.environment)](const SideRadioTuning& t) {
                                      auto env = weak.lock();
                                      return env ? env->level_dbm(t.freq_hz, t.bandwidth_hz) : -120.0;
                                    });
}

void wire_sx126x_busy(WrenBoard& board, const std::shared_ptr<SysfsGpio>& gpio) {
  if (!board.sx126x || !gpio) return;
  gpio->drive_on_read(kWrenSx126xBusyLine, [weak = std::weak_ptr<Sx126xRadio>(board.sx126x)] {
    auto radio = weak.lock();
    return radio && radio->busy_read();
  });
}

void wire_wren_rx_status(WrenBoard& board, const std::shared_ptr<SysfsGpio>& gpio) {
  board.sx1301->chip().on_rx_status([weak = std::weak_ptr<SysfsGpio>(gpio)](bool high) {
    if (auto g = weak.lock()) g->set_level(kWrenRxLine, high);
  });
}

void set_wren_iio_temperature(Sandbox& sandbox, double celsius) {
  const double volts = (celsius * 10.0 + 500.0) / 1000.0;
  const long count = std::clamp(std::lround(volts * 4095.0 / 1.8), 0L, 4095L);
  set_wren_iio_raw(sandbox, std::to_string(count) + "\n");
}

void set_wren_iio_raw(Sandbox& sandbox, const std::string& text) {
  sandbox.write_file(kWrenIioTemperatureFile, text);
}

}  // namespace crx::sim
