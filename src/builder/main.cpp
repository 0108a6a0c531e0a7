// setupbuild: compiles a setup script into a setup executable.
//
//   setupbuild [options] SCRIPT
//
// The output is the stub (the shipped setup.exe unless --stub; for a script with "installmode
// user" the per-user runtime setup-user.exe, which asks for no rights) with the package appended,
// named by the script's "outfile" in the script's folder unless -o is given. The shipped stub,
// languages, layouts and finishing program are found from the builder's own folder: beside it
// (build/bin), in the installed share folder (PREFIX/share/setupbuild) or, for languages and
// layouts, in the source tree above build/bin.
// The setup is signed after the package when --sign-pkcs12 names a certificate.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "builder/compiler.h"
#include "builder/package_writer.h"
#include "builder/patch_plan.h"
#include "builder/progress.h"
#include "builder/script.h"

#ifdef _WIN32
#include <io.h>

#include "platform/win32/sha256_win32.h"
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace setup::builder;

constexpr char kVersion[] = "setupbuild " SETUP_VERSION;
// The program uninstallers carry to remove themselves once they have ended.
constexpr char kFinaliser[] = "finalise.exe";
// The runtime of per-user setups: setup.exe with a manifest that asks for no administrator rights.
constexpr char kUserStub[] = "setup-user.exe";

void Help() {
  std::printf(
      "usage: setupbuild [options] SCRIPT\n"
      "Compiles a setup script into a setup executable.\n\n"
      "  -o FILE           the setup to write (default: the script's outfile, beside the script)\n"
      "  --stub FILE       the runtime to append the package to (default: the shipped setup.exe)\n"
      "  --user-stub FILE  the runtime of per-user setups (installmode user; default: setup-user.exe\n"
      "                    beside the --stub file, else the shipped one)\n"
      "  --languages DIR   language files (default: the shipped languages/)\n"
      "  --layouts DIR     page layouts (default: the shipped layout/)\n"
      "  -j N              compression and patch planning threads (default: all cores)\n"
      "  --level N         compression level, 1 (fastest) to 12 (smallest) (default: chosen per\n"
      "                    file: 1 for data compressed already, 8 below 4 MiB, 10 from 4 MiB)\n"
      "  --slice-size SIZE put the payload into data files of at most SIZE bytes beside the setup\n"
      "                    (K, M or G suffix; default: only when the setup would pass 4 GiB,\n"
      "                    then in data files of 2 GiB - 1)\n"
      "  --sign-pkcs12 FILE     sign the setup with the certificate and key in FILE (needs osslsigncode)\n"
      "  --sign-pass-file FILE  the password of the key, read from FILE\n"
      "  --timestamp URL        have the signature time-stamped by the server at URL\n"
      "  -q                no progress output and no notes\n"
      "  --version         print the version\n"
      "  --help            this text\n");
}

// The folder the builder runs from, for its default stub, languages and layouts.
fs::path ProgramFolder(const char* argv0) {
  std::error_code ec;
#ifndef _WIN32
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.parent_path();
#endif
  return fs::absolute(fs::path(argv0), ec).parent_path();
}

