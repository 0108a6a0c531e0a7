// Time of a KZP update ("kzpupdate") into a large archive, and how it grows with the group.
//
//   kzp_bench WORK_DIR [ROUNDS]
//
// Makes, when missing, WORK_DIR/kzp_base.kzp: a 200 MB archive of 2,000 entries of 100 KB
// (payload bytes that do not compress, as game data mostly does not), and WORK_DIR/kzp_bench.pak:
// a setup package with three groups of 500, 1,000 and 2,000 entries of 40 KB of text-like
// content each, level-9 compressed. Half of each group's names replace archive entries, half
// are new.
//
// For each group, ROUNDS times (default 3): the base archive is copied to WORK_DIR/game.kzp
// (not timed), then
//   first   UpdateFromPackage of the group: every payload appended (the package's own zlib
//           streams, scrambled), replaced records moved to the end, directory written;
//   repeat  the same update again: every entry found unchanged by size and CRC-32, nothing
//           appended, the directory written again.
// The medians are printed with entries per second, MB/s of entry content, and the time
// relative to the 500-entry group. The archive's payload bytes are never read except by the
// unchanged test, so the archive's size matters only through its directory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archives/kzp_format.h"
#include "core/error.h"
#include "core/pak.h"
#include "core/setup_state.h"
#include "engine/kzp_update.h"

namespace {

using namespace setup;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kArchiveEntries = 2000;
constexpr size_t kArchivePayloadBytes = 100 * 1000;
constexpr size_t kEntryBytes = 40 * 1000;
constexpr int kGroupSizes[] = {500, 1000, 2000};

uint32_t g_random = 12345;
uint32_t NextRandom() {
  g_random ^= g_random << 13;
  g_random ^= g_random >> 17;
  g_random ^= g_random << 5;
  return g_random;
}

// Text-like bytes that deflate about 3:1 and differ from entry to entry.
TBytes EntryContent(size_t n) {
  static const char* const kWords[] = {"unit", "spawn", "texture", "level", "0.25", "script", "door", "true",
                                       "model", "sound", "=", "\r\n", "{", "}", "42", "health"};
  TBytes out;
  out.reserve(n + 16);
  while (out.size() < n) {
    const uint32_t r = NextRandom();
    const char* word = kWords[r % 16];
    out.insert(out.end(), word, word + std::char_traits<char>::length(word));
    out.push_back(static_cast<uint8_t>(r % 7 == 0 ? '\t' : ' '));
    if (r % 5 == 0) out.push_back(static_cast<uint8_t>('a' + (r >> 8) % 26));
  }
  out.resize(n);
  return out;
}

std::string ArchiveName(int i) {
  char name[64];
  std::snprintf(name, sizeof name, "data\\file%05d.txt", i);
  return name;
}

void MakeBaseArchive(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw ESetupError("cannot write " + path);
  std::vector<TKzpRecord> records;
  TBytes payload(kArchivePayloadBytes);
  uint32_t offset = 0;
  for (int i = 0; i < kArchiveEntries; ++i) {
    for (auto& b : payload) b = static_cast<uint8_t>(NextRandom());
    TKzpRecord r;
    r.Method = kKzpMethodZlib;
    r.FileDate = KzpDosDate(2003, 6, 1);
    r.StoredSize = static_cast<uint32_t>(payload.size());
    r.ContentSize = static_cast<uint32_t>(payload.size());
    r.Offset = offset;
    r.Name = ArchiveName(i);
    records.push_back(r);
    std::fwrite(payload.data(), 1, payload.size(), f);
    offset += static_cast<uint32_t>(payload.size());
  }
  const TBytes ending = EncodeKzpDirectoryAndFooter(records);
  const TBytes trailer = EncodeKzpTrailer("", 0, 1, 2);
  std::fwrite(ending.data(), 1, ending.size(), f);
  std::fwrite(trailer.data(), 1, trailer.size(), f);
  if (std::fclose(f) != 0) throw ESetupError("cannot write " + path);
}

void MakePackage(const std::string& path) {
  TPak pak(path + ".part", pmCreate);
  if (!pak.IsOpen()) throw ESetupError("cannot write " + path);
  for (int g = 0; g < 3; ++g) {
    for (int i = 0; i < kGroupSizes[g]; ++i) {
      char fresh[64];
      std::snprintf(fresh, sizeof fresh, "new\\g%d\\file%05d.txt", g + 1, i);
      const std::string name = i % 2 == 0 ? ArchiveName(i) : std::string(fresh);
      const TBytes content = EntryContent(kEntryBytes);
      const int index = pak.AddEntry(name, "", static_cast<uint16_t>(g + 1));
      if (!pak.StoreFromMemory(index, content.data(), static_cast<uint32_t>(content.size()))) {
        throw ESetupError("cannot write " + path);
      }
    }
  }
  if (!pak.WriteDirectory()) throw ESetupError("cannot write " + path);
  pak.Close();
  fs::rename(path + ".part", path);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: kzp_bench WORK_DIR [ROUNDS]\n");
    return 2;
  }
  const fs::path work = argv[1];
  const int rounds = argc == 3 ? std::max(1, std::atoi(argv[2])) : 3;
  try {
    fs::create_directories(work);
    const std::string base = (work / "kzp_base.kzp").string();
    const std::string package = (work / "kzp_bench.pak").string();
    if (!fs::exists(base)) {
      std::printf("kzp_bench: making %s\n", base.c_str());
      MakeBaseArchive(base);
    }
    if (!fs::exists(package)) {
      std::printf("kzp_bench: making %s (level-9 deflate, takes a while)\n", package.c_str());
      MakePackage(package);
    }
    Globals().SetupInfo.InstallDir = work.string();
    Globals().Package = std::make_unique<TPak>(package, pmRead);
    TPakSystem& kzp = PakSystem();
    const std::string archive = (work / "game.kzp").string();

    std::printf("archive: %d entries, %.1f MB; %d rounds, medians\n", kArchiveEntries,
                static_cast<double>(fs::file_size(base)) / 1e6, rounds);
    std::printf("%8s %10s %12s %10s %10s %12s %10s\n", "entries", "first s", "entries/s", "MB/s", "repeat s",
                "entries/s", "vs 500");
    double first_500 = 0;
    for (int g = 0; g < 3; ++g) {
      std::vector<double> first, repeat;
      for (int r = 0; r < rounds; ++r) {
        fs::copy_file(base, archive, fs::copy_options::overwrite_existing);
        auto t0 = Clock::now();
        kzp.UpdateFromPackage(static_cast<uint16_t>(g + 1), "game.kzp", "");
        auto t1 = Clock::now();
        kzp.UpdateFromPackage(static_cast<uint16_t>(g + 1), "game.kzp", "");
        auto t2 = Clock::now();
        first.push_back(Seconds(t1 - t0));
        repeat.push_back(Seconds(t2 - t1));
      }
      const double f = Median(first), p = Median(repeat);
      if (g == 0) first_500 = f;
      const int n = kGroupSizes[g];
      std::printf("%8d %10.3f %12.0f %10.1f %10.3f %12.0f %9.2fx\n", n, f, n / f,
                  static_cast<double>(n) * kEntryBytes / 1e6 / f, p, n / p, f / first_500);
    }
    fs::remove(archive);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kzp_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
