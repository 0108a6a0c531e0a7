// Scratch files for the Windows tests: a folder below the temporary folder per run, removed
// when the run ends, and whole-file reads and writes through the Windows calls. Paths are UTF-8,
// as everywhere in the program, and reach the system through its wide calls (long ones in the
// long-path form).
#pragma once

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <gtest/gtest.h>

#include <string>

namespace setup::win32 {

inline bool Exists(const std::string& path) {
  return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadWholeFile(const std::string& path) {
  ScopedHandle file(
      CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string data;
  if (!file.Valid()) return data;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  return data;
}

inline void WriteWholeFile(const std::string& path, const std::string& data) {
  ScopedHandle file(
      CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.Valid()) << path;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  ASSERT_EQ(written, data.size());
}

inline void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(SystemPath(folder + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring_view name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::string path = folder + "\\" + NarrowUtf8(name);
      SetFileAttributesW(SystemPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileW(SystemPath(path).c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(SystemPath(folder).c_str());
}

inline std::string ScratchRoot() {
  return NarrowUtf8(TempFolderWide()) + "SetupSystemTests-" + std::to_string(GetCurrentProcessId());
}

// Removes the scratch folder when the run ends.
class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override { RemoveTree(ScratchRoot()); }
};
[[maybe_unused]] inline const auto* g_scratch_cleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

}  // namespace setup::win32
