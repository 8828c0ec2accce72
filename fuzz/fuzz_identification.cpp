// The identification line: serial and model from any bytes, and the model predicates.
#include <string>
#include <string_view>

#include "core/device/device_text.h"
#include "core/device/model_table.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;
using fuzz::IsKnownModel;

FUZZ_TARGET(in) {
  const std::string line = in.ConsumeRemainingBytesAsString();
  const Identification id = ParseIdentificationLine(line);

  FUZZ_CHECK(IsKnownModel(id.model));
  // The first five characters, last first (a shorter line gives what it has), cleaned;
  // receivers have none.
  const bool receiver = id.model == "Receiver" || id.model == "Receiver (Ver. 2)";
  const std::string head = line.substr(0, 5);
  FUZZ_CHECK(id.serial ==
             (receiver ? "00000" : CleanDeviceText(std::string(head.rbegin(), head.rend()))));
  // The model of the letter at position 6; without one, "N/A", or "Receiver" for "?" CR.
  const std::string_view byLetter = line.size() >= 6 ? ModelForLetter(line[5]) : "";
  FUZZ_CHECK(byLetter.empty() ? id.model == "N/A" || (id.model == "Receiver" && line == "?\r")
                              : id.model == byLetter);

  // Only a model outside the table is of unknown kind, only the letterless one a receiver.
  FUZZ_CHECK((id.kind == ModelKind::kUnknown) == (id.model == "N/A"));
  FUZZ_CHECK((id.kind == ModelKind::kReceiver) == (id.model == "Receiver"));
}
