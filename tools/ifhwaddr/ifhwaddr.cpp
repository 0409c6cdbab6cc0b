#include "ifhwaddr.h"

#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "crx.h"

namespace ifhwaddr {
namespace {

constexpr const char* kInterfaces = "/etc/network/interfaces";
constexpr const char* kTemplate = "/etc/network/ifhwaddr.XXXXXX";
constexpr const char* kPrefix = "pre-up /sbin/ifconfig eth0 hw ether ";
constexpr const char* kAnchor = "iface eth0";
// The whole file must fit with room for a terminator.
constexpr size_t kBufferSize = 10240;

int fail(const char* message) {
  std::fputs(message, stderr);
  return 1;
}

bool write_all(int fd, const void* data, size_t n) {
  return ::write(fd, data, n) == static_cast<ssize_t>(n);
}

// Writes the new file: the old content with the setting inserted at `at`.
const char* write_new_file(int fd, const char* content, size_t length, size_t at, const char* mac) {
  if (!write_all(fd, content, at)) return "Failed to write the first part of data\n";
  if (!write_all(fd, kPrefix, std::strlen(kPrefix))) return "Failed to write the MAC setting string\n";
  if (!write_all(fd, mac, std::strlen(mac))) return "Failed to write the MAC address\n";
  if (!write_all(fd, "\n", 1)) return "Failed to write the new line\n";
  if (!write_all(fd, content + at, length - at)) return "Failed to write the remaining data\n";
  return nullptr;
}

// The address as the factory stores it: exactly twelve hex digits. The
// text goes into a file that root's network scripts run, so anything else
// (a newline would add a line of its own) never reaches it.
bool well_formed_mac(const char* mac) {
  for (int i = 0; i < 12; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(mac[i]))) return false;
  return mac[12] == '\0';
}

// `text` for a message: printable characters as they are, the rest as
// escapes, so a hostile value cannot mangle the terminal or the log.
std::string printable(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (std::isprint(c)) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace

bool getMacFromDb(char* mac) {
  assert(mac != NULL);
  if (!mac) return false;
  cx_config_table_t table;
  std::memset(&table, 0, sizeof table);
  if (!CxGetConfigTable(&table)) return false;
  table.PCBA_MAC_Address[sizeof table.PCBA_MAC_Address - 1] = '\0';
  std::printf("PCBA MAC: %s\n", printable(table.PCBA_MAC_Address).c_str());
  std::memcpy(mac, table.PCBA_MAC_Address, sizeof table.PCBA_MAC_Address);
  return true;
}

int run(const Files& files) {
  char mac[sizeof(cx_config_table_t{}.PCBA_MAC_Address)];
  if (!getMacFromDb(mac)) return fail("Failed to obtain eth0 MAC address from the commissioning database\n");
  std::fflush(stdout);
  if (!well_formed_mac(mac)) {
    std::fprintf(stderr, "Invalid MAC address in the commissioning database: \"%s\"\n", printable(mac).c_str());
    return 1;
  }

  const std::string path = files.locate(kInterfaces);
  const int in = ::open(path.c_str(), O_RDONLY);
  if (in < 0) return fail("Failed to open the interfaces file\n");
  static char content[kBufferSize];
  const ssize_t n = ::read(in, content, kBufferSize);
  ::close(in);
  if (n <= 0) return fail("Failed to read from the interfaces file\n");
  const size_t length = static_cast<size_t>(n);
  if (length == kBufferSize) return fail("File too long\n");
  content[length] = '\0';

  if (std::strstr(content, kPrefix)) {
    std::fputs("The interfaces file already contains MAC setting; will not override\n", stderr);
    return 0;
  }
  const char* anchor = std::strstr(content, kAnchor);
  if (!anchor) return fail("Did not find eth0 definition in the interfaces file\n");
  const char* eol = std::strchr(anchor, '\n');
  if (!eol) return fail("Did not find the end of line - this might be a bug\n");
  const size_t at = static_cast<size_t>(eol + 1 - content);

  // The old file is only ever replaced whole, by the rename below.
  std::string temp = files.locate(kTemplate);
  const int out = ::mkstemp(temp.data());
  if (out < 0) return fail("Failed to create temporary file\n");
  if (const char* error = write_new_file(out, content, length, at, mac)) {
    ::close(out);
    ::unlink(temp.c_str());
    return fail(error);
  }
  if (::rename(temp.c_str(), path.c_str()) < 0) {
    const int e = errno;
    std::fprintf(stderr, "Failed to rename the temporary file (%d - %s)\n", e, std::strerror(e));
    ::close(out);
    ::unlink(temp.c_str());
    return 1;
  }
  ::close(out);
  ::unlink(temp.c_str());  // already gone after the rename
  ::sync();
  return 0;
}

}  // namespace ifhwaddr
