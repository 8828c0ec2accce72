#include "core/settings/com_ports.h"

namespace horalign {

std::string ComName(int port) {
  return "COM" + std::to_string(port);
}

std::optional<int> ParsePortName(std::string_view text) {
  if (text.size() > 3 && (text.substr(0, 3) == "COM" || text.substr(0, 3) == "com")) {
    text.remove_prefix(3);
  }
  if (text.empty() || text.size() > 2 || text[0] == '0') return std::nullopt;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (!IsComPort(n)) return std::nullopt;
  return n;
}

std::vector<int> PortsOfMask(std::uint32_t mask) {
  std::vector<int> ports;
  for (int n = 1; n <= kComPortCount; ++n) {
    if (mask & PortBit(n)) ports.push_back(n);
  }
  return ports;
}

}  // namespace horalign
