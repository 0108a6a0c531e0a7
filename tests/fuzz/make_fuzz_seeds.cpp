// Writes the seed inputs of the fuzz targets with the project's own writers:
//
//   make_fuzz_seeds OUT_DIR
//
// creates OUT_DIR/<target>/<seed> for fuzz_pak_directory, fuzz_setup_info, fuzz_comp_lines,
// fuzz_install_log, fuzz_languages, fuzz_icon_file, fuzz_rollback_journal, fuzz_inflate,
// fuzz_interpreter, fuzz_pe_image, fuzz_difference and fuzz_patch_manifest. The committed corpus in tests/fuzz/corpus
// was made by it; run.sh adds a fresh set to each run, so the seeds follow the writers when a format changes. The
// language seeds are the shipped language files and one written here that uses every rule of the format.
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "archives/rollback_journal.h"
#include "core/byte_order.h"
#include "core/command_list.h"
#include "core/crc.h"
#include "core/deflate.h"
#include "core/digit_cipher.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/pak.h"
#include "core/setup_info.h"
#include "delta/difference.h"
#include "delta/patch_manifest.h"
#include "difference_input.h"
#include "engine/uninstall_list.h"
#include "fake_system.h"
#include "icon_fixtures.h"
#include "interpreter_input.h"
#include "pak_fixtures.h"
#include "pe_fixtures.h"
#include "setup_records.h"
#include "test_files.h"

namespace fs = std::filesystem;
using setup::TPak;

