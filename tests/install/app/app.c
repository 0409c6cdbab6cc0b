/* An application outside the tree, built against the installed package. */
#include <stdio.h>
#include <string.h>

#include <crx.h>

int main(void) {
  char text[8];
  const char *msg = crx_err_message(ERR_UNSPECIFIED);
  printf("%s\n", msg);
  if (strcmp(msg, "Unspecified error code") != 0) return 1;
  return bin_to_b64((const uint8_t *)"f", 1, text, sizeof text) == 4 && strcmp(text, "Zg==") == 0 ? 0 : 1;
}
