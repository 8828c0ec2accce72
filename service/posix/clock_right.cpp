#include "service/posix/clock_right.h"

#if defined(__linux__)
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace horalign {

#if defined(__linux__)
namespace {

constexpr unsigned kBit = 1u << CAP_SYS_TIME;  // CAP_SYS_TIME (25) lies in the first word
static_assert(CAP_SYS_TIME < 32);

bool ReadSets(__user_cap_header_struct& header, __user_cap_data_struct (&data)[2]) {
  header = {_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, data) == 0;
}

}  // namespace

bool HoldsClockRight() {
  __user_cap_header_struct header{};
  __user_cap_data_struct data[2]{};
  return ReadSets(header, data) && (data[0].effective & kBit) != 0;
}

bool DropClockRight() {
  ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, CAP_SYS_TIME, 0, 0);
  // Needs CAP_SETPCAP, which a service does not have: the permitted set is what counts.
  ::prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);
  __user_cap_header_struct header{};
  __user_cap_data_struct data[2]{};
  if (!ReadSets(header, data)) return false;
  data[0].effective &= ~kBit;
  data[0].permitted &= ~kBit;
  data[0].inheritable &= ~kBit;
  return ::syscall(SYS_capset, &header, data) == 0 && !HoldsClockRight();
}

#else

bool HoldsClockRight() {
  return true;
}
bool DropClockRight() {
  return false;
}

#endif

}  // namespace horalign
