// SPI transport: spidev ports (full-duplex transfer messages) and the FPGA
// port of the large boards (positioned reads and writes whose file offset
// selects target, page and register). This layer only moves bytes; register
// meaning belongs to the register layer above it.
//
// Every operation returns 0 on success and -1 on failure and leaves
// crx_errno alone: the caller knows which error code a failure means.
// Descriptors belong to the caller; nothing here caches them.
#pragma once

#include <cstdint>

namespace crx {

// Speed arguments of spi_linuxdev_open: below 1 means the 5 MHz default,
// otherwise the clock in MHz.
inline constexpr int kSpiSpeedDefault = -1;
inline constexpr int kSpiSpeed1MHz = 1;

// Largest register transfer that goes out as a single message; longer
// spidev transfers are split into chunks of kSpiChunkLength.
inline constexpr uint32_t kSpiMaxTransfer = 8192;
inline constexpr uint32_t kSpiChunkLength = 1024;
// Largest data part of a flash-memory command transfer.
inline constexpr uint32_t kSpiMaxFlashData = 4094;

// FPGA port targets: 0 to 7 are SX1301 chips, 8 the FPGA itself.
inline constexpr uint8_t kFpgaTarget = 8;

// Applies mode, clock (see the speed arguments above), MSB-first bit order
// and the default word size, reading each back. Stops at the first failing
// request.
int spi_setup_device(int fd, uint8_t mode, int speed);

// Opens `path` read-write with mode 0 at `speed` and stores the descriptor
// in *fd. On failure *fd is left untouched and nothing stays open.
int spi_linuxdev_open(const char* path, int speed, int* fd);
// Opens the board temperature sensor (mode 1, 1 MHz).
int spi_tempdev_open(int* fd);
int spi_linuxdev_close(int fd);

// Register read and write on a spidev port: a command byte (the address,
// bit 7 clear for a read and set for a write) followed by the data. Up to
// kSpiMaxTransfer bytes go in one message and *status, when given, receives
// the byte clocked in with the first data byte; longer transfers are bulk
// accesses to one data register, sent in chunks, and leave *status alone.
// Writes accept addresses up to 128.
int spi_iodev_read(int fd, uint8_t address, uint8_t* data, uint32_t length, uint8_t* status);
int spi_iodev_write(int fd, uint8_t address, const uint8_t* data, uint32_t length, uint8_t* status);

// Positioned transfers on the FPGA port. `page` -1 means "every page".
// Addresses up to 32768 for the FPGA target, up to 128 for a chip; at most
// kSpiMaxTransfer bytes. A read's *status receives data byte 1, a write's 0.
int spi_linuxdev_read(uint8_t target, int8_t page, int fd, uint16_t address, uint8_t* data,
                      uint32_t length, uint8_t* status);
int spi_linuxdev_write(uint8_t target, int8_t page, int fd, uint16_t address, const uint8_t* data,
                       uint32_t length, uint8_t* status);

// Serial-flash style commands on a spidev port: command byte, address
// bytes, then data, as one transfer. At most kSpiMaxFlashData data bytes.
int spi_linuxdev_read_flash_mem(int fd, uint8_t command, const uint8_t* address,
                                uint32_t address_length, uint8_t* data, uint32_t length);
int spi_linuxdev_write_flash_mem(int fd, uint8_t command, const uint8_t* address,
                                 uint32_t address_length, const uint8_t* data, uint32_t length);

}  // namespace crx
