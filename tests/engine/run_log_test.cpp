// The run log (-log=FILE): the line each kind of step writes, the failures with the system's
// words, lines from the writer threads, and the file the log is kept in.
#include "engine/run_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "core/languages.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "engine/commands.h"
#include "engine/file_commands.h"
#include "engine/interpreter.h"
#include "engine/status_channel.h"
#include "engine/uninstall_list.h"
#include "engine_state.h"
#include "fake_system.h"
#include "test_host.h"

namespace setup {
namespace {

// The lines a run wrote, from whichever thread.
class TMemoryLog : public TRunLog {
 public:
  void Write(std::string_view line) override {
    std::lock_guard guard(lock_);
    Lines.emplace_back(line);
  }
  bool Has(const std::string& line) const { return std::count(Lines.begin(), Lines.end(), line) == 1; }
  std::vector<std::string> Lines;

 private:
  std::mutex lock_;
};

constexpr int kFile = CommandNumberOf("file"), kDelete = CommandNumberOf("delete"),
              kWriteRegStr = CommandNumberOf("writeregstr"), kRmDir = CommandNumberOf("rmdir"),
              kCreateDirectory = CommandNumberOf("createdirectory"),
              kCreateShortcut = CommandNumberOf("createshortcut"), kCopyFile = CommandNumberOf("copyfile"),
              kFailure = CommandNumberOf("failure"), kWriteRegStrUrl = CommandNumberOf("writeregstr_url"),
              kRename = CommandNumberOf("rename"), kExecute = CommandNumberOf("execute");

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetEngineState(false, nullptr);
    SetRunLog(&log_);
  }
  void TearDown() override {
    SetRunLog(nullptr);
    testing::ClearEngineState();
  }

  void Package(const std::vector<std::tuple<std::string, uint16_t, std::string>>& entries) {
    testing::UsePackage("run-log-package.bin", entries);
  }
  void Script(const std::vector<std::pair<int, std::vector<std::string>>>& lines) {
    testing::UseScript(lines);
    Interpreter().CurrentLine = -1;
  }
  void Put(const std::string& path, const std::string& text) { testing::PutFile(system_, path, text); }
  std::string AllLines() const {
    std::string text;
    for (const std::string& line : log_.Lines) text += line + "\n";
    return text;
  }

  testing::TFakeSystem system_;
  testing::TRecordingHost host_;
  TMemoryLog log_;
};

TEST_F(RunLogTest, EveryFileFolderAndTheInstallLogOfAGroupIsNamed) {
  Globals().SetupInfo.HasUninstaller = 1;
  Globals().SetupInfo.UninstallPrefix = "demo_";
  // Many small files go through the writer threads; the large one is written by the run itself.
  std::vector<std::tuple<std::string, uint16_t, std::string>> entries{{"SetupInfo", 0, "x"}};
  for (int i = 0; i < 100; ++i) entries.emplace_back("data\\f" + std::to_string(i) + ".txt", 1, "small");
  entries.emplace_back("big.bin", 1, std::string((4u << 20) + 1, 'b'));
  Package(entries);
  Script({{kFile, {"files", "1"}}});
  RunScript();
  SCOPED_TRACE(AllLines());
  for (int i = 0; i < 100; ++i)
    EXPECT_TRUE(log_.Has("Wrote file: C:\\Games\\Demo\\data\\f" + std::to_string(i) + ".txt"));
  EXPECT_TRUE(log_.Has("Wrote file: C:\\Games\\Demo\\big.bin"));
  EXPECT_TRUE(log_.Has("Created folder: C:\\Games\\"));
  EXPECT_TRUE(log_.Has("Created folder: C:\\Games\\Demo\\"));
  EXPECT_TRUE(log_.Has("Created folder: C:\\Games\\Demo\\data"));
  EXPECT_TRUE(log_.Has("Wrote file: C:\\Games\\Demo\\demo_install.log"));
  EXPECT_EQ(log_.Lines.size(), 101u + 3u + 1u);  // files, folders, the install log
}

