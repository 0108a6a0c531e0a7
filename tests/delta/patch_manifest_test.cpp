// The patch manifest: written and read back, and every damaged or unsafe form refused.
#include <gtest/gtest.h>

#include "delta/patch_manifest.h"
#include "delta_fixtures.h"

namespace setup::testing {
namespace {

using delta::TPatchAction;
using delta::TPatchItem;
using delta::TPatchManifest;

TPatchManifest Sample() {
  TPatchManifest manifest;
  manifest.Items = {
      {TPatchAction::Add, "data\\levels\\новый.pak", {}, IdentityOf(TextBytes(10))},
      {TPatchAction::Replace, "game.exe", IdentityOf(NoiseBytes(100)), IdentityOf(NoiseBytes(120))},
      {TPatchAction::Difference,
       "data\\assets.pak",
       {uint64_t{5} << 32, DigestOf(NoiseBytes(7))},
       {(uint64_t{5} << 32) + 9, DigestOf(NoiseBytes(8))}},
      {TPatchAction::Remove, "ゲーム\\old..name.txt", IdentityOf(TextBytes(3)), {}},
  };
  return manifest;
}

bool Read(const std::string& bytes, TPatchManifest& manifest, std::string* error = nullptr) {
  return delta::ReadPatchManifest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), manifest, error);
}

void ExpectSame(const TPatchManifest& a, const TPatchManifest& b) {
  ASSERT_EQ(a.Items.size(), b.Items.size());
  for (size_t i = 0; i < a.Items.size(); ++i) {
    EXPECT_EQ(a.Items[i].Action, b.Items[i].Action);
    EXPECT_EQ(a.Items[i].Name, b.Items[i].Name);
    EXPECT_EQ(a.Items[i].Old, b.Items[i].Old);
    EXPECT_EQ(a.Items[i].New, b.Items[i].New);
  }
}

TEST(PatchManifestTest, RoundTripOfEveryAction) {
  EXPECT_EQ(delta::PatchManifestName(7), "PATCH-7");
  const std::string bytes = delta::WritePatchManifest(Sample());
  EXPECT_EQ(bytes.substr(0, 4), "KZPM");
  TPatchManifest read;
  std::string error;
  ASSERT_TRUE(Read(bytes, read, &error)) << error;
  ExpectSame(read, Sample());

  TPatchManifest empty;
  ASSERT_TRUE(Read(delta::WritePatchManifest({}), empty));
  EXPECT_TRUE(empty.Items.empty());
}

TEST(PatchManifestTest, IdentitiesAnActionHasNotAreWrittenAsZeros) {
  TPatchManifest manifest;
  manifest.Items = {{TPatchAction::Add, "a", IdentityOf(TextBytes(4)), IdentityOf(TextBytes(5))},
                    {TPatchAction::Remove, "b", IdentityOf(TextBytes(4)), IdentityOf(TextBytes(5))}};
  TPatchManifest read;
  ASSERT_TRUE(Read(delta::WritePatchManifest(manifest), read));
  EXPECT_EQ(read.Items[0].Old, delta::TFileIdentity{});
  EXPECT_EQ(read.Items[0].New, IdentityOf(TextBytes(5)));
  EXPECT_EQ(read.Items[1].Old, IdentityOf(TextBytes(4)));
  EXPECT_EQ(read.Items[1].New, delta::TFileIdentity{});

  manifest.Items[0].Name.assign(65536, 'x');
  EXPECT_TRUE(delta::WritePatchManifest(manifest).empty());
}

