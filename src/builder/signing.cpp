// Running osslsigncode with its output caught in a file beside the setup, so that a failure can
// be reported with its own words.
#include "builder/signing.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "builder/script.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace setup::builder {

namespace fs = std::filesystem;

namespace {

constexpr char kSigner[] = "osslsigncode";

// How a run of the signer ended.
struct TRun {
  bool Started = false;
  int ExitCode = -1;  // -1 when it did not end normally
};

#ifdef _WIN32
// One argument as the C runtime of the started program splits its command line: quoted, with
// the backslashes before a quote doubled.
std::string QuotedArgument(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

TRun Run(const std::vector<std::string>& args, const std::string& log) {
  std::vector<std::string> quoted;
  for (const std::string& a : args) quoted.push_back(QuotedArgument(a));
  std::vector<const char*> argv;
  for (const std::string& a : quoted) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  // The child inherits this process's standard output and error, pointed at the log meanwhile.
  const int out = _open(log.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
  if (out < 0) return {};
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = _dup(1), saved_err = _dup(2);
  _dup2(out, 1);
  _dup2(out, 2);
  const intptr_t status = _spawnvp(_P_WAIT, kSigner, argv.data());
  _dup2(saved_out, 1);
  _dup2(saved_err, 2);
  _close(saved_out);
  _close(saved_err);
  _close(out);
  if (status == -1) return {};
  return {true, static_cast<int>(status)};
}
#else
TRun Run(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid;
  const int error = posix_spawnp(&pid, kSigner, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return {};
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return {true, -1};
  }
  return {true, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}
#endif

// What the signer wrote, without trailing blank lines.
std::string LogText(const std::string& log) {
  std::ifstream in(log, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// The osslsigncode arguments that sign input into output.
std::vector<std::string> SignArguments(const TSignOptions& options, const std::string& input, const std::string& output) {
  std::vector<std::string> args = {kSigner, "sign", "-pkcs12", options.Pkcs12};
  if (!options.PassFile.empty()) args.insert(args.end(), {"-readpass", options.PassFile});
  if (!options.TimestampUrl.empty()) args.insert(args.end(), {"-t", options.TimestampUrl});
  args.insert(args.end(), {"-in", input, "-out", output});
  return args;
}

}  // namespace

void SignFile(const TSignOptions& options, const std::string& input, const std::string& output) {
  const std::string log = output + ".log";
  std::error_code ec;
  fs::remove(output, ec);
  const TRun run = Run(SignArguments(options, input, output), log);
  const std::string said = LogText(log);
  fs::remove(log, ec);
  if (run.Started && run.ExitCode == 0 && fs::is_regular_file(output, ec)) return;
  fs::remove(output, ec);
  if (!run.Started) {
    throw TBuildError(0, std::string("cannot sign: ") + kSigner +
                             " was not found on the PATH (Debian and Ubuntu ship it as the package osslsigncode)");
  }
  throw TBuildError(0, std::string("signing failed: ") + kSigner + " exit code " + std::to_string(run.ExitCode) +
                           (said.empty() ? std::string() : ":\n" + said));
}

}  // namespace setup::builder
