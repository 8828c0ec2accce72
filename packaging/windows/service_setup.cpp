// Run by the installer as the system, right after it has installed the service "Horalign":
//   horalign-service-setup.exe "C:\Program Files\Horalign\horalign-cli.exe"
// The service's command line gets its program in quotes, so that the control manager never
// tries C:\Program.exe on the way to Program Files; and the service gets a SID of its own,
// NT SERVICE\Horalign, which the security of its pipe and of its settings key names. Both
// through the control manager, which takes them at once.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int Fail(const char* what, DWORD code) {
  std::fprintf(stderr, "horalign-service-setup: %s (error %lu)\n", what,
               static_cast<unsigned long>(code));
  return 1;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 2) {
    std::fprintf(stderr, "usage: horalign-service-setup PROGRAM\n");
    return 2;
  }
  const std::wstring command = L"\"" + std::wstring(argv[1]) + L"\" run";
  ::LocalFree(argv);
  const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail("the service control manager is closed", ::GetLastError());
  const SC_HANDLE service = ::OpenServiceW(manager, L"Horalign", SERVICE_CHANGE_CONFIG);
  if (service == nullptr) {
    const DWORD code = ::GetLastError();
    ::CloseServiceHandle(manager);
    return Fail("the service Horalign is not there", code);
  }
  int result = 0;
  if (!::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr)) {
    result = Fail("the service's command line could not be set", ::GetLastError());
  }
  SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
  if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid)) {
    const DWORD code = ::GetLastError();
    // A system without service SIDs (Wine) knows no such level: the service then runs
    // without one, and its start event says so (service-sid=missing).
    const int failed = Fail("the service's SID type could not be set", code);
    if (code != ERROR_INVALID_LEVEL) result = failed;
  }
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return result;
}
