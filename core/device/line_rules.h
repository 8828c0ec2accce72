#pragma once

#include <string>
#include <string_view>

namespace horalign {

// How the program reads device lines. A line is what arrived up to and including a CR.
// Pure functions, so the fuzzers and the tests can call them directly.

inline constexpr char kCR = '\r';
inline constexpr std::string_view kAcknowledge = "*\r";

// Ends with "*" CR, or is exactly 15 or 25 characters long (CR counted).
bool IsCompleteReply(std::string_view line);

// Begins with "?99", or is "?" followed by CR.
bool IsErrorReply(std::string_view line);

// The probe's answer: begins with "?99" or with "?" CR.
bool IsProbeAnswer(std::string_view line);

// Its first seven characters are the part number of a receiver that sends time events.
bool IsReceiverTimeLine(std::string_view line);

// What QueryDevice hands back from a reply line: with a complete reply, the line less its
// last two characters when that leaves `expectedLength` characters, else the line less its
// first and last two characters when that does; otherwise "". Without a complete reply,
// "?99" when error replies are accepted and the line begins with "?99".
std::string QueryResult(std::string_view line, int expectedLength, bool replyComplete,
                        bool acceptErrorReply);

}  // namespace horalign
