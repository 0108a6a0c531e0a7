// The setup package's writer: entries appended to the setup file or to data files, identical
// contents named once, and the directory in the first version whenever the package fits it.
#include "core/pak.h"

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"
#include "core/crc.h"
#include "core/deflate.h"
#include "core/error.h"
#include "core/pak_state.h"
#include "core/text.h"

namespace setup {

namespace {

constexpr size_t kCopyChunk = 4 << 20;  // chunk of the plain copy of a large source file

}  // namespace

int TPak::AddEntry(const std::string& name, const std::string& source_path, uint16_t group) {
  TPakEntry e;
  e.Name = name;
  e.SourcePath = source_path;
  e.Group = group;
  directory_.push_back(std::move(e));
  return static_cast<int>(directory_.size() - 1);
}

TBytes PackEntry(TPakEntry& e, const uint8_t* data, uint32_t size, int level) {
  e.Size = size;
  TBytes result;
  if (size < kLargeEntryLimit) {
    result = Deflate(data, size, level);
    e.PackedSize = result.size();
  }
  if (size < e.PackedSize || size >= kLargeEntryLimit) {
    e.PackedSize = 0;
    result.assign(data, data + size);
  }
  if (e.StoredLength() != 0) e.Crc = Crc32(result.data(), static_cast<size_t>(e.StoredLength()));
  return result;
}

std::optional<TBytes> TPak::Pack(int index, const uint8_t* data, uint32_t size) {
  if (!ValidIndex(index)) return std::nullopt;
  TPakEntry& e = directory_[index];
  if (!data) {
    e.Size = size;
    return std::nullopt;
  }
  return PackEntry(e, data, size);
}

bool TPak::StartDataFiles(const std::string& stem, uint64_t slice_size,
                          std::function<std::string(uint32_t number)> path_of) {
  if (!writer_ || slice_size == 0 || !path_of || !NewSha256()) return false;
  data_file_stem_ = stem;
  data_file_writer_ = std::make_unique<TDataFileWriter>();
  data_file_writer_->SliceSize = slice_size;
  data_file_writer_->PathOf = std::move(path_of);
  return true;
}

bool TPak::CloseDataFile() {
  TDataFileWriter* w = data_file_writer_.get();
  if (!w || !w->File) return !w || !w->Failed;
  if (!w->File->Flush()) w->Failed = true;
  if (!w->Digest->Final(data_files_.back().Sha256)) w->Failed = true;
  w->File.reset();
  w->Digest.reset();
  return !w->Failed;
}

bool TPak::WriteToDataFiles(const uint8_t* data, uint64_t length) {
  TDataFileWriter& w = *data_file_writer_;
  while (length > 0 && !w.Failed) {
    if (!w.File || data_files_.back().Size == w.SliceSize) {
      if (!CloseDataFile() || data_files_.size() >= kMostDataFiles) return w.Failed = true, false;
      const uint32_t number = static_cast<uint32_t>(data_files_.size() + 1);
      TPakDataFile d;
      d.Path = w.PathOf(number);
      w.File = TFileStream::Open(d.Path, TFileMode::Create);
      w.Digest = NewSha256();
      data_files_.push_back(std::move(d));
      if (!w.File || !w.Digest) return w.Failed = true, false;
    }
    TPakDataFile& d = data_files_.back();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, w.SliceSize - d.Size));
    if (w.File->Write(data, n) != n || !w.Digest->Update(data, n)) return w.Failed = true, false;
    d.Size += n;
    data += n;
    length -= n;
  }
  return !w.Failed;
}

bool TPak::PlaceStored(TPakEntry& e, uint64_t length) {
  if (!file_) return false;
  if (length > 0 && ToDataFiles(e)) {
    // The entry starts where the data files end now, or at the start of the next one when the
    // last is full.
    const TDataFileWriter& w = *data_file_writer_;
    const bool next = !w.File || data_files_.back().Size == w.SliceSize;
    if (next && data_files_.size() >= kMostDataFiles) return false;
    e.DataFile = static_cast<uint16_t>(next ? data_files_.size() + 1 : data_files_.size());
    e.Offset = next ? 0 : data_files_.back().Size;
    return true;
  }
  if (!file_->SeekToEnd()) return false;
  const uint64_t end = file_->Tell();
  // An entry that stores nothing names the setup file's end, as the first writers did. A setup
  // file is an executable: past 4 GiB Windows would not start it.
  if (trailer_.DataStart > 0 && end + length > kMostSetupFileSize) return false;
  e.DataFile = 0;
  e.Offset = end;
  return true;
}