// A shipped file or folder: beside the builder, in the installed share folder, or in the
// source tree above build/bin; beside the builder when it is nowhere.
fs::path Shipped(const fs::path& program, const char* name) {
  for (const fs::path& candidate : {program / name, (program / SETUP_DATA_DIR_FROM_BIN / name).lexically_normal(),
                                    program.parent_path().parent_path() / name}) {
    std::error_code ec;
    if (fs::exists(candidate, ec)) return candidate;
  }
  return program / name;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Identical files and data files are told apart by their SHA-256: natively from libcrypto,
  // here from the system's cryptographic service.
  setup::SetSha256Factory(setup::NewCryptoApiSha256);
#endif
  std::string script_path, output, stub, user_stub, languages, layouts;
  int threads = static_cast<int>(std::thread::hardware_concurrency());
  int level = kAutomaticLevel;
  uint64_t slice_size = 0;
  bool quiet = false;
  TSignOptions sign;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "setupbuild: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "-o") output = value();
    else if (a == "--stub") stub = value();
    else if (a == "--user-stub") user_stub = value();
    else if (a == "--languages") languages = value();
    else if (a == "--layouts") layouts = value();
    else if (a == "--sign-pkcs12") sign.Pkcs12 = value();
    else if (a == "--sign-pass-file") sign.PassFile = value();
    else if (a == "--timestamp") sign.TimestampUrl = value();
    else if (a == "-j") threads = std::atoi(value().c_str());
    else if (a.rfind("-j", 0) == 0 && a.size() > 2) threads = std::atoi(a.c_str() + 2);
    else if (a == "--level") {
      const std::string n = value();
      level = std::atoi(n.c_str());
      if (n.find_first_not_of("0123456789") != std::string::npos || level < setup::kFastestDeflateLevel ||
          level > setup::kSmallestDeflateLevel) {
        std::fprintf(stderr, "setupbuild: --level takes 1 to 12, not %s\n", n.c_str());
        return 2;
      }
    } else if (a == "--slice-size") {
      const std::string n = value();
      if (!ParseByteSize(n, slice_size) || slice_size < kSmallestSliceSize) {
        std::fprintf(stderr, "setupbuild: --slice-size takes a size of at least 64K (K, M or G suffix), not %s\n",
                     n.c_str());
        return 2;
      }
    } else if (a == "-q") quiet = true;
    else if (a == "--version") {
      std::printf("%s\n", kVersion);
      return 0;
    } else if (a == "--help" || a == "-h") {
      Help();
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "setupbuild: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else if (script_path.empty()) {
      script_path = a;
    } else {
      std::fprintf(stderr, "setupbuild: one script at a time\n");
      return 2;
    }
  }
  if (script_path.empty()) {
    Help();
    return 2;
  }
  if (threads < 1) threads = 1;
  if (!sign.Wanted() && (!sign.PassFile.empty() || !sign.TimestampUrl.empty())) {
    std::fprintf(stderr, "setupbuild: --sign-pass-file and --timestamp need --sign-pkcs12\n");
    return 2;
  }
  for (const std::string* file : {&sign.Pkcs12, &sign.PassFile}) {
    std::error_code ec;
    if (!file->empty() && !fs::is_regular_file(*file, ec)) {
      std::fprintf(stderr, "setupbuild: cannot read %s\n", file->c_str());
      return 2;
    }
  }

  const fs::path program = ProgramFolder(argv[0]);
  if (user_stub.empty()) {
    std::error_code ec;
    const fs::path beside = fs::path(stub).parent_path() / kUserStub;
    user_stub =
        !stub.empty() && fs::is_regular_file(beside, ec) ? beside.string() : Shipped(program, kUserStub).string();
  }
  if (stub.empty()) stub = Shipped(program, "setup.exe").string();
  if (languages.empty()) languages = Shipped(program, "languages").string();
  if (layouts.empty()) layouts = Shipped(program, "layout").string();
  const std::string finaliser = Shipped(program, kFinaliser).string();

  std::ifstream in(script_path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read the script\n", script_path.c_str());
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const fs::path script_folder = fs::absolute(fs::path(script_path)).parent_path();

  try {
    TCompiler compiler({script_folder.string(), languages, layouts, finaliser});
    compiler.Compile(ParseScript(text));
    for (const TBuildNote& note : compiler.Notes) {
      if (!quiet) std::fprintf(stderr, "%s:%d: %s\n", script_path.c_str(), note.Line, note.Text.c_str());
    }
    if (output.empty()) {
      if (compiler.OutFile.empty()) throw TBuildError(0, "no outfile in the script and no -o given");
      std::string out = compiler.OutFile;
#ifndef _WIN32
      for (char& c : out) {
        if (c == '\\') c = '/';
      }
#endif
      output = (script_folder / out).string();
    }
    // The manifest of the runtime says which rights the setup asks for.
    if (compiler.SetupInfo.PerUser()) stub = user_stub;
    std::error_code ec;
    if (!fs::is_regular_file(stub, ec)) throw TBuildError(0, "stub not found: " + stub);
    // A stub cut short (a runtime being rebuilt) or another file would give a setup that does
    // not start: every Windows program begins with "MZ".
    char magic[2] = {};
    std::ifstream stub_file(stub, std::ios::binary);
    if (!stub_file.read(magic, 2) || magic[0] != 'M' || magic[1] != 'Z') {
      throw TBuildError(0, "the stub " + stub + " is not a Windows program");
    }
    const fs::path folder = fs::path(output).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
      throw TBuildError(0, "cannot write " + output + ": its folder does not exist");
    }

    TProgressDisplay display(quiet, isatty(fileno(stderr)) != 0);
    // Patch lines: the two folders compared, differences written to a folder beside the setup
    // that goes with the build, whether it succeeds or not.
    std::unique_ptr<TTemporaryFolder> differences;
    std::vector<TPatchPlan> plans;
    if (!compiler.Patches.empty()) {
      differences = std::make_unique<TTemporaryFolder>(DifferencesFolderFor(output));
      TPlanOptions plan_options;
      plan_options.Threads = threads;
      plan_options.Level = level;
      plan_options.TemporaryFolder = differences->Path().string();
      plan_options.OnProgress = [&](const TWriteProgress& p) { display.Planning(p); };
      plans = PlanPatches(compiler.Patches, plan_options);
      for (const TPatchPlan& plan : plans) compiler.TakePatchPlan(plan);
    }

    TWriteOptions options;
    options.Stub = stub;
    options.Output = output;
    options.Threads = threads;
    options.Level = level;
    options.SliceSize = slice_size;
    options.Sign = sign;
    options.HoldsDifferences = !plans.empty();
    options.OnProgress = [&](const TWriteProgress& p) { display.Update(p); };
    const std::vector<TPackageItem> items = compiler.PackageItems();
    const TWriteResult result = WriteSetup(options, items);
    std::vector<std::string> savings;
    for (const TPatchPlan& plan : plans) {
      savings.push_back(PatchSavingsText(plan, StoredOfPlan(plan, items, result.StoredBytes)));
    }
    display.Finish(output, result, savings);
  } catch (const TBuildError& e) {
    if (e.Line > 0) std::fprintf(stderr, "%s:%d: %s\n", script_path.c_str(), e.Line, e.what());
    else std::fprintf(stderr, "%s: %s\n", script_path.c_str(), e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", script_path.c_str(), e.what());
    return 1;
  }
  return 0;
}
