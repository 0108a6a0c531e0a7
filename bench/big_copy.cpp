// big_copy: what an install from data files costs at the least, for bench/big_bench.sh. It
// reads the data files once, in order, in large pieces, and writes a tree of files of the
// payload's sizes from the bytes it has just read: no inflating, no checking, no install log.
//
//   big_copy LIST TARGET DATAFILE...
//
// LIST is UTF-8 text with one "SIZE<TAB>RELATIVE\PATH" line per file. The files are written
// in LIST's order below TARGET, folders made as needed, each with CreateFileW and WriteFile as
// a setup writes them. Their bytes are ranges of the data files, not the payload's content:
// a setup stores its files compressed, so more is written than read, and the reading keeps
// pace with the writing (the share of the data files read never falls behind the share of
// the tree written) so that every data-file byte has been read once by the end.
//
// Prints one line, "read BYTES in N data files, wrote BYTES in N files, SECONDS s", and ends
// with 0 when everything was read and written, 1 when something failed (said on stderr),
// 2 on wrong arguments.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPiece = 8u << 20;  // bytes per ReadFile and at most per WriteFile

struct TItem {
  uint64_t Size = 0;
  std::wstring Path;  // relative, backslashes
};

void Fail(const std::wstring& what) {
  fwprintf(stderr, L"big_copy: %ls (error %lu)\n", what.c_str(), GetLastError());
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

bool ReadList(const wchar_t* path, std::vector<TItem>& items) {
  FILE* f = _wfopen(path, L"rb");
  if (!f) return false;
  std::string text;
  char buffer[1 << 16];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  fclose(f);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0 || tab + 1 == line.size()) return false;
    TItem item;
    for (size_t i = 0; i < tab; ++i) {
      if (line[i] < '0' || line[i] > '9') return false;
      item.Size = item.Size * 10 + static_cast<uint64_t>(line[i] - '0');
    }
    item.Path = Wide(line.substr(tab + 1));
    items.push_back(std::move(item));
  }
  return true;
}

// Makes every folder on the way to the file (TARGET\a\b for TARGET\a\b\c.dat) once.
bool MakeFolders(const std::wstring& file, std::set<std::wstring>& made) {
  for (size_t slash = file.find(L'\\', 3); slash != std::wstring::npos; slash = file.find(L'\\', slash + 1)) {
    const std::wstring folder = file.substr(0, slash);
    if (!made.insert(folder).second) continue;
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      Fail(L"cannot make the folder " + folder);
      return false;
    }
  }
  return true;
}

class TReader {
 public:
  explicit TReader(std::vector<std::wstring> paths) : paths_(std::move(paths)), piece_(kPiece) {}
  ~TReader() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  bool Measure() {
    for (const std::wstring& path : paths_) {
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        Fail(L"cannot read " + path);
        return false;
      }
      total_ += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return true;
  }

  // The next piece of the data files into the buffer; false at the end or on a failure.
  bool Next() {
    for (;;) {
      if (file_ == INVALID_HANDLE_VALUE) {
        if (next_ >= paths_.size()) return false;
        file_ = CreateFileW(paths_[next_].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
          Fail(L"cannot open " + paths_[next_]);
          failed_ = true;
          return false;
        }
        ++next_;
      }
      DWORD got = 0;
      if (!ReadFile(file_, piece_.data(), kPiece, &got, nullptr)) {
        Fail(L"cannot read " + paths_[next_ - 1]);
        failed_ = true;
        return false;
      }
      if (got > 0) {
        filled_ = got;
        done_ += got;
        return true;
      }
      CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
    }
  }

  uint64_t Total() const { return total_; }
  uint64_t Done() const { return done_; }
  bool Failed() const { return failed_; }
  const uint8_t* Data() const { return piece_.data(); }
  DWORD Filled() const { return filled_; }

 private:
  std::vector<std::wstring> paths_;
  std::vector<uint8_t> piece_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  size_t next_ = 0;
  uint64_t total_ = 0;
  uint64_t done_ = 0;
  DWORD filled_ = 0;
  bool failed_ = false;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    fwprintf(stderr, L"usage: big_copy LIST TARGET DATAFILE...\n");
    return 2;
  }
  std::vector<TItem> items;
  if (!ReadList(argv[1], items)) {
    fwprintf(stderr, L"big_copy: cannot read the list %ls\n", argv[1]);
    return 2;
  }
  std::wstring target = argv[2];
  while (!target.empty() && target.back() == L'\\') target.pop_back();
  TReader reader(std::vector<std::wstring>(argv + 3, argv + argc));
  if (!reader.Measure()) return 1;
  uint64_t out_total = 0;
  for (const TItem& item : items) out_total += item.Size;

  const ULONGLONG start = GetTickCount64();
  std::set<std::wstring> made;
  if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    Fail(L"cannot make the folder " + target);
    return 1;
  }
  made.insert(target);

  uint64_t written = 0;
  size_t files = 0;
  DWORD used = 0;  // bytes of the current piece already written out
  bool have_piece = reader.Next();
  // Reads the next piece while the share read is behind the share written (both as fractions
  // of their totals: the products would overflow 64 bits).
  auto keep_pace = [&] {
    while (!reader.Failed() && reader.Done() < reader.Total() &&
           static_cast<double>(reader.Done()) / static_cast<double>(reader.Total()) <=
               static_cast<double>(written) / static_cast<double>(out_total)) {
      if (!reader.Next()) break;
      have_piece = true;
      used = 0;
    }
  };
  for (const TItem& item : items) {
    const std::wstring path = target + L"\\" + item.Path;
    if (!MakeFolders(path, made)) return 1;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
      Fail(L"cannot create " + path);
      return 1;
    }
    for (uint64_t left = item.Size; left > 0;) {
      keep_pace();
      if (!have_piece) {
        CloseHandle(out);
        fwprintf(stderr, L"big_copy: the data files are empty or unreadable\n");
        return 1;
      }
      if (used == reader.Filled()) used = 0;  // a piece serves again while the reading waits
      const DWORD n = static_cast<DWORD>(std::min<uint64_t>(left, reader.Filled() - used));
      DWORD put = 0;
      if (!WriteFile(out, reader.Data() + used, n, &put, nullptr) || put != n) {
        CloseHandle(out);
        Fail(L"cannot write " + path);
        return 1;
      }
      used += n;
      left -= n;
      written += n;
    }
    if (!CloseHandle(out)) {
      Fail(L"cannot close " + path);
      return 1;
    }
    ++files;
  }
  // Whatever the pacing left unread (a tree of empty files, rounding at the end).
  while (!reader.Failed() && reader.Done() < reader.Total() && reader.Next()) {
  }
  if (reader.Failed() || reader.Done() != reader.Total()) {
    fwprintf(stderr, L"big_copy: read %llu of %llu data-file bytes\n", static_cast<unsigned long long>(reader.Done()),
             static_cast<unsigned long long>(reader.Total()));
    return 1;
  }
  const double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
  printf("read %llu in %d data files, wrote %llu in %u files, %.3f s\n",
         static_cast<unsigned long long>(reader.Done()), argc - 3, static_cast<unsigned long long>(written),
         static_cast<unsigned>(files), seconds);
  return 0;
}
