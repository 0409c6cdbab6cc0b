// Reader of the compact register row lists kept under tests/data, an
// independent statement of every table row to hold the compiled tables to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crx::test {

struct ListedRow {
  int page = -1;
  unsigned address = 0;
  unsigned offset = 0;
  bool is_signed = false;
  unsigned width = 0;
  bool read_only = false;
  long default_value = 0;
};

// Reads "- row: [pN:]address[.offset]/width[s][r][=default]; ..." lines.
// Lines starting with '#' are comments. Fails the calling test (and returns
// what it read so far) on a malformed entry or a row number out of sequence.
std::vector<ListedRow> read_row_list(const std::string& file_name);

}  // namespace crx::test
