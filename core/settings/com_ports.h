#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace horalign {

// The program works on COM1 to COM16; a mask of them has bit n-1 set for COM n.
inline constexpr int kComPortCount = 16;

// "COM3" for 3.
std::string ComName(int port);

// "COM3", "com3" or "3" gives 3; nullopt for anything but 1..16 written without a leading 0.
std::optional<int> ParsePortName(std::string_view text);

// The ports of a mask, COM1 first; bits above COM16 are not ports and are left out.
std::vector<int> PortsOfMask(std::uint32_t mask);

inline constexpr std::uint32_t PortBit(int port) {
  return std::uint32_t{1} << (port - 1);
}

inline constexpr bool IsComPort(std::int64_t port) {
  return port >= 1 && port <= kComPortCount;
}

}  // namespace horalign
