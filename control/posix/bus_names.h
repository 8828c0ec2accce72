#pragma once

// The service's control interface on the system bus, shared by the service and its client.
// Reading is open to every local user; what writes a device, sets the clock or changes a
// setting is decided by polkit (kManageAction).
namespace horalign {

inline constexpr const char* kBusName = "com.quorvane.Horalign1";
inline constexpr const char* kBusPath = "/com/quorvane/Horalign1";
inline constexpr const char* kBusInterface = "com.quorvane.Horalign1";
inline constexpr const char* kManageAction = "com.quorvane.horalign.manage";

// The errors besides the bus's own (InvalidArgs for a wrong value, AccessDenied for a
// refusal): the port is not one the service has active, the device did not do it, the
// settings file could not be written.
inline constexpr const char* kErrorNotActive = "com.quorvane.Horalign1.Error.NotActive";
inline constexpr const char* kErrorFailed = "com.quorvane.Horalign1.Error.Failed";
inline constexpr const char* kErrorSettings = "com.quorvane.Horalign1.Error.Settings";
// The PC clock's state holds the write back.
inline constexpr const char* kErrorHeld = "com.quorvane.Horalign1.Error.Held";
inline constexpr const char* kErrorInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr const char* kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

// One port row, as GetPorts lists them and PortChanged sends them: port number, device path,
// active ("Yes", "No", "N/A"), status text, status time, model, S/N, detected, line settings.
inline constexpr const char* kRowSignature = "issssssbs";
// One device's figures, as GetDevices lists them: port, model, S/N, last successful write
// (UTC ms since 1970, 0 for none), last offset read back after a write (s), drift (s/day),
// failed writes since the service started. NaN stands for a figure not known.
// The settings, as GetSettings answers and SettingsChanged sends them: mode, active ports,
// interval (minutes), Push On Time Change, Verify Writes, the settings file.
inline constexpr const char* kSettingsSignature = "iaiibbs";
inline constexpr const char* kDeviceSignature = "issxddu";
// The PC clock, as GetPcClock answers: state, max. and estimated error (s, NaN for none),
// source, the hold on, its bound (s), the hold's text while it keeps writes back; the time
// daemon's feed available, on, its socket, the samples sent and those not taken.
inline constexpr const char* kPcClockSignature = "sddsbdsbbstt";

}  // namespace horalign
