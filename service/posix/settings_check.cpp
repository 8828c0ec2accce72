#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/settings/reg_document.h"
#include "service/service_main.h"

namespace horalign {

bool CheckSettingsFile(const std::string& path) {
  const auto warn = [](const std::string& text) {
    std::fprintf(stderr, "horalign-cli: %s\n", text.c_str());
  };
  if (::access(path.c_str(), R_OK) != 0) {
    if (errno == ENOENT) return true;  // none yet: the defaults apply
    warn(path + " cannot be read (" + std::strerror(errno) +
         "); the defaults apply and nothing is written to it");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (RegDocument::Parse(text.str())) return true;
  warn(path + " is not a settings file; the defaults apply and nothing is written to it");
  return false;
}

}  // namespace horalign