TEST_F(RunLogTest, AFileThatCannotBeWrittenIsAFailureWithTheSystemsWords) {
  Package({{"SetupInfo", 0, "x"}, {"readme.txt", 1, "new"}, {"big.bin", 1, std::string((4u << 20) + 1, 'b')}});
  Put("C:\\Games\\Demo\\readme.txt", "old");
  Put("C:\\Games\\Demo\\big.bin", "old");
  system_.Locked = {"C:\\Games\\Demo\\readme.txt", "C:\\Games\\Demo\\big.bin"};
  system_.FailureText = "The process cannot access the file because it is being used by another process. [32]";
  Script({{kFile, {"files", "1"}}});
  RunLines();
  EXPECT_EQ(log_.Lines, (std::vector<std::string>{
                            "FAILED to write file: C:\\Games\\Demo\\readme.txt (The process cannot access the file "
                            "because it is being used by another process. [32])",
                            "FAILED to write file: C:\\Games\\Demo\\big.bin (The process cannot access the file "
                            "because it is being used by another process. [32])"}));
}

TEST_F(RunLogTest, ReplacingAFileThatIsInUseFailsAndTheReplacementIsNamed) {
  Package({{"SetupInfo", 0, "x"}, {"readme.txt", 1, "new"}});
  Put("C:\\Games\\Demo\\readme.txt", "old");
  system_.RefuseReplace = true;
  system_.FailureText = "Access is denied. [5]";
  Script({{kFile, {"files", "1"}}});
  RunLines();
  EXPECT_EQ(log_.Lines,
            std::vector<std::string>{"FAILED to write file: C:\\Games\\Demo\\readme.txt (Access is denied. [5])"});
  system_.RefuseReplace = false;
  log_.Lines.clear();
  Script({{kFile, {"files", "1"}}});
  RunLines();
  EXPECT_EQ(log_.Lines, std::vector<std::string>{"Wrote file: C:\\Games\\Demo\\readme.txt"});
}

TEST_F(RunLogTest, FileCommandsRegistryShortcutsAndProgramsEachWriteTheirLine) {
  Put("C:\\src\\a.cfg", "12");
  Put("C:\\Games\\Demo\\old.txt", "x");
  Put("C:\\Games\\Demo\\cache\\deep\\c.bin", "x");
  Script({{kCopyFile, {"C:\\src\\a.cfg", "$INSTDIR\\a.cfg"}},
          {kRename, {"$INSTDIR\\a.cfg", "$INSTDIR\\b.cfg"}},
          {kDelete, {"$INSTDIR\\old.txt"}},
          {kDelete, {"$INSTDIR\\never-there.txt"}},
          {kRmDir, {"$INSTDIR\\cache", "1"}},
          {kCreateDirectory, {"$INSTDIR\\saves"}},
          {kWriteRegStr, {"HKCU", "Software\\Demo\\", "Path", "$INSTDIR"}},
          {kWriteRegStrUrl, {"demo", "i.ico", "p.exe"}},
          {kCreateShortcut, {"C:\\Desk\\Demo.lnk", "$INSTDIR\\demo.exe", ""}},
          {kExecute, {"$INSTDIR\\tool.exe", "/quiet now"}},
          {kExecute, {"notepad.exe"}}});
  RunLines();
  EXPECT_EQ(log_.Lines, (std::vector<std::string>{
                            "Copied file: C:\\src\\a.cfg -> C:\\Games\\Demo\\a.cfg",
                            "Renamed file: C:\\Games\\Demo\\a.cfg -> C:\\Games\\Demo\\b.cfg",
                            "Deleted file: C:\\Games\\Demo\\old.txt",
                            "Removed folder: C:\\Games\\Demo\\cache",
                            "Created folder: C:\\Games\\Demo\\saves",
                            "Wrote registry value: HKCU\\Software\\Demo\\Path = C:\\Games\\Demo",
                            "Wrote registry value: HKCR\\demo\\(Default) = URL:demo Protocol",
                            "Wrote registry value: HKCR\\demo\\URL Protocol = ",
                            "Wrote registry value: HKCR\\demo\\DefaultIcon\\(Default) = i.ico",
                            "Wrote registry value: HKCR\\demo\\shell\\open\\command\\(Default) = \"p.exe\"",
                            "Created folder: C:\\Desk",
                            "Created shortcut: C:\\Desk\\Demo.lnk -> C:\\Games\\Demo\\demo.exe",
                            "Ran program: C:\\Games\\Demo\\tool.exe /quiet now",
                            "Ran program: notepad.exe",
                        }));
}

