#include "core/device/device_text.h"

#include <gtest/gtest.h>

#include "tests/core/sync/scenario.h"

namespace horalign::test {
namespace {

using sim::SimApp;

// What a device's serial number (as it prints it) becomes in its row and its history: a
// terminal, the journal and the bus take it as plain valid text, and ordinary ones as sent.
TEST(DeviceText, AnIdentityWithEscapesOrBrokenUtf8IsShownCleanedAndAnOrdinaryOneAsSent) {
  // Octal escapes, which end after three digits: \377 is the byte FF.
  const std::pair<std::string, std::string> rows[] = {
      {"54321", "54321"},
      {"\033[2J1", "\\x1B[2J1"},                       // clears a terminal
      {"12\37734", "12\357\277\27534"},                // not UTF-8 (the bus refuses it): U+FFFD
      {"\302\2332J1", "\\xC2\\x9B2J1"},                // CSI as one C1 character
      {std::string("\0\177123", 5), "\\x00\\x7F123"},  // NUL, DEL
      {"\303\251123", "\303\251123"},                  // e acute, as UTF-8: text
  };
  for (const auto& [printed, shown] : rows) {
    SCOPED_TRACE(printed);
    SimApp s;
    StartWith(s, 1, 2, {.letter = 'W', .serial = printed});
    EXPECT_EQ(s.Cell(2, kColDevice) + " " + s.Cell(2, kColSerial), "QM8340 " + shown);
    ASSERT_EQ(s.History().size(), 1u);
    EXPECT_EQ(s.History()[0].serial, shown);
  }
}

}  // namespace
}  // namespace horalign::test
