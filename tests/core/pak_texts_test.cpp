// The texts of a package: entry names, "SetupInfo" and "CompiledLines". A package whose texts
// are all ASCII is written exactly as before packages could say their texts are UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "core/crc.h"
#include "core/pak.h"
#include "core/setup_info.h"
#include "core/sha256.h"
#include "setup_records.h"
#include "test_files.h"

namespace setup {
namespace {

using testing::ReadFile;
using testing::ScratchPath;
using testing::WriteFile;

std::string Sha256Of(const TBytes& bytes) {
  auto digest = NewSha256();
  TSha256Digest out{};
  EXPECT_TRUE(digest && digest->Update(bytes.data(), bytes.size()) && digest->Final(out));
  return Sha256Hex(out);
}

struct TTextEntry {
  std::string Name;
  uint16_t Group;
  std::string Data;
};

// Each entry stored as it is, so the bytes do not depend on the deflate library.
std::string WritePlainPackage(const std::string& file, const std::vector<TTextEntry>& entries, bool records_not_ascii = false) {
  const std::string path = ScratchPath(file);
  WriteFile(path, {'M', 'Z', 0, 0, 0, 0, 0, 0});
  TPak pak(path, pmAppend);
  static_cast<void>(records_not_ascii);
  for (const TTextEntry& e : entries) {
    const int index = pak.AddEntry(e.Name, "", e.Group);
    TPakEntry& entry = pak.Directory()[index];
    const TBytes stored(e.Data.begin(), e.Data.end());
    entry.Size = stored.size();
    entry.PackedSize = 0;
    entry.Crc = Crc32(stored.data(), stored.size());
    EXPECT_TRUE(pak.StorePacked(index, stored));
  }
  EXPECT_TRUE(pak.WriteDirectory());
  pak.Close();
  return path;
}

TCompLines AsciiLines() {
  TCompLines lines;
  lines.Lines = {{-1, {}, 0, -1},
                 {0, {"start"}, 1, 1},
                 {7, {"files", "$INSTDIR\\data", "1"}, 3, 2},
                 {11, {"more", std::string("\x7F\x80\x83", 3), "game.kzp", "2"}, 4, 3},
                 {9, {"HKLM", "Software\\Demo", "Path", "$INSTDIR"}, 4, 4}};
  return lines;
}

std::vector<TTextEntry> AsciiEntries() {
  return {{"SetupInfo", 0, testing::FilledSetupInfo().Serialize()},
          {"CompiledLines", 0, AsciiLines().Serialize()},
          {"LANGUAGE-English", 0, "language"},
          {"data\\readme.txt", 1, "readme"},
          {"game.kzp", 2, "archive"}};
}

TEST(PakTexts, AnAsciiSetupIsTheFirstVersionByteForByte) {
  const std::string path = WritePlainPackage("ascii.exe", AsciiEntries());
  const TBytes bytes = ReadFile(path);
  EXPECT_EQ(Sha256Of(bytes), "a85a3ccc3b66245073c125fa4964700309b8de88c67cb570ce1ff02a27bbf9f9");
  TPak pak(path, pmRead);
  EXPECT_EQ(pak.Trailer().Version, kPakVersion1);
}

}  // namespace
}  // namespace setup