bool TPak::WriteStored(const TPakEntry& e, const uint8_t* data, size_t n) {
  if (ToDataFiles(e)) return WriteToDataFiles(data, n);
  return file_->Write(data, n) == n;  // the setup file stays at its end while an entry is written
}

bool TPak::AppendStored(int index, const uint8_t* data, uint64_t length) {
  TPakEntry& e = directory_[index];
  if (!PlaceStored(e, length)) return false;
  return length == 0 || WriteStored(e, data, static_cast<size_t>(length));
}

bool TPak::StoreFromMemory(int index, const uint8_t* data, uint32_t size) {
  std::optional<TBytes> stored = Pack(index, data, size);
  if (!stored) return false;
  return AppendStored(index, stored->data(), directory_[index].StoredLength());
}

bool TPak::StorePacked(int index, const TBytes& stored) {
  if (!ValidIndex(index) || stored.size() != directory_[index].StoredLength()) return false;
  return AppendStored(index, stored.data(), stored.size());
}

bool TPak::ShareStored(int index, int from) {
  if (!ValidIndex(index) || !ValidIndex(from) || from >= index) return false;
  const TPakEntry& source = directory_[from];
  TPakEntry& e = directory_[index];
  // The setup's own data stays in the setup file, so the setup starts without its data files.
  if (e.Group == 0 && source.DataFile != 0) return false;
  e.Crc = source.Crc;
  e.Offset = source.Offset;
  e.PackedSize = source.PackedSize;
  e.Size = source.Size;
  e.DataFile = source.DataFile;
  return true;
}

bool TPak::CopyFileChunked(int index, TFileStream& source, uint64_t length) {
  TPakEntry& e = directory_[index];
  if (!PlaceStored(e, length)) return false;
  TBytes chunk(kCopyChunk);
  uint32_t crc = 0;
  for (uint64_t left = length; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    if (source.Read(chunk.data(), n) != n || !WriteStored(e, chunk.data(), n)) return false;
    crc = Crc32(chunk.data(), n, crc);
    left -= n;
  }
  e.Crc = crc;
  return true;
}

bool TPak::StoreFromFile(int index) {
  if (!ValidIndex(index)) return false;
  TPakEntry& e = directory_[index];
  const int64_t length = FileLength(e.SourcePath);
  if (length < 0) throw ESetupError("I/O error: cannot open " + e.SourcePath);
  auto source = TFileStream::Open(e.SourcePath, TFileMode::Read);
  if (!source) return false;
  if (static_cast<uint64_t>(length) >= kLargeEntryLimit) {
    // Large entries go in as they are, copied in chunks, never whole in memory; their CRC is
    // taken on the way.
    e.Size = static_cast<uint64_t>(length);
    e.PackedSize = 0;
    return CopyFileChunked(index, *source, static_cast<uint64_t>(length));
  }
  TBytes data(static_cast<size_t>(length));
  if (source->Read(data.data(), data.size()) != data.size()) return false;
  if (data.empty()) {  // an empty file: a record with no stored bytes
    e.Size = e.PackedSize = e.Crc = 0;
    return AppendStored(index, nullptr, 0);
  }
  return StoreFromMemory(index, data.data(), static_cast<uint32_t>(data.size()));
}

bool TPak::NeedsVersion2(uint64_t directory_offset) const {
  if (!data_files_.empty() || directory_.size() > kPakVersion1MostEntries) return true;
  if (trailer_.DataStart > kPakVersion1MostValue) return true;
  uint64_t bytes = directory_offset + kPakTrailerSize;
  for (const TPakEntry& e : directory_) {
    if (e.Offset > kPakVersion1MostValue || e.PackedSize > kPakVersion1MostValue || e.Size > kPakVersion1MostValue) {
      return true;
    }
    bytes += kPakRecordFixedSize + e.Name.size();
  }
  return bytes > kPakVersion1MostValue;  // the trailer's DirOffset must fit, and so the file
}

