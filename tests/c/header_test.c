/* The public header compiled as C99 and linked against the shared library. */
#include <stdio.h>
#include <string.h>

#include "crx.h"

static int failures = 0;
#define CHECK(cond)                                            \
  do {                                                         \
    if (!(cond)) {                                             \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                              \
    }                                                          \
  } while (0)

int main(void) {
  /* Errors and logging */
  CHECK(strcmp(crx_err_message(ERR_NONE), "No error") == 0);
  CHECK(crx_errno == 0);
  CHECK(crx_console_log_enable(0) == 0);
  LogToSyslog("c header test %d", 1);

  /* Records and conversions */
  {
    crx_board_cfg_t board;
    crx_tx_pkt_t pkt;
    uint8_t a = 0, b = 0;
    const uint8_t frame[2] = {1, 2};
    CHECK(crx_init_board_cfg(&board) == &board);
    CHECK(board.full_start == true);
    CHECK(crx_init_tx_pkt(&pkt) == &pkt);
    CHECK(crx_sf_nb2enum(7) == DR_LORA_SF7);
    CHECK(crx_bw_nb2enum(125000) == BW_125KHZ);
    CHECK(bytes_be_to_uint16_le(frame) == 0x0102);
    crx_calculate_fletcher_checksum(frame, 2, &a, &b);
    CHECK(a == 3 && b == 4);
    CHECK(sizeof(crx_lbt_cfg_t) == 392);
    CHECK(sizeof(crx_tx_gain_t) == 16);
  }

  /* Base64 */
  {
    const uint8_t foo[3] = {'f', 'o', 'o'};
    char text[8];
    uint8_t bin[4] = {0};
    CHECK(bin_to_b64(foo, 1, text, sizeof text) == 4 && strcmp(text, "Zg==") == 0);
    CHECK(bin_to_b64_nopad(foo, 2, text, sizeof text) == 3 && strcmp(text, "Zm8") == 0);
    CHECK(b64_to_bin("Zm9v", 4, bin, sizeof bin) == 3 && memcmp(bin, foo, 3) == 0);
    CHECK(b64_to_bin_nopad("Zg", 2, bin, sizeof bin) == 1 && bin[0] == 'f');
    CHECK(b64_to_bin("Zm9v", 4, bin, 2) == -1);
  }

  /* Wren channel IF words, at the ends of their range */
  CHECK(if_to_reg(2000000) == -4096);
  CHECK(if_to_reg(-1999512) == 4095);
  CHECK(if_to_reg(-1999513) == -32768);

  if (failures) fprintf(stderr, "%d failures\n", failures);
  return failures ? 1 : 0;
}