TEST(PatchManifestTest, CutAndFlippedManifestsAreRefusedAndLeaveTheResultAlone) {
  const std::string bytes = delta::WritePatchManifest(Sample());
  TPatchManifest untouched = Sample();
  for (size_t length = 0; length < bytes.size(); ++length) {
    std::string error;
    ASSERT_FALSE(Read(bytes.substr(0, length), untouched, &error)) << length;
    ASSERT_FALSE(error.empty());
  }
  ASSERT_FALSE(Read(bytes + '\0', untouched));  // a byte after the last item
  ExpectSame(untouched, Sample());
  // Flipped bytes: whatever is read back is a manifest of safe names.
  for (size_t at = 0; at < bytes.size(); ++at) {
    std::string damaged = bytes;
    damaged[at] ^= 0x41;
    TPatchManifest read;
    if (Read(damaged, read)) {
      for (const TPatchItem& item : read.Items) {
        EXPECT_FALSE(item.Name.empty());
        EXPECT_EQ(("\\" + item.Name + "\\").find("\\..\\"), std::string::npos) << item.Name;
      }
    }
  }
}

TEST(PatchManifestTest, HeaderFieldsAndCountsAreChecked) {
  const std::string bytes = delta::WritePatchManifest(Sample());
  TPatchManifest read;
  for (const auto& [at, value] : std::vector<std::pair<size_t, char>>{
           {0, 'X'}, {4, 2}, {4, 0}, {5, 1}, {6, 1}, {7, 1}, {8, 5}, {8, 3}, {11, 0x10}}) {
    std::string damaged = bytes;
    damaged[at] = value;
    std::string error;
    EXPECT_FALSE(Read(damaged, read, &error)) << at;
    EXPECT_NE(error.find("patch manifest"), std::string::npos) << error;
  }
  // A count of four billion items in a few bytes is refused before anything is reserved.
  std::string huge = bytes.substr(0, 8) + std::string("\xFF\xFF\xFF\xFF", 4) + bytes.substr(12);
  EXPECT_FALSE(Read(huge, read));
  // Action 4 does not exist.
  std::string action = bytes;
  action[12] = 4;
  EXPECT_FALSE(Read(action, read));
}

TEST(PatchManifestTest, NamesOutsideThePatchFolderAreRefused) {
  for (const char* name : {"", "..", ".", "..\\game.exe", "data\\..\\..\\x", "data/../x", "data\\.\\x", "\\abs", "/abs",
                           "C:\\Windows\\x.dll", "C:x", "file.txt:stream", "data\\\\x", "data\\", "\\\\server\\x"}) {
    TPatchManifest manifest;
    manifest.Items = {{TPatchAction::Add, name, {}, IdentityOf(TextBytes(1))}};
    TPatchManifest read;
    std::string error;
    EXPECT_FALSE(Read(delta::WritePatchManifest(manifest), read, &error)) << name;
    EXPECT_FALSE(error.empty());
  }
  TPatchManifest zero;
  zero.Items = {{TPatchAction::Add, std::string("a\0b", 3), {}, IdentityOf(TextBytes(1))}};
  TPatchManifest read;
  EXPECT_FALSE(Read(delta::WritePatchManifest(zero), read));

  for (const char* name : {"a..b", "..hidden\\x", "data\\...", "x.", "Ελληνικά\\файл.dat"}) {
    TPatchManifest manifest;
    manifest.Items = {{TPatchAction::Add, name, {}, IdentityOf(TextBytes(1))}};
    EXPECT_TRUE(Read(delta::WritePatchManifest(manifest), read)) << name;
  }
}

TEST(PatchManifestTest, AnIdentityTheActionHasNotMustBeZero) {
  TPatchManifest manifest;
  manifest.Items = {{TPatchAction::Add, "a", {}, IdentityOf(TextBytes(1))}};
  std::string bytes = delta::WritePatchManifest(manifest);
  // The item: action, name length, name "a", old size at 16, old SHA-256 at 24.
  for (size_t at : {size_t{16}, size_t{24 + 31}}) {
    std::string damaged = bytes;
    damaged[at] = 1;
    TPatchManifest read;
    EXPECT_FALSE(Read(damaged, read)) << at;
  }
}

}  // namespace
}  // namespace setup::testing
