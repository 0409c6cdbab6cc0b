// The two transports of the register layer and the state they keep.
#include <mutex>

#include "board.h"
#include "device/reg_access.h"
#include "device/spi.h"

namespace crx::regs {

namespace {

int g_fpga_fd = -1;

// Serialises Wren SX1301 accesses: guards g_page and keeps each page
// selection together with the transfer it is for.
std::mutex g_reg_mutex;
uint8_t g_page = kNoPage;

constexpr uint32_t kSplitLength = 3;
constexpr uint8_t kWrenPageRegister = 0;

// Neither bus takes a 3-byte transfer as one request: those go byte by byte
// at the same address, into consecutive buffer positions (their main users,
// the SPI-bridge buffers, are queues that stay on one address).
template <typename Byte, typename Move>
int move_bytes(Byte* data, uint32_t length, Move move) {
  if (length != kSplitLength) return move(data, length);
  for (uint32_t i = 0; i < kSplitLength; ++i)
    if (move(data + i, 1) < 0) return -1;
  return 0;
}

// Called with g_reg_mutex held. A failed selection leaves the chip's page
// unknown, so the cache forgets it and the access must not go ahead.
int select_page(int8_t page) {
  const uint8_t wanted = uint8_t(page);
  if (wanted == g_page) return 0;
  const uint8_t value = wanted & 0x03;
  if (ostra_wren_sx1301_spi_write(kWrenPageRegister, &value, 1, nullptr) < 0) {
    g_page = kNoPage;
    return -1;
  }
  g_page = wanted;
  return 0;
}

}  // namespace

int fpga_port_fd() { return g_fpga_fd; }
void set_fpga_port_fd(int fd) { g_fpga_fd = fd; }

int wren_bus_read(const crx_reg_t& row, uint8_t* data, uint32_t length) {
  const uint8_t address = row.address & 0x7F;
  std::lock_guard lock(g_reg_mutex);
  if (select_page(row.page) < 0) return -1;
  return move_bytes(data, length, [&](uint8_t* p, uint32_t n) {
    return ostra_wren_sx1301_spi_read(address, p, n, nullptr);
  });
}

int wren_bus_write(const crx_reg_t& row, const uint8_t* data, uint32_t length) {
  const uint8_t address = row.address & 0x7F;
  std::lock_guard lock(g_reg_mutex);
  if (select_page(row.page) < 0) return -1;
  return move_bytes(data, length, [&](const uint8_t* p, uint32_t n) {
    return ostra_wren_sx1301_spi_write(address, p, n, nullptr);
  });
}

int fpga_bus_read(uint8_t target, const crx_reg_t& row, uint8_t* data, uint32_t length) {
  const int fd = g_fpga_fd;
  if (fd < 0) return -1;
  return move_bytes(data, length, [&](uint8_t* p, uint32_t n) {
    return spi_linuxdev_read(target, row.page, fd, row.address, p, n, nullptr);
  });
}

int fpga_bus_write(uint8_t target, const crx_reg_t& row, const uint8_t* data, uint32_t length) {
  const int fd = g_fpga_fd;
  if (fd < 0) return -1;
  return move_bytes(data, length, [&](const uint8_t* p, uint32_t n) {
    return spi_linuxdev_write(target, row.page, fd, row.address, p, n, nullptr);
  });
}

void forget_page() {
  std::lock_guard lock(g_reg_mutex);
  g_page = kNoPage;
}

uint8_t cached_page() {
  std::lock_guard lock(g_reg_mutex);
  return g_page;
}

}  // namespace crx::regs
