// paktool: lists, verifies and extracts setup packages, and builds small ones by hand.
//
//   paktool list PACKAGE
//   paktool verify PACKAGE
//   paktool extract PACKAGE DIR
//
// A setup with patch groups lists, after the entries, what each group's manifest does: which
// entries are differences and against which old file (size, the first hex digits of its SHA-256,
// the method), which are whole files (new or changed), and which files the patch removes.
//
// Names are printed and extracted in UTF-8, those of older packages (in the ANSI code page,
// here Windows-1252) converted.
//
// A setup whose payload lies in data files is given by its executable: the data files are
// found beside it as the setup finds them.
//   paktool build OUT [--stub FILE] ITEM...
//     --file NAME GROUP PATH          an entry packed from a file
//     --stored NAME GROUP PATH SIZE   PATH's bytes stored as the compressed form of SIZE bytes
//     --setupinfo KEY=VALUE,...       a "SetupInfo" entry (keys: name shortname exe uninstallexe
//                                     prefix installdir changelog pages uninstallpages mode
//                                     hasuninstaller regkey0..regkey4=ROOT|PATH|VALUENAME)
//     --line "CMD|PARAM|..."          a compiled line for the next --lines
//     --lines                         a "CompiledLines" entry of the --line items so far
//
// "build" exists for tests and experiments; setups are made by the builder.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/crc.h"
#include "core/error.h"
#include "core/file_stream.h"
#include "core/pak.h"
#include "core/setup_info.h"
#include "core/sha256.h"
#include "core/text.h"
#include "delta/difference.h"
#include "delta/patch_manifest.h"

namespace {

using namespace setup;

int Usage() {
  std::fprintf(stderr,
               "usage: paktool list|verify PACKAGE\n"
               "       paktool extract PACKAGE DIR\n"
               "       paktool build OUT [--stub FILE] [--file NAME GROUP PATH] [--stored NAME GROUP PATH SIZE]\n"
               "                         [--setupinfo KEY=VALUE,...] [--line \"CMD|PARAM|...\"] [--lines]\n");
  return 2;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1) {
    parts.push_back(text.substr(from, at - from));
  }
  parts.push_back(text.substr(from));
  return parts;
}