namespace {

bool WriteBytes(const fs::path& path, const std::string& bytes) {
  auto file = setup::TFileStream::Open(path.string(), setup::TFileMode::Create);
  return file && file->Write(bytes.data(), bytes.size()) == bytes.size() && file->Flush();
}

setup::TCompLines SampleLines() {
  setup::TCompLines lines;
  lines.Lines.push_back({1, {"$InstallDir$"}, 1, 0});
  lines.Lines.push_back({0, {}, 0, -1});
  lines.Lines.push_back({7, {"data\\config.ini", "$InstallDir$\\data", "1"}, 3, 2});
  lines.Lines.push_back({12, {"HKLM", "Software\\Sample\\Game", "Version", "1.2"}, 4, 3});
  return lines;
}

// An install log written by TUninstallList::SaveLog (through the native tests' fake system).
std::string InstallLog(const setup::TUninstallList& log) {
  setup::testing::TFakeSystem system;
  system.CreateFolder("C:\\Game");
  if (!log.SaveLog("C:\\Game", "demo_")) return {};
  const setup::TBytes bytes =
      setup::testing::ReadFile(system.Map(setup::TUninstallList::LogPath("C:\\Game", "demo_")).string());
  return std::string(bytes.begin(), bytes.end());
}

// A log of texts in four scripts (one character outside the Basic Multilingual Plane): the
// second version with the flag that says its texts are UTF-8.
setup::TUninstallList UnicodeLog() {
  setup::TUninstallList log;
  log.FileList = {"$INSTDIR\\Сохранения\\слот 1.sav", "$DESKTOP\xF0\x9F\x8E\xAE Demo.lnk"};
  log.RegistryList = {"\"HKCU\" \"Software\\Ελληνικά\" \"Path\" \"C:\\ゲーム\""};
  log.FolderList = {"C:\\ゲーム\\"};
  return log;
}

// A log as an older setup wrote it: version 1, its texts in Windows-1252.
std::string LegacyLog() {
  std::string out;
  for (uint16_t count : {1, 1, 1}) setup::AppendLE16(out, count);
  for (const char* text :
       {"$INSTDIR\\M\xFChle\\\x80.txt", "\"HKLM\" \"Software\\Caf\xE9\" \"\" \"\"", "C:\\Spi\xEAle\\"}) {
    setup::AppendString(out, setup::EncipherDigits(setup::kInstallLogKey, text));
  }
  return out;
}

setup::TUninstallList SampleLog() {
  setup::TUninstallList log;
  log.FileList = {"$INSTDIR\\data\\a.pak", "$INSTDIR\\readme.txt", "$DESKTOPDemo.lnk"};
  log.RegistryList = {"\"HKLM\" \"Software\\Demo\" \"Path\" \"C:\\Games\\Demo\""};
  log.FolderList = {"C:\\Games\\Demo\\data\\", "C:\\Games\\Demo\\"};
  return log;
}

// A language file image: the byte-order mark, then the text in UTF-16.
std::string LanguageImage(const std::u16string& text) {
  std::string image = "\xFF\xFE";
  for (char16_t c : text) {
    image.push_back(static_cast<char>(c & 0xFF));
    image.push_back(static_cast<char>(c >> 8));
  }
  return image;
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

// A first-version package as an older builder wrote it: names and records in Windows-1252.
std::string LegacyPackage(const std::string& info, const std::string& lines) {
  std::string stored;
  std::vector<setup::testing::TRawEntry> entries;
  for (const auto& [name, data, group] : {std::tuple<std::string, std::string, uint16_t>{"SetupInfo", info, 0},
                                          {"CompiledLines", lines, 0},
                                          {"M\xFChle\\\x80 price.txt", "legacy", 1}}) {
    setup::testing::TRawEntry e;
    e.Name = name;
    e.Crc = setup::Crc32(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    e.Offset = stored.size();
    e.Size = data.size();
    e.Group = group;
    entries.push_back(e);
    stored += data;
  }
  const std::vector<uint8_t> tail = setup::testing::Version1Tail(entries, static_cast<uint32_t>(stored.size()));
  return stored + std::string(tail.begin(), tail.end());
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

// Differences by both methods from the fuzz target's old file to each new file it names.
class TStringWriter : public setup::delta::TNewFileWriter {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string bytes;
};

bool WriteDifferenceSeeds(const fs::path& dir) {
  const setup::TBytes old_file = setup::fuzz::DifferenceOldFile();
  const std::string old_path = (dir / "old.tmp").string(), new_path = (dir / "new.tmp").string();
  bool ok = WriteBytes(old_path, std::string(old_file.begin(), old_file.end()));
  int n = 0;
  for (const setup::TBytes& new_file : setup::fuzz::DifferenceNewFiles()) {
    ok &= WriteBytes(new_path, std::string(new_file.begin(), new_file.end()));
    ++n;
    for (const auto& [method, name] : {std::pair{setup::delta::TDifferenceMethod::Reference, "reference"},
                                       {setup::delta::TDifferenceMethod::Chunks, "chunks"}}) {
      TStringWriter out;
      ok &= setup::delta::EncodeDifference(old_path, new_path, out, method).Ok &&
            WriteBytes(dir / (std::string(name) + "_" + std::to_string(n)), out.bytes);
    }
  }
  std::error_code ec;
  fs::remove(old_path, ec);
  fs::remove(new_path, ec);
  return ok;
}

std::string ManifestSeed() {
  using setup::delta::TPatchAction;
  setup::delta::TPatchManifest manifest;
  setup::delta::TFileIdentity one{12, {}}, two{1ull << 33, {}};
  one.Sha256.fill(0x11);
  two.Sha256.fill(0x22);
  manifest.Items = {{TPatchAction::Add, "data\\новый.pak", {}, one},
                    {TPatchAction::Replace, "game.exe", one, two},
                    {TPatchAction::Difference, "data\\assets.pak", two, one},
                    {TPatchAction::Remove, "ゲーム\\old.txt", one, {}}};
  return setup::delta::WritePatchManifest(manifest);
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
  const fs::path log_dir = out / "fuzz_install_log";
  const fs::path language_dir = out / "fuzz_languages";
  const fs::path icon_dir = out / "fuzz_icon_file";
  std::error_code ec;
  for (const fs::path& dir : {pak_dir, info_dir, lines_dir, log_dir, language_dir, icon_dir}) {
    fs::create_directories(dir, ec);
  }

  setup::TSetupInfoFile installer_info = setup::testing::FilledSetupInfo();
  installer_info.Mode = 0;
  const std::string info = installer_info.Serialize();
  const std::string lines = SampleLines().Serialize();
  std::string text;
  for (int i = 0; i < 12; ++i) text += "[section" + std::to_string(i) + "]\r\nvalue=" + std::to_string(i * 37) + "\r\n";
  const setup::TBytes noise_bytes = setup::testing::NoiseBytes(96);
  const std::string noise(noise_bytes.begin(), noise_bytes.end());
  const std::string host = "MZ" + std::string(62, '\0');

  // Texts in four scripts, and the same record as an older builder stored it in Windows-1252.
  setup::TSetupInfoFile unicode_info = installer_info;
  unicode_info.SetupName = "Игра ゲーム Ελληνικά \xF0\x9F\x8E\xAE";
  unicode_info.InstallDir = "$PROGRAMFILES\\Игры\\ゲーム";
  unicode_info.InstallDirRegKey[1] = {0, "Software\\Ελληνικά", "Διαδρομή"};
  setup::TSetupInfoFile legacy_info = installer_info;
  legacy_info.SetupName = "Caf\xE9 \x80";
  legacy_info.InstallDir = "C:\\Spiele\\M\xFChle";
  // Archive passwords enciphered with the command key (bytes, never text) beside UTF-8 texts.
  setup::TCompLines password_lines;
  password_lines.Lines = {{setup::CommandNumberOf("kzpupdate"),
                           {"данные", setup::EncipherDigits(setup::kCommandKey, "z\xE9~"), "игра.kzp", "1"},
                           4,
                           0},
                          {setup::CommandNumberOf("kzpofficial"),
                           {"игра.kzp", setup::EncipherDigits(setup::kCommandKey, "code"), "TRUE"},
                           3,
                           1},
                          {setup::CommandNumberOf("message"), {"Caf\xE9"}, 1, 2}};
  const std::string unicode_lines = password_lines.Serialize();

  bool ok = true;
  ok &= WriteBytes(info_dir / "unicode_texts", unicode_info.Serialize());
  ok &= WriteBytes(info_dir / "legacy_texts", legacy_info.Serialize());
  ok &= WriteBytes(lines_dir / "passwords", unicode_lines);
  ok &= WritePackage(pak_dir / "unicode_names", host,
                     {{"SetupInfo", unicode_info.Serialize(), 0},
                      {"CompiledLines", unicode_lines, 0},
                      {"данные\\файл.txt", text, 1},
                      {"ゲーム\\\xF0\x9F\x8E\xAE.bin", noise, 1}});
  ok &= WriteBytes(pak_dir / "legacy_ansi_names", LegacyPackage(legacy_info.Serialize(), lines));
  ok &= WriteBytes(info_dir / "installer", info);
  ok &= WriteBytes(info_dir / "uninstaller", setup::testing::FilledSetupInfo().Serialize());
  ok &= WriteBytes(info_dir / "empty_fields", setup::TSetupInfoFile().Serialize());
  setup::TSetupInfoFile settings_info = installer_info;
  settings_info.SetSetting(setup::kSettingPublisher, "Demo Company");
  settings_info.SetSetting(setup::kSettingDisplayIcon, "$INSTDIR\\Игра.exe");
  settings_info.SetSetting(setup::kSettingLanguage, "Deutsch");
  ok &= WriteBytes(info_dir / "settings", settings_info.Serialize());
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
  // A signed setup: the package between an executable's headers and a certificate table.
  const setup::TBytes stub = setup::testing::FixtureExecutable();
  ok &= WritePackage(pak_dir / "signed_setup", std::string(stub.begin(), stub.end()), {{"SetupInfo", info, 0}});
  if (ok) {
    const setup::TBytes signed_setup = setup::testing::FixtureSigned(setup::testing::ReadFile((pak_dir / "signed_setup").string()), 5);
    ok &= WriteBytes(pak_dir / "signed_setup", std::string(signed_setup.begin(), signed_setup.end()));
  }
  const fs::path pe_dir = out / "fuzz_pe_image";
  fs::create_directories(pe_dir, ec);
  for (bool plus : {false, true}) {
    const setup::TBytes pe = setup::testing::FixtureSigned(setup::testing::FixtureExecutable(plus), 0, 64, plus);
    ok &= WriteBytes(pe_dir / (plus ? "signed_pe32_plus" : "signed_pe32"), std::string(pe.begin(), pe.end()));
  }

  const std::string log = InstallLog(SampleLog());
  ok &= !log.empty() && WriteBytes(log_dir / "files_registry_folders", log);
  ok &= WriteBytes(log_dir / "empty", InstallLog(setup::TUninstallList()));
  ok &= WriteBytes(log_dir / "utf8_texts", InstallLog(UnicodeLog()));
  ok &= WriteBytes(log_dir / "legacy_ansi_texts", LegacyLog());
  setup::TUninstallList keys_log = SampleLog();
  keys_log.AddCreatedKey("\"HKLM\" \"Software\\Demo\"");
  keys_log.AddCreatedKey("\"HKLM\" \"Software\\Demo\\Game\"");
  ok &= WriteBytes(log_dir / "created_keys", InstallLog(keys_log));

  for (const char* name : {"English.wri", "German.wri"}) {
    fs::copy_file(fs::path(SETUP_SOURCE_DIR) / "languages" / name, language_dir / name,
                  fs::copy_options::overwrite_existing, ec);
    ok &= !ec;
  }
  // Quoted numbers, a blank line, a line feed that restarts its line, tokens inside tokens.
  ok &= WriteBytes(language_dir / "every_rule",
                   LanguageImage(u"Demo\r\n0409;0407;\r\n1 Next\r\n\r\n\"2\" <LANG1> <%SETUPTITLE%><BR>\r\n"
                                 u"3 dropped\n3 <LANG2> in <%SPACEREQ%>\r\n\t4\tTabbed\r\n"));

  // Two images, the first stored last: its directory entry has to be followed.
  const std::string first = setup::testing::IconImage(0x40);
  const std::string second = setup::testing::IconImage(0x80);
  const uint32_t images = 6 + 2 * 16;
  std::string two_images = setup::testing::IconHeader(2);
  setup::testing::AppendIconEntry(two_images, static_cast<uint32_t>(first.size()),
                                  images + static_cast<uint32_t>(second.size()));
  setup::testing::AppendIconEntry(two_images, static_cast<uint32_t>(second.size()), images);
  ok &= WriteBytes(icon_dir / "one_image", setup::testing::IconFile(first));
  ok &= WriteBytes(icon_dir / "first_image_last", two_images + second + first);

  // A journal of an update that changed two ranges of a 64 KiB archive and cut its tail.
  const fs::path journal_dir = out / "fuzz_rollback_journal";
  fs::create_directories(journal_dir, ec);
  const std::string archive_path = (journal_dir / "archive.tmp").string();
  ok &= WriteBytes(archive_path, std::string(64 << 10, 'a'));
  if (auto archive = setup::NativeArchiveFileSystem().OpenForUpdate(archive_path)) {
    setup::TRollbackJournal journal;
    ok &= journal.Begin(setup::NativeArchiveFileSystem(), (journal_dir / "two_ranges_and_a_cut").string(), *archive) &&
          journal.Save(100, 300) && journal.Save(4000, 50) && journal.Save(60000, 64 << 10);
    journal.Abandon();
  } else {
    ok = false;
  }
  fs::remove(archive_path, ec);

  // Streams of text and of bytes that do not compress, each after its 3-byte size.
  const fs::path inflate_dir = out / "fuzz_inflate";
  fs::create_directories(inflate_dir, ec);
  for (const auto& [name, size] : {std::pair<std::string, size_t>{"text", 5000}, {"noise", 700}}) {
    setup::TBytes content(size);
    for (size_t i = 0; i < size; ++i) {
      content[i] = name == "text" ? static_cast<uint8_t>("the castle by the river "[i % 24]) : static_cast<uint8_t>(i * 7919 >> 3);
    }
    const setup::TBytes stream = setup::Deflate(content.data(), content.size());
    std::string seed = {static_cast<char>(size & 0xFF), static_cast<char>(size >> 8 & 0xFF), static_cast<char>(size >> 16)};
    seed.append(stream.begin(), stream.end());
    ok &= WriteBytes(inflate_dir / name, seed);
  }

  const fs::path interpreter_dir = out / "fuzz_interpreter";
  fs::create_directories(interpreter_dir, ec);
  for (const auto& [name, bytes] : InterpreterSeeds()) ok &= WriteBytes(interpreter_dir / name, bytes);

  const fs::path difference_dir = out / "fuzz_difference";
  const fs::path manifest_dir = out / "fuzz_patch_manifest";
  fs::create_directories(difference_dir, ec);
  fs::create_directories(manifest_dir, ec);
  ok &= WriteDifferenceSeeds(difference_dir);
  ok &= WriteBytes(manifest_dir / "every_action", ManifestSeed());
  ok &= WriteBytes(manifest_dir / "no_items", setup::delta::WritePatchManifest({}));
  if (!ok) {
    std::fprintf(stderr, "make_fuzz_seeds: cannot write the seeds under %s\n", out.string().c_str());
    return 1;
  }
  return 0;
}
