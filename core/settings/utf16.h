#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace horalign {

// UTF-16 LE (without its mark) as UTF-8; nullopt for an odd length or a lone surrogate.
std::optional<std::string> Utf16ToUtf8(std::string_view bytes);

// UTF-8 as UTF-16 LE, without a mark; nullopt when the text is not valid UTF-8.
std::optional<std::string> Utf8ToUtf16(std::string_view text);

bool IsUtf8(std::string_view text);

}  // namespace horalign