bool ReadWholeFile(const std::string& path, TBytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::unique_ptr<TPak> OpenPackage(const std::string& path) {
  auto pak = std::make_unique<TPak>(path, pmRead);
  if (!pak->IsOpen()) {
    std::fprintf(stderr, "paktool: cannot open %s\n", path.c_str());
    return nullptr;
  }
  if (!pak->Trailer().HasMagic() || !pak->DirectorySound()) {
    std::fprintf(stderr, "paktool: %s holds no readable package\n", path.c_str());
    return nullptr;
  }
  return pak;
}

// Finds the package's data files beside it; names each one that is missing or of another
// size. False when any is.
bool AttachAll(TPak& pak, const std::string& path) {
  bool all = true;
  const std::vector<TDataFileLookup> found = AttachDataFiles(pak, path);
  for (size_t i = 0; i < found.size(); ++i) {
    const uint64_t size = pak.DataFiles()[i].Size;
    if (found[i].Status == TDataFileStatus::Missing) {
      std::fprintf(stderr, "paktool: data file %zu missing: %s\n", i + 1, found[i].Path.c_str());
      all = false;
    } else if (found[i].Status == TDataFileStatus::WrongSize) {
      std::fprintf(stderr, "paktool: data file %zu has %lld bytes, not %llu: %s\n", i + 1,
                   static_cast<long long>(FileLength(found[i].Path)), static_cast<unsigned long long>(size),
                   found[i].Path.c_str());
      all = false;
    }
  }
  return all;
}

// Names an entry whose stream inflates to another length than its Size.
void ReportWrongLength(const TPak& pak) {
  const TExtractResult& result = pak.LastExtract();
  if (result.Status != kExtractWrongLength) return;
  const TPakEntry& e = pak.Directory()[static_cast<size_t>(result.Index)];
  std::fprintf(stderr, "paktool: entry %d (%s) inflates to %llu bytes, not its Size %llu\n", result.Index,
               e.Name.c_str(), static_cast<unsigned long long>(result.Inflated),
               static_cast<unsigned long long>(e.Size));
}

// The group a group-0 entry named "PATCH-N" is the manifest of, or 0.
uint16_t ManifestGroup(const TPakEntry& e) {
  if (e.Group != 0 || e.Name.rfind("PATCH-", 0) != 0) return 0;
  const std::string digits = e.Name.substr(6);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  const unsigned long group = std::stoul(digits);
  return group <= 0xFFFF && delta::PatchManifestName(static_cast<uint16_t>(group)) == e.Name
             ? static_cast<uint16_t>(group)
             : 0;
}

// The header at the start of a difference entry; false when it cannot be read.
bool ReadEntryDifferenceHeader(TPak& pak, int index, delta::TDifferenceHeader& header) {
  const TPakEntry& e = pak.Directory()[static_cast<size_t>(index)];
  TBytes start(delta::kDifferenceHeaderSize);
  if (e.PackedSize == 0) {
    if (pak.ReadStoredAt(index, 0, start.data(), start.size()) != start.size()) return false;
  } else {
    start.clear();
    pak.ExtractTo(index, [&](const uint8_t* data, size_t n) {
      const size_t take = std::min(n, delta::kDifferenceHeaderSize - start.size());
      start.insert(start.end(), data, data + take);
    });
  }
  return delta::ReadDifferenceHeader(start.data(), start.size(), header);
}

// What each patch group's manifest does. False when a manifest or a difference's header does
// not read, or a difference names another old file than its manifest item.
bool ListPatches(TPak& pak) {
  bool sound = true;
  for (size_t i = 0; i < pak.Directory().size(); ++i) {
    const uint16_t group = ManifestGroup(pak.Directory()[i]);
    if (group == 0) continue;
    const std::string name = pak.Directory()[i].Name;
    const TBytes bytes = pak.Extract(static_cast<int>(i));
    delta::TPatchManifest manifest;
    std::string error;
    if (!pak.LastExtract() || !delta::ReadPatchManifest(bytes.data(), bytes.size(), manifest, &error)) {
      std::printf("patch group %u (%s): the manifest does not read%s%s\n", group, name.c_str(),
                  error.empty() ? "" : ": ", error.c_str());
      sound = false;
      continue;
    }
    size_t counts[4] = {};
    for (const delta::TPatchItem& item : manifest.Items) ++counts[static_cast<size_t>(item.Action) % 4];
    std::printf("patch group %u (%s): %zu differences, %zu whole (%zu new, %zu changed), %zu removed\n", group,
                name.c_str(), counts[2], counts[0] + counts[1], counts[0], counts[1], counts[3]);
    for (const delta::TPatchItem& item : manifest.Items) {
      switch (item.Action) {
        case delta::TPatchAction::Add:
          std::printf("  whole       %s  new, %llu bytes\n", item.Name.c_str(),
                      static_cast<unsigned long long>(item.New.Size));
          break;
        case delta::TPatchAction::Replace:
          std::printf("  whole       %s  changed, %llu bytes (was %llu)\n", item.Name.c_str(),
                      static_cast<unsigned long long>(item.New.Size), static_cast<unsigned long long>(item.Old.Size));
          break;
        case delta::TPatchAction::Remove:
          std::printf("  remove      %s\n", item.Name.c_str());
          break;
        case delta::TPatchAction::Difference: {
          const int index = pak.IndexOfName(item.Name, group);
          delta::TDifferenceHeader header;
          if (index < 0 || !ReadEntryDifferenceHeader(pak, index, header)) {
            std::printf("  difference  %s  UNREADABLE: %s\n", item.Name.c_str(),
                        index < 0 ? "no entry of that name" : "no difference header");
            sound = false;
            break;
          }
          const TPakEntry& e = pak.Directory()[static_cast<size_t>(index)];
          const char* method = header.Method == delta::TDifferenceMethod::Reference ? "reference" : "chunks";
          std::printf("  difference  %s  %llu bytes, %s, against %llu bytes sha256 %.16s, gives %llu bytes\n",
                      item.Name.c_str(), static_cast<unsigned long long>(e.Size), method,
                      static_cast<unsigned long long>(header.Old.Size), Sha256Hex(header.Old.Sha256).c_str(),
                      static_cast<unsigned long long>(header.New.Size));
          if (!(header.Old == item.Old) || !(header.New == item.New)) {
            std::printf("  MISMATCH    %s: the difference names other files than the manifest\n", item.Name.c_str());
            sound = false;
          }
          break;
        }
      }
    }
  }
  return sound;
}

int List(const std::string& path) {
  auto pak = OpenPackage(path);
  if (!pak) return 1;
  const auto& dir = pak->Directory();
  const TPakTrailer& t = pak->Trailer();
  // Names are UTF-8 whatever the package holds: the reader converts those of older packages.
  std::printf("version %u, %zu entries, %zu data files%s\n", t.Version, dir.size(), pak->DataFiles().size(),
              pak->TextsUtf8() ? ", texts in UTF-8" : "");
  for (size_t i = 0; i < pak->DataFiles().size(); ++i) {
    const TPakDataFile& d = pak->DataFiles()[i];
    std::printf("data file %zu: %s, %llu bytes, sha256 %s\n", i + 1, DataFileName(pak->DataFileStem(), i + 1).c_str(),
                static_cast<unsigned long long>(d.Size), Sha256Hex(d.Sha256).c_str());
  }
  const std::vector<int> earlier = pak->EarlierSharing();
  std::printf("%5s %5s %12s %12s %8s %4s %12s %6s  %s\n", "index", "group", "size", "packed", "crc", "file", "offset",
              "shares", "name");
  for (size_t i = 0; i < dir.size(); ++i) {
    const TPakEntry& e = dir[i];
    const std::string shares = earlier[i] >= 0 ? std::to_string(earlier[i]) : "-";
    std::printf("%5zu %5u %12llu %12llu %08x %4u %12llu %6s  %s\n", i, e.Group, static_cast<unsigned long long>(e.Size),
                static_cast<unsigned long long>(e.PackedSize), e.Crc, e.DataFile,
                static_cast<unsigned long long>(e.Offset), shares.c_str(), e.Name.c_str());
  }
  return ListPatches(*pak) ? 0 : 1;
}

int Verify(const std::string& path) {
  auto pak = OpenPackage(path);
  if (!pak) return 1;
  int bad = AttachAll(*pak, path) ? 0 : 1;
  pak->TakeDataFileDigests();
  const auto& dir = pak->Directory();
  const std::vector<int> earlier = pak->EarlierSharing();
  for (size_t i = 0; i < dir.size(); ++i) {
    if (earlier[i] >= 0) continue;  // stored bytes that an earlier entry has proven
    bool sound = false;
    try {
      sound = dir[i].Size == 0 || pak->Verify(static_cast<int>(i));
    } catch (const ESetupError& e) {
      std::fprintf(stderr, "entry %zu (%s): %s\n", i, dir[i].Name.c_str(), e.what());
    }
    if (!sound) {
      ReportWrongLength(*pak);
      for (int k : pak->SharingEntries(static_cast<int>(i))) {
        std::printf("FAILED %d %s\n", k, dir[static_cast<size_t>(k)].Name.c_str());
        ++bad;
      }
    }
  }
  for (uint32_t n = 1; n <= pak->DataFiles().size(); ++n) {
    if (pak->DataFiles()[n - 1].Path.empty()) continue;  // named above
    if (!pak->DataFileDigestMatches(n)) {
      std::printf("FAILED data file %u %s: its SHA-256 differs\n", n, pak->DataFiles()[n - 1].Path.c_str());
      ++bad;
    }
  }
  std::printf("%zu entries, %zu data files, %d failed\n", dir.size(), pak->DataFiles().size(), bad);
  return bad ? 1 : 0;
}

enum class TExtracted { Ok, Unreadable, Unwritable };

// Writes entry index to target piece by piece, whatever its size.
TExtracted ExtractEntry(TPak& pak, int index, const std::string& target) {
  auto out = TFileStream::Open(target, TFileMode::Create);
  if (!out) return TExtracted::Unwritable;
  const TPakEntry& e = pak.Directory()[static_cast<size_t>(index)];
  bool written = true;
  if (e.Size >= kLargeEntryLimit && e.PackedSize == 0) {
    TBytes piece(kPieceSize);
    uint32_t crc = 0;
    for (uint64_t done = 0; done < e.Size;) {
      const size_t n = pak.ReadStoredAt(index, done, piece.data(), piece.size());
      if (n == 0) return TExtracted::Unreadable;
      crc = Crc32(piece.data(), n, crc);
      written = written && out->Write(piece.data(), n) == n;
      done += n;
    }
    if (e.Crc != 0 && crc != e.Crc) return TExtracted::Unreadable;
  } else if (e.Size > 0 &&
             !pak.ExtractTo(index, [&](const uint8_t* data, size_t n) { written = written && out->Write(data, n) == n; })) {
    ReportWrongLength(pak);
    return TExtracted::Unreadable;
  }
  return out->Flush() && written ? TExtracted::Ok : TExtracted::Unwritable;
}

int Extract(const std::string& path, const std::string& out_dir) {
  auto pak = OpenPackage(path);
  if (!pak) return 1;
  int bad = AttachAll(*pak, path) ? 0 : 1;
  const auto& dir = pak->Directory();
  for (size_t i = 0; i < dir.size(); ++i) {
    const TPakEntry& e = dir[i];
    // Names come from the file: never let one climb out of the output folder.
    const auto parts = SafeRelativeParts(e.Name);
    if (!parts) {
      std::fprintf(stderr, "paktool: skipping unsafe name %s\n", e.Name.c_str());
      ++bad;
      continue;
    }
    std::filesystem::path target = std::filesystem::path(out_dir) / std::to_string(e.Group);
    for (const std::string& part : *parts) target /= part;
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    TExtracted result = TExtracted::Unreadable;
    try {
      result = ExtractEntry(*pak, static_cast<int>(i), target.string());
    } catch (const ESetupError& error) {
      std::fprintf(stderr, "paktool: entry %zu (%s): %s\n", i, e.Name.c_str(), error.what());
    }
    if (result == TExtracted::Unwritable) {
      std::fprintf(stderr, "paktool: cannot write %s\n", target.string().c_str());
      ++bad;
    } else if (result == TExtracted::Unreadable) {
      std::fprintf(stderr, "paktool: entry %zu (%s) does not extract\n", i, e.Name.c_str());
      std::filesystem::remove(target, ec);  // no half entry left behind
      ++bad;
    }
  }
  return bad ? 1 : 0;
}

bool SetInfoField(TSetupInfoFile& info, const std::string& key, const std::string& value) {
  if (key == "name") info.SetupName = value;
  else if (key == "shortname") info.ShortName = value;
  else if (key == "exe") info.SetupExeName = value;
  else if (key == "uninstallexe") info.UninstallExeName = value;
  else if (key == "prefix") info.UninstallPrefix = value;
  else if (key == "installdir") info.InstallDir = value;
  else if (key == "changelog") info.Changelog = value;
  else if (key == "pages") info.Pages = value;
  else if (key == "uninstallpages") info.UninstallPages = value;
  else if (key == "mode") info.Mode = static_cast<uint8_t>(std::atoi(value.c_str()));
  else if (key == "hasuninstaller") info.HasUninstaller = static_cast<uint8_t>(std::atoi(value.c_str()));
  else if (key.size() == 7 && key.compare(0, 6, "regkey") == 0 && key[6] >= '0' && key[6] <= '4') {
    std::vector<std::string> parts = Split(value, '|');
    if (parts.size() != 3) return false;
    TInstallDirRegKey& slot = info.InstallDirRegKey[key[6] - '0'];
    slot.HKey = static_cast<uint8_t>(RootNameToIndex(parts[0]));
    slot.Path = parts[1];
    slot.Key = parts[2];
  } else {
    return false;
  }
  return true;
}

int Build(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string out = argv[2];
  int i = 3;
  std::string stub;
  if (i + 1 < argc && std::string(argv[i]) == "--stub") {
    stub = argv[i + 1];
    i += 2;
  }
  if (!stub.empty()) {
    std::error_code ec;
    std::filesystem::copy_file(stub, out, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
      std::fprintf(stderr, "paktool: cannot copy %s: %s\n", stub.c_str(), ec.message().c_str());
      return 1;
    }
  }
  TPak pak(out, stub.empty() ? pmCreate : pmAppend);
  if (!pak.IsOpen()) {
    std::fprintf(stderr, "paktool: cannot write %s\n", out.c_str());
    return 1;
  }
  TCompLines lines;
  bool records_not_ascii = false;
  auto need = [&](int n) {
    if (i + n >= argc) {
      std::fprintf(stderr, "paktool: %s needs %d values\n", argv[i], n);
      std::exit(Usage());
    }
  };
  auto store_memory = [&](const std::string& name, const std::string& bytes) {
    int index = pak.AddEntry(name, "", 0);
    return pak.StoreFromMemory(index, reinterpret_cast<const uint8_t*>(bytes.data()),
                               static_cast<uint32_t>(bytes.size()));
  };
  for (; i < argc; ++i) {
    const std::string item = argv[i];
    bool ok = true;
    if (item == "--file") {
      need(3);
      int index = pak.AddEntry(argv[i + 1], argv[i + 3], static_cast<uint16_t>(std::atoi(argv[i + 2])));
      ok = pak.StoreFromFile(index);
      i += 3;
    } else if (item == "--stored") {
      need(4);
      TBytes bytes;
      ok = ReadWholeFile(argv[i + 3], bytes) && !bytes.empty();
      if (ok) {
        int index = pak.AddEntry(argv[i + 1], "", static_cast<uint16_t>(std::atoi(argv[i + 2])));
        TPakEntry& e = pak.Directory()[index];
        e.Size = std::strtoull(argv[i + 4], nullptr, 10);
        e.PackedSize = bytes.size();
        e.Crc = Crc32(bytes.data(), bytes.size());
        ok = pak.StorePacked(index, bytes);
      }
      i += 4;
    } else if (item == "--setupinfo") {
      need(1);
      TSetupInfoFile info;
      for (const std::string& pair : Split(argv[i + 1], ',')) {
        auto [key, value] = SplitAtEquals(pair);
        if (pair.empty()) continue;
        if (!SetInfoField(info, key, value)) {
          std::fprintf(stderr, "paktool: unknown setupinfo field %s\n", pair.c_str());
          return 2;
        }
      }
      ok = store_memory("SetupInfo", info.Serialize());
      records_not_ascii = records_not_ascii || !info.AllAscii();
      i += 1;
    } else if (item == "--line") {
      need(1);
      std::vector<std::string> parts = Split(argv[i + 1], '|');
      TCompiledLine line;
      line.Command = std::atoi(parts[0].c_str());
      line.Params.assign(parts.begin() + 1, parts.end());
      line.ParamCount = static_cast<int32_t>(line.Params.size());
      line.LineIndex = line.Command == -1 ? -1 : static_cast<int32_t>(lines.Lines.size());
      lines.Lines.push_back(line);
      i += 1;
    } else if (item == "--lines") {
      ok = store_memory("CompiledLines", lines.Serialize());
      records_not_ascii = records_not_ascii || !lines.AllAscii();
    } else {
      std::fprintf(stderr, "paktool: unknown item %s\n", item.c_str());
      return Usage();
    }
    if (!ok) {
      std::fprintf(stderr, "paktool: could not store %s\n", item.c_str());
      return 1;
    }
  }
  // Command-line texts are UTF-8: records with other letters make the package say so.
  pak.SetRecordsNotAscii(records_not_ascii);
  if (!pak.WriteDirectory()) {
    std::fprintf(stderr, "paktool: could not write the directory of %s\n", out.c_str());
    return 1;
  }
  pak.Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  try {
    if (command == "list" && argc == 3) return List(argv[2]);
    if (command == "verify" && argc == 3) return Verify(argv[2]);
    if (command == "extract" && argc == 4) return Extract(argv[2], argv[3]);
    if (command == "build") return Build(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "paktool: %s\n", e.what());
    return 1;
  }
  return Usage();
}
