// Device nodes and sysfs paths of the board. They are part of the board's
// interface: every layer that opens one of them takes the string from here.
#pragma once

namespace crx::paths {

// FPGA port of the large boards: front-end FPGA and the SX1301 chips behind it.
inline constexpr char kFpgaPort[] = "/dev/spifpga32766.1";
// spidev ports.
inline constexpr char kWrenSx1301Port[] = "/dev/spidev32766.1";
inline constexpr char kTempSensorPort[] = "/dev/spidev32766.2";
inline constexpr char kSideRadioPort[] = "/dev/spidev32766.4";
inline constexpr char kSyncBlockPort[] = "/dev/spidev32766.5";
inline constexpr char kGpioFpgaPort[] = "/dev/spidev32766.6";
// SPI NOR flash holding the commissioning database (raw access fallback).
inline constexpr char kFlashPort[] = "/dev/spidev1.0";

// sysfs GPIO: the class directory (pin directories are "gpio" + number
// inside it) and the export node.
inline constexpr char kGpioClassDir[] = "/sys/class/gpio/";
inline constexpr char kGpioExport[] = "/sys/class/gpio/export";

}  // namespace crx::paths
