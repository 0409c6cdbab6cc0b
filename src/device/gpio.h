// sysfs GPIO lines: export, direction, edge, active level, value. Each
// operation opens its attribute file, does one write or read and closes it
// again; only gpio_open_pin_fd hands a descriptor out.
//
// Results are 0 on success and -1 on failure, with the failure logged.
// Export, direction and read also leave ERR_UNSPECIFIED in crx_errno; the
// edge and active-level calls leave crx_errno alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crx {

// Lines with a fixed use on the boards.
inline constexpr int kGpioLocalizationIrq = 20;
inline constexpr int kGpioSx126xBusy = 48;
inline constexpr int kGpioPoeStatus[] = {97, 98, 113};

// Direction arguments: 0 is output, any other value input.
inline constexpr int kGpioOut = 0;
inline constexpr int kGpioIn = 1;

bool is_gpio_pin_exported(int pin);
// Exporting a pin that is already exported succeeds without touching it.
int gpio_export_pin(int pin);
int gpio_set_direction(int pin, int direction);
// Reads the pin's value file as a decimal number.
int gpio_read_pin(int pin, uint8_t* value);
int gpio_set_rising_edge(int pin);
int gpio_set_falling_edge(int pin);
int gpio_set_active_high(int pin);
int gpio_set_active_low(int pin);
// The pin's edge setting as its file reads, without the line end; -1 when
// it cannot be read (out is then empty).
int gpio_read_edge(int pin, char* out, size_t size);
// Descriptor of the pin's value file opened with `flags`, for callers that
// wait on the line with poll; -1 on failure.
int gpio_open_pin_fd(int pin, int flags);

}  // namespace crx
