// Writes the seed inputs of the fuzz targets with the project's own writers:
//
//   make_fuzz_seeds OUT_DIR
//
// creates OUT_DIR/<target>/<seed> for fuzz_pak_directory, fuzz_setup_info, fuzz_comp_lines and
// fuzz_interpreter.
// The committed corpus in tests/fuzz/corpus was made by it; run.sh adds a fresh set to each
// run, so the seeds follow the writers when a format changes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/command_list.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/pak.h"
#include "core/setup_info.h"
#include "interpreter_input.h"

namespace fs = std::filesystem;
using setup::TPak;

namespace {

bool WriteBytes(const fs::path& path, const std::string& bytes) {
  auto file = setup::TFileStream::Open(path.string(), setup::TFileMode::Create);
  return file && file->Write(bytes.data(), bytes.size()) == bytes.size() && file->Flush();
}

setup::TSetupInfoFile InstallerInfo() {
  setup::TSetupInfoFile info;
  info.SetupName = "Sample Game 1.2 Patch";
  info.ShortName = "SampleGame";
  info.SetupExeName = "setup.exe";
  info.UninstallExeName = "uninst.exe";
  info.UninstallPrefix = "sg12";
  info.InstallDir = "$ProgramFiles$\\Sample Game";
  info.Changelog = "Fixed the save menu.\r\nFaster loading.";
  info.InstallDirRegKey[0] = {0, "Software\\Sample\\Game", "InstallPath"};
  info.InstallDirRegKey[2] = {1, "Software\\Sample", "Folder"};
  info.Pages = "Welcome,License,Folder,Install,Finish";
  info.UninstallPages = "Confirm,Uninstall,Finish";
  info.Mode = 0;
  info.HasUninstaller = 1;
  return info;
}

setup::TCompLines SampleLines() {
  setup::TCompLines lines;
  lines.Lines.push_back({1, {"$InstallDir$"}, 1, 0});
  lines.Lines.push_back({0, {}, 0, -1});
  lines.Lines.push_back({7, {"data\\config.ini", "$InstallDir$\\data", "1"}, 3, 2});
  lines.Lines.push_back({12, {"HKLM", "Software\\Sample\\Game", "Version", "1.2"}, 4, 3});
  return lines;
}

struct TSeedEntry {
  std::string Name;
  std::string Data;
  uint16_t Group;
};

// A package of the given entries, after host bytes when host is not empty.
bool WritePackage(const fs::path& path, const std::string& host, const std::initializer_list<TSeedEntry>& entries) {
  if (!WriteBytes(path, host)) return false;
  TPak pak(path.string(), setup::pmAppend);
  if (!pak.IsOpen()) return false;
  for (const TSeedEntry& e : entries) {
    const int index = pak.AddEntry(e.Name, "", e.Group);
    if (!pak.StoreFromMemory(index, reinterpret_cast<const uint8_t*>(e.Data.data()), static_cast<uint32_t>(e.Data.size()))) {
      return false;
    }
  }
  const bool ok = pak.WriteDirectory();
  pak.Close();
  return ok;
}

// Scripts for the interpreter: a line of every command with the parameters its compiled lines
// carry, then every command with none, then jumps and questions.
std::vector<std::pair<std::string, std::string>> InterpreterSeeds() {
  using setup::CommandNumberOf;
  const auto line = [](int command, std::vector<std::string> params) {
    const int32_t count = static_cast<int32_t>(params.size());
    return setup::TCompiledLine{command, std::move(params), count, 0};
  };
  setup::fuzz::TInterpreterInput full, empty, jumps;
  const std::vector<std::string> samples = {"$INSTDIR\\data", "HKCU", "Software\\Demo", "1", "2", "game.kzp"};
  for (int n = 1; n <= setup::kCommandCount; ++n) {
    std::vector<std::string> params;
    for (size_t i = 0; i < setup::CompiledMinParams(setup::kCommandTable[n - 1]); ++i) {
      params.push_back(samples[i % samples.size()]);
    }
    full.Lines.push_back(line(n, params));
    empty.Lines.push_back(line(n, {}));
  }
  jumps.Answers = 0x5A;
  jumps.Lines = {line(0, {"top"}),
                 line(CommandNumberOf("messagebox"), {"Again?", "Demo", "3", "-1"}),
                 line(CommandNumberOf("iffileexists"), {"$INSTDIR\\readme.txt", "0", "4"}),
                 line(0, {"again"}),
                 line(CommandNumberOf("file"), {"files", "1"}),
                 line(CommandNumberOf("goto"), {"0"}),
                 line(CommandNumberOf("failure"), {})};
  std::vector<std::pair<std::string, std::string>> seeds;
  for (auto* input : {&full, &empty, &jumps}) {
    for (size_t i = 0; i < input->Lines.size(); ++i) input->Lines[i].LineIndex = static_cast<int32_t>(i);
  }
  seeds.emplace_back("every_command", setup::fuzz::EncodeInterpreterInput(full));
  seeds.emplace_back("no_parameters", setup::fuzz::EncodeInterpreterInput(empty));
  seeds.emplace_back("jumps", setup::fuzz::EncodeInterpreterInput(jumps));
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds OUT_DIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  const fs::path pak_dir = out / "fuzz_pak_directory";
  const fs::path info_dir = out / "fuzz_setup_info";
  const fs::path lines_dir = out / "fuzz_comp_lines";
  std::error_code ec;
  for (const fs::path& dir : {pak_dir, info_dir, lines_dir}) fs::create_directories(dir, ec);

  const std::string info = InstallerInfo().Serialize();
  setup::TSetupInfoFile uninstaller_info = InstallerInfo();
  uninstaller_info.Mode = 1;
  const std::string lines = SampleLines().Serialize();
  std::string text;
  for (int i = 0; i < 12; ++i) text += "[section" + std::to_string(i) + "]\r\nvalue=" + std::to_string(i * 37) + "\r\n";
  std::string noise;
  for (uint32_t x = 2463534242u, i = 0; i < 96; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    noise.push_back(static_cast<char>(x));
  }
  const std::string host = "MZ" + std::string(62, '\0');

  bool ok = true;
  ok &= WriteBytes(info_dir / "installer", info);
  ok &= WriteBytes(info_dir / "uninstaller", uninstaller_info.Serialize());
  ok &= WriteBytes(info_dir / "empty_fields", setup::TSetupInfoFile().Serialize());
  ok &= WriteBytes(lines_dir / "four_lines", lines);
  ok &= WriteBytes(lines_dir / "no_lines", setup::TCompLines().Serialize());
  ok &= WritePackage(pak_dir / "setup_with_host", host,
                     {{"SetupInfo", info, 0},
                      {"CompiledLines", lines, 0},
                      {"data\\config.ini", text, 1},
                      {"data\\noise.bin", noise, 1},
                      {"empty.cfg", "", 2}});
  ok &= WritePackage(pak_dir / "setup_info_only", "", {{"SetupInfo", info, 0}});
  ok &= WritePackage(pak_dir / "no_entries", "", {});
  const fs::path interpreter_dir = out / "fuzz_interpreter";
  fs::create_directories(interpreter_dir, ec);
  for (const auto& [name, bytes] : InterpreterSeeds()) ok &= WriteBytes(interpreter_dir / name, bytes);
  if (!ok) {
    std::fprintf(stderr, "make_fuzz_seeds: cannot write the seeds under %s\n", out.string().c_str());
    return 1;
  }
  return 0;
}
