// kzptool: lists, verifies and extracts KZP game archives.
//
//   kzptool list ARCHIVE            the trailer, the footer and one line per directory record
//   kzptool verify ARCHIVE          decodes every payload; exit code 1 when any fails
//   kzptool extract ARCHIVE [DIR]   writes every entry's content below DIR (default ".")
//   kzptool create ARCHIVE          writes a new, empty archive (no entries, no password, the
//                                   current trailer form); an existing file is left alone
//   kzptool recover ARCHIVE         undoes an interrupted update from the journal beside it
//
// The tool reads every form the setup runtime reads (no trailer, the old "KZP2" form, "EIH1"
// and "EIH2") with the same reader, and decodes both payload methods: scrambled zlib streams
// and sound (PCM, or IMA ADPCM decoded back to 16-bit PCM). A damaged archive is reported with
// the offsets and sizes the reader found wrong, never read past its end.
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archives/archive_file.h"
#include "archives/kzp_format.h"
#include "archives/rollback_journal.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/seeded_cipher.h"
#include "core/text.h"

namespace {

using namespace setup;

int Usage() {
  std::fprintf(stderr,
               "usage: kzptool list ARCHIVE\n"
               "       kzptool verify ARCHIVE\n"
               "       kzptool extract ARCHIVE [DIR]\n"
               "       kzptool create ARCHIVE\n"
               "       kzptool recover ARCHIVE\n");
  return 2;
}

const char* FormName(TKzpTrailerForm form) {
  switch (form) {
    case TKzpTrailerForm::None: return "none";
    case TKzpTrailerForm::Old: return "KZP2 (old form)";
    case TKzpTrailerForm::Eih1: return "KZP3 EIH1";
    case TKzpTrailerForm::Eih2: return "KZP3 EIH2";
    case TKzpTrailerForm::Unknown: return "KZP3 without a known section";
  }
  return "?";
}

std::string DateText(uint32_t dos) {
  const uint32_t date = dos >> 16;
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", 1980 + (date >> 9), (date >> 5) & 15, date & 31);
  return text;
}

struct TArchive {
  std::unique_ptr<TArchiveFile> File;
  TKzpIndex Index;
};

bool OpenArchive(const std::string& path, TArchive& archive) {
  archive.File = NativeArchiveFileSystem().OpenForReading(path);
  if (!archive.File) {
    std::fprintf(stderr, "kzptool: cannot open %s\n", path.c_str());
    return false;
  }
  std::string error;
  if (!ReadKzpIndex(*archive.File, archive.Index, error)) {
    std::fprintf(stderr, "kzptool: %s has a corrupted header: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

// The content of record i; false with the reason on stderr.
bool Content(TArchive& archive, size_t i, TBytes& content) {
  const TKzpRecord& r = archive.Index.Records[i];
  // Payloads lie in the data region, before the directory.
  if (static_cast<uint64_t>(r.Offset) + r.StoredSize > archive.Index.DirectoryStart) {
    std::fprintf(stderr, "entry %zu (%s): payload of %u bytes at offset %u runs past the data region ending at %llu\n",
                 i, r.Name.c_str(), r.StoredSize, r.Offset,
                 static_cast<unsigned long long>(archive.Index.DirectoryStart));
    return false;
  }
  TBytes payload(r.StoredSize);
  if (archive.File->ReadAt(r.Offset, payload.data(), payload.size()) != payload.size()) {
    std::fprintf(stderr, "entry %zu (%s): cannot read %u bytes at offset %u\n", i, r.Name.c_str(), r.StoredSize,
                 r.Offset);
    return false;
  }
  std::string error;
  if (!DecodeKzpPayload(r, payload, content, error)) {
    std::fprintf(stderr, "entry %zu (%s): %s\n", i, r.Name.c_str(), error.c_str());
    return false;
  }
  return true;
}

int List(const std::string& path) {
  TArchive archive;
  if (!OpenArchive(path, archive)) return 1;
  const TKzpIndex& index = archive.Index;
  const TKzpTrailer& t = index.Trailer;
  std::printf("trailer   %s, %u bytes", FormName(t.Form), t.Length);
  if (t.Form == TKzpTrailerForm::Eih1 || t.Form == TKzpTrailerForm::Eih2) {
    std::printf(", version %u, seeds %u %u", t.Version, t.SeedA, t.SeedB);
  }
  std::printf("\n");
  if (t.Form == TKzpTrailerForm::Old || t.Form == TKzpTrailerForm::Eih1 || t.Form == TKzpTrailerForm::Eih2) {
    std::printf("password  %s\n", t.Password.empty() ? "(none)" : t.Password.c_str());
  }
  std::printf("official  %u\n", t.Official);
  std::printf("directory %u entries, %u bytes compressed at offset %llu\n", index.Footer.Count,
              index.Footer.CompressedSize, static_cast<unsigned long long>(index.DirectoryStart));
  std::printf("%5s %6s %10s %10s %10s %10s  %s\n", "index", "method", "date", "stored", "content", "offset", "name");
  for (size_t i = 0; i < index.Records.size(); ++i) {
    const TKzpRecord& r = index.Records[i];
    const char* method = r.Method == kKzpMethodZlib ? "zlib" : r.Method == kKzpMethodWav ? "wav" : "?";
    std::printf("%5zu %6s %10s %10u %10u %10u  %s\n", i, method, DateText(r.FileDate).c_str(), r.StoredSize,
                r.ContentSize, r.Offset, r.Name.c_str());
  }
  return 0;
}

int Verify(const std::string& path) {
  TArchive archive;
  if (!OpenArchive(path, archive)) return 1;
  int bad = 0;
  for (size_t i = 0; i < archive.Index.Records.size(); ++i) {
    TBytes content;
    if (!Content(archive, i, content)) {
      std::printf("FAILED %zu %s\n", i, archive.Index.Records[i].Name.c_str());
      ++bad;
    }
  }
  std::printf("%zu entries, %d failed\n", archive.Index.Records.size(), bad);
  return bad ? 1 : 0;
}

int Extract(const std::string& path, const std::string& out_dir) {
  TArchive archive;
  if (!OpenArchive(path, archive)) return 1;
  int bad = 0;
  for (size_t i = 0; i < archive.Index.Records.size(); ++i) {
    const TKzpRecord& r = archive.Index.Records[i];
    const auto parts = SafeRelativeParts(r.Name);
    if (!parts) {
      std::fprintf(stderr, "kzptool: skipping unsafe name \"%s\"\n", r.Name.c_str());
      ++bad;
      continue;
    }
    TBytes content;
    if (!Content(archive, i, content)) {
      ++bad;
      continue;
    }
    std::filesystem::path target = out_dir;
    for (const std::string& part : *parts) target /= part;
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    if (!WriteWholeFile(target.string(), content.data(), content.size())) {
      std::fprintf(stderr, "kzptool: cannot write %s\n", target.string().c_str());
      ++bad;
    }
  }
  return bad ? 1 : 0;
}

// The bytes of an archive without entries: an empty directory stream, its footer and a
// new-form trailer with no password and the official flag off, under seeds whose cipher keys
// both hold digits (as the runtime's own trailers have).
TBytes EmptyArchive() {
  std::random_device device;
  std::mt19937 random(device());
  for (int attempt = 0; attempt < 65536; ++attempt) {
    TMerinEncryptionType cipher;
    cipher.FirstSeed = static_cast<uint8_t>(random() & 0xFF);
    cipher.SecondSeed = static_cast<uint8_t>(random() & 0xFF);
    if (cipher.SeedKey(true).empty() || cipher.SeedKey(false).empty()) continue;
    TBytes out = EncodeKzpDirectoryAndFooter({});
    const TBytes trailer = EncodeKzpTrailer("", 0, cipher.FirstSeed, cipher.SecondSeed);
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
  }
  throw ESetupError("no cipher seeds with digits in both keys");
}

int Create(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    std::fprintf(stderr, "kzptool: %s exists already\n", path.c_str());
    return 1;
  }
  const TBytes bytes = EmptyArchive();
  // The bytes must read back as an empty archive of the new form before they are written.
  TMemoryArchiveFile memory(std::make_shared<TBytes>(bytes));
  TKzpIndex index;
  std::string error;
  if (!ReadKzpIndex(memory, index, error) || index.Trailer.Form != TKzpTrailerForm::Eih2 ||
      !index.Trailer.Password.empty() || index.Trailer.Official != 0 || !index.Records.empty()) {
    std::fprintf(stderr, "kzptool: the empty archive does not read back: %s\n", error.c_str());
    return 1;
  }
  if (!WriteWholeFile(path, bytes.data(), bytes.size())) {
    std::fprintf(stderr, "kzptool: cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("created %s, %zu bytes\n", path.c_str(), bytes.size());
  return 0;
}

// Undoes an interrupted update and says what was done; 1 when the archive could not be restored.
int Recover(const std::string& path) {
  const TRecovery recovery = RecoverArchive(NativeArchiveFileSystem(), path);
  const bool failed = recovery.Result == TRecoveryResult::Failed;
  std::fprintf(failed ? stderr : stdout, "%s\n", recovery.Message.c_str());
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  if (command == "list" || command == "verify" || command == "extract") {
    const std::string warning = JournalWarning(NativeArchiveFileSystem(), argv[2], "kzptool");
    if (!warning.empty()) std::fprintf(stderr, "kzptool: %s\n", warning.c_str());
  }
  try {
    if (command == "recover" && argc == 3) return Recover(argv[2]);
    if (command == "list" && argc == 3) return List(argv[2]);
    if (command == "verify" && argc == 3) return Verify(argv[2]);
    if (command == "create" && argc == 3) return Create(argv[2]);
    if (command == "extract" && (argc == 3 || argc == 4)) return Extract(argv[2], argc == 4 ? argv[3] : ".");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kzptool: %s\n", e.what());
    return 1;
  }
  return Usage();
}
