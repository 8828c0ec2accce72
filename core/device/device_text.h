#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace horalign {

// Longest text of a device's that the program keeps (a serial number is five bytes, at most
// 20 once cleaned).
inline constexpr std::size_t kMaxDeviceTextBytes = 64;

// Bytes a device sent, made fit to become a row's text: the window, a terminal, the journal
// and the system bus (which takes valid UTF-8 only) show it as it stands. Each ill-formed
// UTF-8 sequence (its longest start that could still have been valid) becomes U+FFFD; each
// byte of a control character (C0, DEL, C1) becomes "\xNN", so that no escape sequence
// reaches a terminal; the result ends at the last whole character within `maxBytes`. Valid
// UTF-8 without control characters, within the bound, comes back as it is.
std::string CleanDeviceText(std::string_view bytes, std::size_t maxBytes = kMaxDeviceTextBytes);

}  // namespace horalign
