// A console program for the Windows tier's tests:
//   windows_helper touch FILE TEXT   writes TEXT to FILE (proof that it was started, with its arguments)
//   windows_helper version FILE      writes "platform major minor" as the seam's GetVersionExA reports
#include <string>

#include "platform/windows/real_api.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 3) return 2;
  const std::string command = argv[1];
  std::string text;
  if (command == "touch" && argc == 4) {
    text = argv[3];
  } else if (command == "version" && argc == 3) {
    win32::OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!win32::GetVersionExA(&info)) return 1;
    text = std::to_string(info.dwPlatformId) + " " + std::to_string(info.dwMajorVersion) + " " +
           std::to_string(info.dwMinorVersion);
  } else {
    return 2;
  }
  const HANDLE file =
      CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