TEST_F(RunLogTest, RefusalsOfTheSystemAreFailures) {
  Put("C:\\Games\\Demo\\held.txt", "x");
  system_.FailureText = "Access is denied. [5]";
  system_.RefuseLinks = true;
  system_.RefuseStart = true;
  Script({{kCopyFile, {"C:\\src\\missing.cfg", "$INSTDIR\\a.cfg"}},
          {kRename, {"$INSTDIR\\held.txt", "$INSTDIR\\nowhere\\held.txt"}},
          {kCreateShortcut, {"C:\\Games\\Demo\\Demo.lnk", "$INSTDIR\\demo.exe", ""}},
          {kExecute, {"missing.exe"}}});
  RunLines();
  EXPECT_EQ(log_.Lines,
            (std::vector<std::string>{
                "FAILED to copy file: C:\\src\\missing.cfg -> C:\\Games\\Demo\\a.cfg (Access is denied. [5])",
                "FAILED to rename file: C:\\Games\\Demo\\held.txt -> C:\\Games\\Demo\\nowhere\\held.txt (Access is "
                "denied. [5])",
                "FAILED to create shortcut: C:\\Games\\Demo\\Demo.lnk -> C:\\Games\\Demo\\demo.exe (Access is denied. "
                "[5])",
                "FAILED to start program: missing.exe (Access is denied. [5])"}));

  // A registry write the system refuses ends the install; the log says which value it was.
  log_.Lines.clear();
  system_.RefuseWrites = true;
  Script({{kWriteRegStr, {"HKLM", "Software\\Demo", "Path", "x"}}});
  EXPECT_THROW(RunLines(), ESetupError);
  EXPECT_EQ(log_.Lines, std::vector<std::string>{"FAILED to write registry value: HKLM\\Software\\Demo\\Path = x "
                                                 "(Failed to set data for 'Path')"});
}

TEST_F(RunLogTest, AStoppedScriptIsNamed) {
  Package({{"SetupInfo", 0, "x"}});
  Script({{kCreateDirectory, {"$INSTDIR"}}, {kFailure, {}}});
  RunScript();
  EXPECT_EQ(log_.Lines, (std::vector<std::string>{"Created folder: C:\\Games\\", "Created folder: C:\\Games\\Demo",
                                                  "Script stopped: compiled line 1"}));
}

TEST(RunLog, LinesOfSeveralLinesStayOneAndNoLogFormatsNothing) {
  TMemoryLog log;
  SetRunLog(&log);
  LogStep("Message", "Error: Verification Failed.\rID: 0\r\nFilename: a\nb");
  LogFailure("write file", "C:\\a", "");
  LogExitCode(3);
  SetRunLog(nullptr);
  LogStep("Message", "nobody reads this");
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"Message: Error: Verification Failed. | ID: 0 | Filename: a | b",
                                                 "FAILED to write file: C:\\a", "Exit code: 3"}));
}

TEST(RunLog, FileLogKeepsUtf8LinesWithCrLfAsTheyArriveFromManyThreads) {
  const std::string path = testing::ScratchPath("run-log.txt");
  testing::WriteFile(path, TBytes(100, 'x'));  // an older log is replaced
  std::unique_ptr<TFileRunLog> log = TFileRunLog::Create(path);
  ASSERT_NE(log, nullptr);
  SetRunLog(log.get());
  LogStep("Install folder", "C:\\Spiele\\Über \xE6\x97\xA5\xE6\x9C\xAC");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) LogStep("Wrote file", "thread " + std::to_string(t) + " file " + std::to_string(i));
    });
  }
  for (std::thread& t : threads) t.join();
  SetRunLog(nullptr);
  const TBytes bytes = testing::ReadFile(path);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.rfind("Install folder: C:\\Spiele\\Über \xE6\x97\xA5\xE6\x9C\xAC\r\n", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 801);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 801);
  for (int t = 0; t < 4; ++t) {
    EXPECT_NE(text.find("Wrote file: thread " + std::to_string(t) + " file 199\r\n"), std::string::npos);
  }
  EXPECT_EQ(TFileRunLog::Create(testing::ScratchPath("no-such-folder/run-log.txt")), nullptr);
}

}  // namespace
}  // namespace setup
