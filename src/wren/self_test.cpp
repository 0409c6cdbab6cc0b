// ostra_wren_test: a bench check of a Wren board from the shell. It prints
// what it reads; only a database that cannot be read ends it early.
#include <cstdio>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "wren/gpio_fpga_table.h"

using namespace crx;
using namespace crx::wren;

namespace {

void print_register(const char* text, int row) {
  int32_t v = 0;
  crx_reg_chip_r(0, 0, row, &v);
  std::printf(text, unsigned(v));
  std::printf("\n");
}

void print_gpio_versions() {
  std::printf("\nReading the GPIO FPGA Version and Build\n");
  uint16_t version = 0, build = 0;
  if (ostra_wren_gpio_fpga_read(GPIO_FPGA_VERSION, &version) < 0 ||
      ostra_wren_gpio_fpga_read(GPIO_FPGA_BUILD, &build) < 0) {
    std::printf("ERROR: %s: Could not read from GPIO FPGA\n", "ostra_wren_test");
    return;
  }
  std::printf("GPIO FPGA Version: %#06x\n", version);
  std::printf("GPIO Build Version: %#06x\n", build);
}

}  // namespace

extern "C" int ostra_wren_test(void) {
  ostra_wren_reg_setup();
  std::printf("Board Type Defined in Database: %d\n", int(board_type));
  if (ostra_wren_get_db_config() != 0) {
    std::printf("ostra_wren_get_db_config() failed\n");
    return -1;
  }
  std::printf("Loading Tx LUT\n");
  ostra_wren_load_tx_lut();
  std::printf("\n");
  std::printf("Initializing configuration structure\n");
  ostra_wren_priv_cfg_init();

  std::printf("Select values from the configuration structure: \n");
  std::printf("HW_Init: %s\n", brd_cfg_priv.chip_enable[0] ? "True" : "False");
  brd_cfg_priv.chip_enable[0] = true;
  std::printf("HW_Init: %s\n", brd_cfg_priv.chip_enable[0] ? "True" : "False");

  const ostra_indoor_db_config_t& db = ostra_indoor_db_config;
  std::printf("\nValues read from the database: \n");
  std::printf("PCBA Product Code: %s \n", db.PCBA_Product_Code);
  std::printf("Gateway ID: %s \n", db.Customer_Gateway_ID);
  std::printf("Tx LUT Location: %s \n", db.Tx_LUT_JSON_Location);
  std::printf("RSSI Offset: Chip 0 RF chain 0: %f dB \n", double(db.radio[0].rssi_offset));

  std::printf("\nReading some sx1272 registers\n");
  for (uint8_t a = 0x00; a <= 0x0C; ++a) {
    uint8_t v = 0;
    sx127x_reg_r(a, &v);
    std::printf("Register %#04x: %#04x\n", a, v);
  }

  std::printf("\nReading some sx1301 registers\n");
  print_register("Register VERSION: %#010x", 2);
  print_register("Register LNA_B_CTRL_LUT (Expected 0x02): %#010x", 267);
  print_register("Register PA_B_CTRL_LUT (Expected 0x04): %#010x", 268);

  print_gpio_versions();

  std::printf("GPIO Setting LED 1 to blink red, and LED 2 to blink green\n");
  ostra_wren_gpio_fpga_write(WREN_GREG_GPIO_3_ALL, 0xC000);
  ostra_wren_gpio_fpga_write(38, 1);
  ostra_wren_gpio_fpga_write(39, 1);
  uint16_t leds = 0;
  ostra_wren_gpio_fpga_read(WREN_GREG_GPIO_3_ALL, &leds);
  std::printf("GPIO LED WREN_GREG_GPIO_3_ALL: %#06x\n", leds);

  std::printf("\n\nTesting Channel Allocation:\n");
  ostra_wren_priv_cfg_init();
  crx_read_cfg_json("/etc/default/config.json");

  std::printf("\n\nMeasuring Gateway Temperature: \n");
  int16_t celsius = 0;
  if (crx_get_1301_temperature(0, nullptr, &celsius) == 0) std::printf("The measured temperature is %f C.\n", double(celsius));
  else std::printf("Error: %s: Could not read temperature from SX1272\n", "ostra_wren_test");

  std::printf("Starting Spectral Scan Test\n");
  uint32_t scan_status = 2;
  ostra_wren_spec_scan_req_t scan{&scan_status, 4096, 64, 902300, 200, 8, 903000, 1600};
  ostra_wren_spec_scan(&scan);
  std::printf("Spectral Scan Test completed with status code %d\n", int(scan_status));
  std::fflush(stdout);
  return 0;
}
