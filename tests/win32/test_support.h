// Scratch files for the Windows tests: a folder below the temporary folder per run, removed
// when the run ends, and whole-file reads and writes through the Windows calls.
#pragma once

#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <gtest/gtest.h>

#include <string>

namespace setup::win32 {

inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline std::string ReadWholeFile(const std::string& path) {
  ScopedHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string data;
  if (!file.Valid()) return data;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  return data;
}

inline void WriteWholeFile(const std::string& path, const std::string& data) {
  ScopedHandle file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.Valid()) << path;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  ASSERT_EQ(written, data.size());
}

inline void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

inline std::string ScratchRoot() {
  char temp[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH, temp);
  return std::string(temp) + "SetupSystemTests-" + std::to_string(GetCurrentProcessId());
}

// Removes the scratch folder when the run ends.
class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override { RemoveTree(ScratchRoot()); }
};
[[maybe_unused]] inline const auto* g_scratch_cleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

}  // namespace setup::win32
