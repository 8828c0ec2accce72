#pragma once

#include <string>
#include <string_view>

#include "sim/world.h"

namespace horalign::sim {

// A world with one device on COM 3 and the port opened as the program opens it.
struct LineBench {
  explicit LineBench(SimDeviceConfig config = {}, const std::string& settings = "9600,N,8,1")
      : dev(w.AddDevice(3, std::move(config))) {
    w.serial.SetEnforceWriteTimeout(false);  // the time-outs below suit 9600 baud only
    Reopen(settings);
  }

  void Reopen(const std::string& settings) {
    if (handle != 0) w.serial.Close(handle, saved);
    handle = w.serial.Open(3, settings, {0xFFFFFFFF, 0, 0, 2, 5}, saved);
  }

  // Sends the frame, lets waitMs pass and returns everything that arrived.
  std::string Ask(std::string_view frame, std::int64_t waitMs = 100) {
    w.serial.Write(handle, frame);
    w.time.AdvanceTo(w.time.NowUs() + waitMs * 1000);
    return w.serial.Read(handle, 1025);
  }

  World w;
  SimDevice& dev;
  CommTimeouts saved;
  CommHandle handle = 0;
};

}  // namespace horalign::sim
