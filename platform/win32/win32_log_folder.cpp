#include "platform/win32/win32_log_folder.h"

#include <utility>

#include "platform/win32/win32_api.h"

namespace horalign {
namespace {

// Closes a handle however a function ends.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message =
      n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

// Shared with the program appending to it and with a rename that rotates it.
HANDLE OpenToRead(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads from where the file pointer stands to the end, a piece at a time.
bool ReadOn(HANDLE file, const std::function<void(std::string_view piece)>& take) {
  char buffer[LogFolder::kReadPieceBytes];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) return false;
    if (n == 0) return true;
    take(std::string_view(buffer, n));
  }
}

}  // namespace

std::wstring Win32LogFolder::DefaultDir() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  return std::wstring(buffer, n) + L"\\Quorvane";
}

std::string Win32LogFolder::Where() const {
  const int n = WideCharToMultiByte(CP_UTF8, 0, dir_.data(), static_cast<int>(dir_.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, dir_.data(), static_cast<int>(dir_.size()), out.data(), n,
                        nullptr, nullptr);
  }
  return out;
}

std::wstring Win32LogFolder::PathOf(const std::string& name) const {
  return dir_ + L"\\" + std::wstring(name.begin(), name.end());  // names are ASCII
}

bool Win32LogFolder::Append(const std::string& name, std::string_view bytes, std::string& error) {
  if (dir_.empty()) {
    error = "LOCALAPPDATA is not set";
    return false;
  }
  if (!CreateDirectoryW(dir_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = "cannot create the folder: " + SystemMessage(GetLastError());
    return false;
  }
  const Handle file(CreateFileW(PathOf(name).c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    error = SystemMessage(GetLastError());
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    error = SystemMessage(GetLastError());
    return false;
  }
  return true;
}

std::optional<std::int64_t> Win32LogFolder::Size(const std::string& name) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(PathOf(name).c_str(), GetFileExInfoStandard, &data)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                   data.nFileSizeLow);
}

bool Win32LogFolder::Rename(const std::string& from, const std::string& to) {
  return MoveFileExW(PathOf(from).c_str(), PathOf(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::optional<std::string> Win32LogFolder::Read(const std::string& name, std::int64_t lastBytes) {
  const Handle file(OpenToRead(PathOf(name)));
  LARGE_INTEGER size{};
  if (file.get() == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.get(), &size)) return std::nullopt;
  LARGE_INTEGER from{};
  from.QuadPart = size.QuadPart > lastBytes ? size.QuadPart - lastBytes : 0;
  if (!SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN)) return std::nullopt;
  std::string text;
  text.reserve(static_cast<std::size_t>(size.QuadPart - from.QuadPart));
  return ReadOn(file.get(), [&text](std::string_view piece) { text.append(piece); })
             ? std::optional<std::string>(std::move(text))
             : std::nullopt;
}

bool Win32LogFolder::ReadPieces(const std::string& name,
                                const std::function<void(std::string_view piece)>& take) {
  const Handle file(OpenToRead(PathOf(name)));
  return file.get() != INVALID_HANDLE_VALUE && ReadOn(file.get(), take);
}

}  // namespace horalign
