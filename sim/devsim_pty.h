#pragma once

#include <optional>
#include <string>

#include "core/serial/line_settings.h"

namespace horalign::sim {

// A pseudo-terminal pair standing for one serial cable: the program opens the slave by
// its path, the simulator speaks through the master. The simulator keeps a descriptor of
// the slave open for the pair's whole life: a master whose slave is closed reports a
// hang-up at every poll, and the slave's descriptor is where the line settings the
// program chose can be read.
class PtyPair {
 public:
  PtyPair() = default;
  ~PtyPair() { Close(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Opens a new pair, both sides raw (no echo, no CR/NL translation), the slave at
  // `line` until the program sets its own. The master does not block. false with the
  // reason in `error`.
  bool Open(const LineSettings& line, std::string& error);
  void Close();
  bool IsOpen() const { return master_ >= 0; }

  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

  // The speed and framing the slave is set to now; nullopt for a speed outside the
  // table or when the pair is closed.
  std::optional<LineSettings> SlaveLine() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace horalign::sim
