#pragma once

namespace horalign {

// One instance of the program per user session.
class InstanceGuard {
 public:
  virtual ~InstanceGuard() = default;
  // Claims the session's instance slot. Returns false when another instance of the program
  // holds it. A slot held by a crashed instance is free again.
  virtual bool Claim() = 0;
};

}  // namespace horalign