bool TPak::TextsNeedUtf8() const {
  if (records_not_ascii_ || !IsAscii(data_file_stem_)) return true;
  return std::any_of(directory_.begin(), directory_.end(), [](const TPakEntry& e) { return !IsAscii(e.Name); });
}

bool TPak::WriteDirectory() {
  if (!file_ || !CloseDataFile() || !file_->SeekToEnd()) return false;
  const uint64_t dir_offset = file_->Tell();
  // Texts that are not ASCII are UTF-8, which only the second version can say; an all-ASCII
  // package reads alike in any code page and stays as every earlier writer made it.
  const bool utf8 = TextsNeedUtf8();
  const bool version2 = utf8 || holds_differences_ || NeedsVersion2(dir_offset);
  trailer_.Flags = (utf8 ? kPakFlagUtf8Texts : 0) | (holds_differences_ ? kPakFlagDifferences : 0);
  std::string out;
  for (const TPakEntry& e : directory_) {
    if (e.Name.size() > 0xFFFF) return false;
    AppendLE16(out, static_cast<uint16_t>(e.Name.size()));
    out += e.Name;
    AppendLE32(out, e.Crc);
    if (version2) {
      AppendLE64(out, e.Offset);
      AppendLE64(out, e.PackedSize);
      AppendLE64(out, e.Size);
      AppendLE16(out, e.Group);
      AppendLE16(out, e.DataFile);
    } else {
      AppendLE32(out, static_cast<uint32_t>(e.Offset));
      AppendLE32(out, static_cast<uint32_t>(e.PackedSize));
      AppendLE32(out, static_cast<uint32_t>(e.Size));
      AppendLE16(out, e.Group);
    }
  }
  std::memcpy(trailer_.Magic, "KZPF", 4);
  trailer_.Count = static_cast<uint32_t>(directory_.size());
  trailer_.DirOffset = dir_offset;
  if (version2) {
    if (directory_.size() > UINT32_MAX || data_file_stem_.size() > 0xFFFF) return false;
    trailer_.Version = kPakVersion2;
    trailer_.DataFileCount = static_cast<uint32_t>(data_files_.size());
    trailer_.TableOffset = dir_offset + out.size();
    AppendLE16(out, static_cast<uint16_t>(data_file_stem_.size()));
    out += data_file_stem_;
    for (const TPakDataFile& d : data_files_) {
      AppendLE64(out, d.Size);
      out.append(reinterpret_cast<const char*>(d.Sha256.data()), d.Sha256.size());
    }
    AppendLE64(out, trailer_.DataStart);
    AppendLE64(out, trailer_.DirOffset);
    AppendLE32(out, trailer_.Count);
    AppendLE32(out, trailer_.DataFileCount);
    AppendLE64(out, trailer_.TableOffset);
    out.append(trailer_.Magic, 4);
    AppendLE16(out, trailer_.Version);
    AppendLE16(out, 0);  // the first version's Count: its readers see no entries
    AppendLE32(out, trailer_.Flags);
    AppendLE32(out, static_cast<uint32_t>(kPakTrailer2Size));
  } else {
    trailer_.Version = kPakVersion1;
    out.append(trailer_.Magic, 4);
    AppendLE16(out, trailer_.Version);
    AppendLE16(out, static_cast<uint16_t>(trailer_.Count));
    AppendLE32(out, static_cast<uint32_t>(trailer_.DataStart));
    AppendLE32(out, static_cast<uint32_t>(trailer_.DirOffset));
  }
  // The setup file, directory and all, stays an executable Windows starts.
  if (trailer_.DataStart > 0 && dir_offset + out.size() > kMostSetupFileSize) return false;
  bool ok = file_->Write(out.data(), out.size()) == out.size();
  return file_->Flush() && ok;
}

}  // namespace setup