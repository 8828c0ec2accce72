#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/platform/registry_store.h"

namespace horalign {

inline constexpr std::int16_t kDefaultUpdateInterval = 60;
// The range the interval box keeps; it shows four digits.
inline constexpr std::int16_t kMinUpdateInterval = 60;
inline constexpr std::int16_t kMaxUpdateInterval = 9999;
inline constexpr std::int32_t kDefaultLastX = 400;
inline constexpr std::int32_t kDefaultLastY = 200;
inline constexpr double kDefaultMaxClockError = 0.5;  // seconds
inline constexpr const char* kDefaultMaxClockErrorText = "0.5";
inline constexpr char kDefaultTimeDaemonSocket[] = "/run/horalign/chrony.sock";
// A Unix socket's path with its NUL in sun_path: the daemon binds no longer one.
inline constexpr std::size_t kMaxTimeDaemonSocketLength = 107;

// The configuration read once at start-up. Writers keep the fields in step with what
// they store.
struct AppConfig {
  std::int16_t ProtocolOption = 1;  // never stored
  std::int16_t ConnectionMode = 0;  // a SyncMode number
  std::int16_t SerialComPort = 0;
  std::int32_t UsedComPorts = 0;                         // bit n-1 set: COM n is active
  std::int16_t UpdateInterval = kDefaultUpdateInterval;  // minutes
  std::int16_t SignalSource = 0;
  // Writes every active device at once when the local time jumps (see QV_MainForm).
  bool PushOnTimeChange = true;
  // Reads a time-readable device's clock just before and after each scheduled write.
  bool VerifyWrites = false;

  // Scheduled writes and pushes wait while the PC clock is not synchronised or its error
  // bound exceeds MaxClockErrorSeconds (see core/sync/clock_hold.h).
  bool PushOnlyWhenSynchronized = false;
  double MaxClockErrorSeconds = kDefaultMaxClockError;
  // Mode 2 sends each reading to the time daemon's socket and never steps the PC clock.
  bool FeedTimeDaemon = false;
  std::string TimeDaemonSocket = kDefaultTimeDaemonSocket;
  friend bool operator==(const AppConfig&, const AppConfig&) = default;
};

// Fills every field from the Config key. A missing or blank value takes its default, as
// does a number that does not fit its field (a corrupt value rather than a wrapped one).
// The mode is 1 or 2 written as a whole number, anything else 0; an interval below 0
// reads as 60 and one above 9999 as 9999. Pushes on a time change are on unless the value
// is the number 0 (a value that is no number leaves them on); writes are verified only when
// the value is a number other than 0. The hold is on only for a number other than 0; its
// bound is a positive number of seconds (decimals allowed), anything else the default. The
// time daemon is fed as writes are verified; its socket is an absolute path that fits a Unix
// socket's address, else the default.
void LoadConfig(RegistryStore& store, AppConfig& config);

// A stored window edge ("LastX", "LastY") in twips, rounded to a 32-bit integer. A value
// that is not one number, or does not fit 32 bits, gives the default.
// Whether a path can name the time daemon's socket: absolute, at most
// kMaxTimeDaemonSocketLength bytes, without control characters.
bool IsTimeDaemonSocketPath(const std::string& path);

std::int32_t ReadWindowEdge(RegistryStore& store, const std::string& name, std::int32_t def);

}  // namespace horalign
