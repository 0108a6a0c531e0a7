// paktool: lists, verifies and extracts setup packages, and builds small ones by hand.
//
//   paktool list PACKAGE
//   paktool verify PACKAGE
//   paktool extract PACKAGE DIR
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
#include "core/text.h"

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

// Names an entry whose stream inflates to another length than its Size.
void ReportWrongLength(const TPak& pak) {
  const TExtractResult& result = pak.LastExtract();
  if (result.Status != kExtractWrongLength) return;
  const TPakEntry& e = pak.Directory()[static_cast<size_t>(result.Index)];
  std::fprintf(stderr, "paktool: entry %d (%s) inflates to %llu bytes, not its Size %u\n", result.Index, e.Name.c_str(),
               static_cast<unsigned long long>(result.Inflated), e.Size);
}

int List(const std::string& path) {
  auto pak = OpenPackage(path);
  if (!pak) return 1;
  std::printf("%5s %5s %10s %10s %8s %10s  %s\n", "index", "group", "size", "packed", "crc", "offset", "name");
  const auto& dir = pak->Directory();
  for (size_t i = 0; i < dir.size(); ++i) {
    const TPakEntry& e = dir[i];
    std::printf("%5zu %5u %10u %10u %08x %10u  %s\n", i, e.Group, e.Size, e.PackedSize, e.Crc, e.Offset,
                e.Name.c_str());
  }
  return 0;
}

int Verify(const std::string& path) {
  auto pak = OpenPackage(path);
  if (!pak) return 1;
  int bad = 0;
  const auto& dir = pak->Directory();
  for (size_t i = 0; i < dir.size(); ++i) {
    bool sound = false;
    try {
      sound = dir[i].Size == 0 || pak->Verify(static_cast<int>(i));
    } catch (const ESetupError& e) {
      std::fprintf(stderr, "entry %zu (%s): %s\n", i, dir[i].Name.c_str(), e.what());
    }
    if (!sound) {
      ReportWrongLength(*pak);
      std::printf("FAILED %zu %s\n", i, dir[i].Name.c_str());
      ++bad;
    }
  }
  std::printf("%zu entries, %d failed\n", dir.size(), bad);
  return bad ? 1 : 0;
}

int Extract(const std::string& path, const std::string& out_dir) {
  auto pak = OpenPackage(path);
  if (!pak) return 1;
  const auto& dir = pak->Directory();
  int bad = 0;
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
    TBytes data;
    if (e.Size >= kLargeEntryLimit) {
      data.resize(e.Size);
      if (pak->ReadAt(e.Offset, data.data(), data.size()) != data.size()) data.clear();
    } else if (e.Size > 0) {
      data = pak->Extract(static_cast<int>(i));
    }
    if (e.Size > 0 && data.empty()) {
      ReportWrongLength(*pak);
      std::fprintf(stderr, "paktool: entry %zu (%s) does not extract\n", i, e.Name.c_str());
      ++bad;
      continue;
    }
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    if (!WriteWholeFile(target.string(), data.data(), data.size())) {
      std::fprintf(stderr, "paktool: cannot write %s\n", target.string().c_str());
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
        e.Size = static_cast<uint32_t>(std::strtoul(argv[i + 4], nullptr, 10));
        e.PackedSize = static_cast<uint32_t>(bytes.size());
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
    } else {
      std::fprintf(stderr, "paktool: unknown item %s\n", item.c_str());
      return Usage();
    }
    if (!ok) {
      std::fprintf(stderr, "paktool: could not store %s\n", item.c_str());
      return 1;
    }
  }
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
