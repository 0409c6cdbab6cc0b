#include "row_list.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace crx::test {

std::vector<ListedRow> read_row_list(const std::string& file_name) {
  std::vector<ListedRow> rows;
  const std::string path = std::string(CRX_TEST_DATA) + "/" + file_name;
  std::ifstream in(path);
  if (!in) {
    ADD_FAILURE() << "cannot open " << path;
    return rows;
  }
  static const std::regex entry(R"(^(\d+): (?:p(\d):)?(\d+)(?:\.(\d+))?/(\d+)(s?)(r?)(?:=(-?\d+))?$)");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("- ", 0) != 0) {
      ADD_FAILURE() << file_name << ": unexpected line: " << line;
      return rows;
    }
    std::stringstream items(line.substr(2));
    std::string item;
    while (std::getline(items, item, ';')) {
      if (!item.empty() && item[0] == ' ') item.erase(0, 1);
      std::smatch m;
      if (!std::regex_match(item, m, entry)) {
        ADD_FAILURE() << file_name << ": malformed entry '" << item << "'";
        return rows;
      }
      if (std::stoul(m[1]) != rows.size()) {
        ADD_FAILURE() << file_name << ": row " << m[1] << " where " << rows.size() << " was due";
        return rows;
      }
      ListedRow row;
      if (m[2].matched) row.page = std::stoi(m[2]);
      row.address = std::stoul(m[3]);
      if (m[4].matched) row.offset = std::stoul(m[4]);
      row.width = std::stoul(m[5]);
      row.is_signed = m[6].length() > 0;
      row.read_only = m[7].length() > 0;
      if (m[8].matched) row.default_value = std::stol(m[8]);
      rows.push_back(row);
    }
  }
  return rows;
}

}  // namespace crx::test
