// The error code table. The numbers are part of the interface: applications
// store and compare them, and the fault shared memory uses the same numbers.
#include "errors.h"

#include <array>
#include <cstddef>

int crx_errno = 0;

namespace {

constexpr const char* kUnknown = "** no error message, or invalid error code **";

// Indexed by code; nullptr marks the codes that have no text of their own.
constexpr std::array<const char*, 70> kMessages = {
    "No error",                                                           // 0
    "SPI function failed to read data",                                   // 1
    "SPI function failed to write data",                                  // 2
    "Invalid null pointer in function parameter",                         // 3
    "Invalid board number in function parameter",                         // 4
    "Invalid chip number in function parameter",                          // 5
    "Invalid DSP number in function parameter",                           // 6
    "Invalid channel number in function parameter",                       // 7
    "Invalid RF chain number in function parameter",                      // 8
    "Version reg for FPGA returned zero, check SPI communication",        // 9
    "Invalid version number for the top FPGA",                            // 10
    "Version reg for a SX1301 returned zero, check SPI communication",    // 11
    "Invalid version number for one of the SX1301 chip",                  // 12
    "Invalid chip ID for one of the SX1301 chip",                         // 13
    "Invalid configuration structure",                                    // 14
    "Board is running, cannot be configured",                             // 15
    "Frequency is out of configured band",                                // 16
    "At least 1 RX RF chain must be enabled",                             // 17
    "Maximum supported IF exceeded",                                      // 18
    "Can't enable a channel if the corresponding chip is disabled",       // 19
    "Spreading factor setting not supported by the channel",              // 20
    "Bitrate setting not supported by the channel",                       // 21
    "Bandwidth setting not supported by the channel",                     // 22
    nullptr,                                                              // 23
    "Channel is invalid",                                                 // 24
    "Tx gain LUT is invalid (size or gain value)",                        // 25
    nullptr,                                                              // 26
    "FPGA PLL failed to lock",                                            // 27
    "Invalid version of AGC firmware",                                    // 28
    "Invalid version of arbiter firmware",                                // 29
    "Board is in wrong state",                                            // 30
    "FPGA DSP PLL failed to lock",                                        // 31
    "Failed to boot DSP",                                                 // 32
    "DSP signature check failed",                                         // 33
    "Fine timestamp not allowed",                                         // 34
    "SX1301 AGC failed to initialise",                                    // 35
    "Failed to send UBX command to GPS",                                  // 36
    "Failed to get UBX command acknoledge",                               // 37
    "Invalid version of AD9361",                                          // 38
    "AD9361 failed to enter ALERT state",                                 // 39
    "Calibration of AD9361 PLL charge pump failed",                       // 40
    "AD9361 BB PLL failed to lock",                                       // 41
    "AD9361 Rx PLL failed to lock",                                       // 42
    "AD9361 Tx PLL failed to lock",                                       // 43
    "Calibration of AD9361 Rx BB filter failed",                          // 44
    "Calibration of AD9361 Tx BB filter failed",                          // 45
    "Failed to write AD9361 AGC gain table",                              // 46
    "Failed to write AD9361 Rx FIR filter coefficients",                  // 47
    "Failed to write AD9361 Tx FIR filter coefficients",                  // 48
    "Calibration of AD9361 Rx BB DC offsets failed",                      // 49
    "Calibration of AD9361 Rx RF DC offsets failed",                      // 50
    "Calibration of AD9361 Rx quadrature correction failed",              // 51
    "Calibration of AD9361 Tx quadrature correction failed",              // 52
    "AD9361 TDD test failed",                                             // 53
    "Invalid frequency band",                                             // 54
    nullptr,                                                              // 55
    nullptr,                                                              // 56
    nullptr,                                                              // 57
    nullptr,                                                              // 58
    nullptr,                                                              // 59
    nullptr,                                                              // 60
    nullptr,                                                              // 61
    "LBT: Channel busy",                                                  // 62
    "LBT: Packet time on air too long",                                   // 63
    "LBT: An appropriate time on air entry could not be found in the LUT",  // 64
    "GPS or sync block not synced",                                       // 65
    "Geolocation fetch timed out",                                        // 66
    "Too late to send packet",                                            // 67
    "Fetch packet timed out",                                             // 68
    "Unspecified error code",                                             // 69
};

}  // namespace

extern "C" const char* crx_err_message(int code) {
  if (code < 0 || static_cast<std::size_t>(code) >= kMessages.size() || !kMessages[code]) return kUnknown;
  return kMessages[code];
}
