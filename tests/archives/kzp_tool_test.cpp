// kzptool against archives written by the project's writers: listing, verifying, extracting,
// and a clear error for a damaged archive.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "archives/kzp_archive.h"
#include "archives/kzp_format.h"
#include "archives/kzp_wav.h"
#include "core/byte_order.h"
#include "kzp_fixtures.h"

namespace setup {
namespace {

using namespace setup::testing;

struct TRun {
  int ExitCode = -1;
  std::string Output;  // stdout and stderr
};

TRun RunTool(const std::string& arguments) {
  TRun run;
  const std::string command = std::string(KZPTOOL_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.Output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// An archive with a text entry, an empty one and two sound payloads, under a password.
std::string SampleArchive(const std::string& file) {
  std::vector<TKzpRecord> records;
  TBytes bytes = ArchiveBody({{"Data\\Text.txt", TextBytes(9000)}, {"empty.txt", {}}}, &records);
  // Rebuild with sound payloads appended to the data region.
  const TKzpIndex index = IndexOf(bytes);
  bytes.resize(index.DirectoryStart);
  for (const std::string name : {"Music\\Theme.wav", "Sound\\Effects\\Hit.wav"}) {
    std::vector<int16_t> samples(3000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i * 37) % 2000 - 1000);
    const TBytes wav = WavFile(1, 16, 22050, Samples(samples));
    TBytes payload;
    EXPECT_TRUE(BuildKzpWavPayload(name, wav.data(), wav.size(), payload));
    TKzpRecord r;
    r.Method = kKzpMethodWav;
    r.StoredSize = static_cast<uint32_t>(payload.size());
    r.ContentSize = static_cast<uint32_t>(wav.size());
    r.Offset = static_cast<uint32_t>(bytes.size());
    r.Name = name;
    records.push_back(r);
    bytes = Concat(bytes, payload);
  }
  const TBytes directory = EncodeKzpDirectory(records);
  const TKzpFooter footer{static_cast<uint32_t>(directory.size()), static_cast<uint32_t>(records.size() * 152), 5,
                          static_cast<uint32_t>(records.size()), 0};
  bytes = Concat(Concat(Concat(bytes, directory), EncodeKzpFooter(footer)), EncodeKzpTrailer("hidden", 1, 40, 41));
  const std::string path = ScratchPath(file);
  WriteFile(path, bytes);
  return path;
}

TEST(KzpTool, ListsVerifiesAndExtracts) {
  const std::string path = SampleArchive("tool.kzp");
  const TRun list = RunTool("list " + Quoted(path));
  EXPECT_EQ(list.ExitCode, 0) << list.Output;
  EXPECT_NE(list.Output.find("KZP3 EIH2"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("password  hidden"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("official  1"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("Data\\Text.txt"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("2001-02-03"), std::string::npos) << list.Output;

  const TRun verify = RunTool("verify " + Quoted(path));
  EXPECT_EQ(verify.ExitCode, 0) << verify.Output;
  EXPECT_NE(verify.Output.find("4 entries, 0 failed"), std::string::npos) << verify.Output;

  const std::string out = ScratchPath("tool_out");
  const TRun extract = RunTool("extract " + Quoted(path) + " " + Quoted(out));
  EXPECT_EQ(extract.ExitCode, 0) << extract.Output;
  EXPECT_EQ(ReadFile(out + "/Data/Text.txt"), TextBytes(9000));
  EXPECT_TRUE(std::filesystem::exists(out + "/empty.txt"));
  const TBytes hit = ReadFile(out + "/Sound/Effects/Hit.wav");
  ASSERT_EQ(hit.size(), 44u + 6000u);
  EXPECT_EQ(LoadLE16(&hit[44 + 2 * 10]), static_cast<uint16_t>((10 * 37) % 2000 - 1000));
  EXPECT_EQ(ReadFile(out + "/Music/Theme.wav").size(), 44u + 6000u);  // decoded from ADPCM
}

TEST(KzpTool, ReadsEveryTrailerForm) {
  const TBytes body = ArchiveBody({{"a.txt", TextBytes(10)}});
  for (const TBytes& trailer : {TBytes{}, OldTrailer("abc123xyz"), Eih1Trailer("pw", 2, 3)}) {
    const std::string path = ScratchPath("form.kzp");
    WriteFile(path, Concat(body, trailer));
    const TRun verify = RunTool("verify " + Quoted(path));
    EXPECT_EQ(verify.ExitCode, 0) << verify.Output;
  }
}

TEST(KzpTool, DamagedArchivesGiveAClearError) {
  TBytes bytes = ArchiveBody({{"a.txt", TextBytes(10)}});
  StoreLE32(&bytes[bytes.size() - 12], 7);  // format version
  const std::string path = ScratchPath("damaged.kzp");
  WriteFile(path, bytes);
  for (const std::string command : {"list", "verify", "extract"}) {
    const std::string out = command == "extract" ? " " + Quoted(ScratchPath("damaged_out")) : "";
    const TRun run = RunTool(command + " " + Quoted(path) + out);
    EXPECT_EQ(run.ExitCode, 1) << command << ": " << run.Output;
    EXPECT_NE(run.Output.find("has a corrupted header: format version 7, 5 expected"), std::string::npos)
        << command << ": " << run.Output;
  }

  // A payload damaged inside a sound directory entry: verify names the entry.
  const std::string sample = SampleArchive("damaged_payload.kzp");
  TBytes archive = ReadFile(sample);
  archive[3] ^= 0xFF;  // inside the first entry's zlib stream
  WriteFile(sample, archive);
  const TRun verify = RunTool("verify " + Quoted(sample));
  EXPECT_EQ(verify.ExitCode, 1) << verify.Output;
  EXPECT_NE(verify.Output.find("FAILED 0 Data\\Text.txt"), std::string::npos) << verify.Output;
  EXPECT_NE(verify.Output.find("1 failed"), std::string::npos) << verify.Output;

  EXPECT_EQ(RunTool("list " + Quoted(ScratchPath("no_such.kzp"))).ExitCode, 1);
  EXPECT_EQ(RunTool("frobnicate x").ExitCode, 2);
}

TEST(KzpTool, ExtractKeepsNamesInsideTheOutputFolder) {
  const std::string path = ScratchPath("unsafe.kzp");
  WriteFile(path, ArchiveBody({{"..\\evil.txt", TextBytes(5)}, {"C:\\abs.txt", TextBytes(5)}, {"ok\\fine.txt", TextBytes(5)}}));
  const std::string out = ScratchPath("unsafe_out");
  const TRun run = RunTool("extract " + Quoted(path) + " " + Quoted(out));
  EXPECT_EQ(run.ExitCode, 1) << run.Output;
  EXPECT_NE(run.Output.find("unsafe name \"..\\evil.txt\""), std::string::npos) << run.Output;
  EXPECT_FALSE(std::filesystem::exists(ScratchPath("evil.txt")));
  EXPECT_EQ(ReadFile(out + "/ok/fine.txt"), TextBytes(5));
}

TEST(KzpTool, ExtractThatCannotWriteSaysSoAndFails) {
  const std::string path = ScratchPath("full_disk.kzp");
  WriteFile(path, ArchiveBody({{"Data\\small.txt", TextBytes(100)}, {"other.txt", TextBytes(100)}}));
  const std::string out = ScratchPath("full_disk_out");
  std::filesystem::create_directories(out + "/Data");
  // The disk is full under an entry small enough to wait in a write buffer until the end.
  std::filesystem::create_symlink("/dev/full", out + "/Data/small.txt");
  const TRun run = RunTool("extract " + Quoted(path) + " " + Quoted(out));
  EXPECT_EQ(run.ExitCode, 1) << run.Output;
  EXPECT_NE(run.Output.find("cannot write " + out + "/Data/small.txt"), std::string::npos) << run.Output;
  EXPECT_EQ(ReadFile(out + "/other.txt"), TextBytes(100));
}

TEST(KzpTool, CreateWritesAnEmptyArchiveTheRuntimeUpdates) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(ScratchFolder()) / "created_game";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string path = (folder / "game.kzp").string();

  const TRun create = RunTool("create " + Quoted(path));
  ASSERT_EQ(create.ExitCode, 0) << create.Output;
  const TBytes empty = ReadFile(path);
  const TKzpIndex index = IndexOf(empty);
  EXPECT_EQ(index.Trailer.Form, TKzpTrailerForm::Eih2);
  EXPECT_EQ(index.Trailer.Length, empty.size() - index.DirectoryStart - index.Footer.CompressedSize - kKzpFooterSize);
  EXPECT_EQ(index.Trailer.Password, "");
  EXPECT_EQ(index.Trailer.Official, 0);
  EXPECT_EQ(index.DirectoryStart, 0u);
  EXPECT_EQ(index.Footer.Count, 0u);
  EXPECT_TRUE(index.Records.empty());

  const TRun list = RunTool("list " + Quoted(path));
  EXPECT_EQ(list.ExitCode, 0) << list.Output;
  EXPECT_NE(list.Output.find("KZP3 EIH2"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("password  (none)"), std::string::npos) << list.Output;
  EXPECT_NE(list.Output.find("directory 0 entries"), std::string::npos) << list.Output;
  const TRun verify = RunTool("verify " + Quoted(path));
  EXPECT_EQ(verify.ExitCode, 0) << verify.Output;
  EXPECT_NE(verify.Output.find("0 entries, 0 failed"), std::string::npos) << verify.Output;

  // An existing file is never overwritten.
  WriteFile(path + ".other", TextBytes(7));
  EXPECT_EQ(RunTool("create " + Quoted(path + ".other")).ExitCode, 1);
  EXPECT_EQ(ReadFile(path + ".other"), TextBytes(7));
  EXPECT_EQ(RunTool("create " + Quoted(path)).ExitCode, 1);
  EXPECT_EQ(ReadFile(path), empty);

  // The archive code opens the new archive, takes a password and stores entries in it; a
  // second name shares a payload.
  {
    TKzpArchive archive;
    archive.SeedRandom(3);
    ASSERT_EQ(archive.Open(NativeArchiveFileSystem(), path), TKzpOpenResult::Opened) << archive.ErrorText();
    EXPECT_FALSE(archive.HasPassword);
    archive.Password = "pw";
    archive.CutAtDirectory();
    ASSERT_TRUE(archive.AddPayload("Data\\a.txt", kKzpMethodZlib, 5000, ZlibPayloadOf(TextBytes(5000))));
    ASSERT_TRUE(archive.AddPayload("b.bin", kKzpMethodZlib, 300, ZlibPayloadOf(NoiseBytes(300))));
    TKzpRecord copy = *archive.Directory().Find("DATA\\A.TXT");
    copy.Name = "copy.txt";
    archive.Directory().Append(copy);
    ASSERT_TRUE(archive.WriteDirectoryAndClose());
  }

  const TKzpIndex updated = IndexOf(ReadFile(path));
  EXPECT_EQ(updated.Trailer.Form, TKzpTrailerForm::Eih2);
  EXPECT_EQ(updated.Trailer.Password, "pw");
  ASSERT_EQ(updated.Records.size(), 3u);
  EXPECT_EQ(updated.Records[0].Name, "Data\\a.txt");
  EXPECT_EQ(updated.Records[1].Name, "b.bin");
  EXPECT_EQ(updated.Records[2].Name, "copy.txt");
  EXPECT_EQ(updated.Records[2].Offset, updated.Records[0].Offset);
  EXPECT_EQ(RunTool("verify " + Quoted(path)).ExitCode, 0);
  const std::string out = (folder / "out").string();
  const TRun extract = RunTool("extract " + Quoted(path) + " " + Quoted(out));
  EXPECT_EQ(extract.ExitCode, 0) << extract.Output;
  EXPECT_EQ(ReadFile(out + "/Data/a.txt"), TextBytes(5000));
  EXPECT_EQ(ReadFile(out + "/b.bin"), NoiseBytes(300));
  EXPECT_EQ(ReadFile(out + "/copy.txt"), TextBytes(5000));

  // An update stopped after its cut leaves a journal: the tools warn of it and "recover" gives
  // the archive back as it was.
  const TBytes before = ReadFile(path);
  {
    TKzpArchive archive;
    ASSERT_EQ(archive.Open(NativeArchiveFileSystem(), path), TKzpOpenResult::Opened);
    archive.CutAtDirectory();
    archive.Close();
  }
  ASSERT_NE(ReadFile(path), before);
  const TRun cut_list = RunTool("list " + Quoted(path));
  EXPECT_NE(cut_list.ExitCode, 0);  // the cut archive has no ending
  EXPECT_NE(cut_list.Output.find("has the journal of an interrupted update"), std::string::npos) << cut_list.Output;
  const TRun recover = RunTool("recover " + Quoted(path));
  EXPECT_EQ(recover.ExitCode, 0) << recover.Output;
  EXPECT_NE(recover.Output.find("Undid an interrupted update"), std::string::npos) << recover.Output;
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_NE(RunTool("recover " + Quoted(path)).Output.find("no interrupted update"), std::string::npos);
}

}  // namespace
}  // namespace setup
