// The 64-bit view against the real registry and file system. In the usual 32-bit test prefix
// the view changes nothing: every call still works. The end-to-end case of 64-bit setups also
// runs these tests in a 64-bit prefix, where the two views must part: registry writes under
// HKLM\Software land in the 64-bit registry or under WOW6432Node, and files in the system
// folder in System32 or SysWOW64, by the view, on the script's thread and on writer threads.
#include "platform/win32/native_view.h"  // first: brings in the Windows headers

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/win32/startup_platform.h"
#include "platform/win32/system.h"
#include "test_support.h"

namespace setup::win32 {
namespace {

constexpr int kLocalMachine = 0;
constexpr char kViewKey[] = "Software\\SetupSystemTests\\View";

// Sets the view for one test and restores the usual one after it.
class NativeViewTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetNativeView(true);
    system_.RegDeleteKeyTree(kLocalMachine, "Software\\SetupSystemTests");
    SetNativeView(false);
    system_.RegDeleteKeyTree(kLocalMachine, "Software\\SetupSystemTests");
  }
  std::string Read(bool native) {
    SetNativeView(native);
    std::string value = "(no key)";
    if (!system_.RegReadString(kLocalMachine, kViewKey, "Bits", false, value)) value = "(no key)";
    SetNativeView(false);
    return value;
  }
  void Write(bool native, const std::string& value) {
    SetNativeView(native);
    EXPECT_TRUE(system_.RegWriteString(kLocalMachine, kViewKey, "Bits", value));
    SetNativeView(false);
  }
  TWin32System system_;
};

TEST_F(NativeViewTest, TheViewFlagIsTheKeysAccessFlag) {
  EXPECT_EQ(RegistryView(), 0u);
  SetNativeView(true);
  EXPECT_EQ(RegistryView(), static_cast<REGSAM>(KEY_WOW64_64KEY));
  SetNativeView(false);
  std::printf("[ INFO     ] %s Windows\n", Is64BitWindows() ? "64-bit" : "32-bit");
}

TEST_F(NativeViewTest, RegistryWritesReadsAndDeletionsKeepToTheirView) {
  Write(false, "32");
  Write(true, "64");
  if (!Is64BitWindows()) {
    // One registry: the second write replaced the first, seen from either view.
    EXPECT_EQ(Read(false), "64");
    EXPECT_EQ(Read(true), "64");
    return;
  }
  EXPECT_EQ(Read(false), "32");
  EXPECT_EQ(Read(true), "64");
  // The redirected write is the one below WOW6432Node, as the 64-bit registry shows it.
  SetNativeView(true);
  std::string value;
  EXPECT_TRUE(
      system_.RegReadString(kLocalMachine, "Software\\WOW6432Node\\SetupSystemTests\\View", "Bits", false, value));
  EXPECT_EQ(value, "32");
  // A key check, a value's deletion and a tree's deletion in one view leave the other alone.
  system_.RegDeleteValue(kLocalMachine, kViewKey, "Bits");
  SetNativeView(false);
  EXPECT_EQ(Read(false), "32");
  EXPECT_EQ(Read(true), "");
  SetNativeView(true);
  system_.RegDeleteKeyTree(kLocalMachine, kViewKey);
  EXPECT_FALSE(system_.RegKeyExists(kLocalMachine, kViewKey));
  SetNativeView(false);
  EXPECT_TRUE(system_.RegKeyExists(kLocalMachine, kViewKey));
  EXPECT_EQ(Read(false), "32");
  // An empty key goes from its own view only.
  EXPECT_TRUE(system_.RegWriteString(kLocalMachine, "Software\\SetupSystemTests\\Empty", "x", "1"));
  system_.RegDeleteValue(kLocalMachine, "Software\\SetupSystemTests\\Empty", "x");
  SetNativeView(true);
  EXPECT_FALSE(system_.RegDeleteEmptyKey(kLocalMachine, "Software\\SetupSystemTests\\Empty"));
  SetNativeView(false);
  EXPECT_TRUE(system_.RegDeleteEmptyKey(kLocalMachine, "Software\\SetupSystemTests\\Empty"));
}

// Files in the system folder: the native view writes into System32 itself, also from another
// thread (the redirection is each thread's own), the redirected view into SysWOW64.
TEST_F(NativeViewTest, FileCallsSeeTheNativeSystemFolder) {
  wchar_t windows[MAX_PATH] = {};
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::string folder = NarrowUtf8(windows);
  const std::string file = folder + "\\system32\\setup-view-test.txt";
  const std::string wow = folder + "\\syswow64\\setup-view-test.txt";
  SetNativeView(true);
  TSystem::TNewFileResult result = TSystem::kFailed;
  std::thread writer([&] { result = system_.WriteNewFile(file, reinterpret_cast<const uint8_t*>("64"), 2); });
  writer.join();
  EXPECT_EQ(result, TSystem::kCreated);
  EXPECT_TRUE(system_.FileExists(file));
  auto stream = system_.OpenFile(file, TFileMode::Read);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->Size(), 2u);
  stream.reset();
  const bool native_seen_from_redirected = [&] {
    SetNativeView(false);
    const bool seen = system_.FileExists(file);
    SetNativeView(true);
    return seen;
  }();
  if (Is64BitWindows()) {
    EXPECT_FALSE(native_seen_from_redirected);
    EXPECT_FALSE(system_.FileExists(wow));
  } else {
    EXPECT_TRUE(native_seen_from_redirected);
  }
  EXPECT_TRUE(system_.DeleteFile(file));
  EXPECT_FALSE(system_.FileExists(file));
  SetNativeView(false);
}

// The folders behind $PROGRAMFILES64 and $SAVEDGAMES, as the system gives them to a 32-bit program.
TEST(NativeFolders, NativeProgramFilesAndSavedGames) {
  TWin32StartupPlatform platform;
  const std::u16string program_files = platform.SpecialFolderPath(kCsidlProgramFiles);
  if (Is64BitWindows()) {
    EXPECT_EQ(platform.ProgramFiles64Path(), u"C:\\Program Files");
    EXPECT_EQ(program_files, u"C:\\Program Files (x86)");
  } else {
    EXPECT_EQ(platform.ProgramFiles64Path(), u"");  // the startup then takes the one there is
    EXPECT_EQ(program_files, u"C:\\Program Files");
  }
  const std::u16string saved = platform.SavedGamesPath();
  EXPECT_TRUE(saved.empty() || saved.ends_with(u"\\Saved Games")) << NarrowUtf8(ToWide(saved));
}

}  // namespace
}  // namespace setup::win32
