// The open VFS archive: header, block links and root table, chains read and written block by
// block, and the save that writes the header with its digest.
//
// Chains are followed only through blocks 1 to N that are in use, and never for more than N
// steps, so a chain that loops or names a block outside the archive ends the read with an
// error instead of running for ever or reading outside the file. New chains take the lowest
// free blocks in ascending order; the space is counted before the first block is written, so
// a full archive refuses a chain rather than leaving half of one.
#include "archives/vfs_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "archives/local_date.h"
#include "archives/vfs_md5.h"
#include "core/byte_order.h"
#include "core/deflate.h"
#include "core/error.h"

namespace setup {

namespace {

// Named limits of the reader, checked before anything is allocated.
constexpr uint32_t kVfsTextLimit = 1u << 20;        // header text length: 1 MiB
constexpr uint32_t kVfsBlockSizeLimit = 16u << 20;  // block size: 16 MiB
constexpr uint64_t kVfsTableLimit = 256u << 20;   // text, links and root table together: 256 MiB
constexpr size_t kDigestPiece = 256 * 1024;         // the digest reads the file in 256 KiB pieces

uint32_t ReadU32(TBufferManager& cursor) { return static_cast<uint32_t>(cursor.ReadInt32()); }

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

size_t TVFSFileBuffer::Read(void* destination, size_t n) {
  const size_t left = bytes_.size() - position_;
  if (n > left) n = left;
  if (n) std::memcpy(destination, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

// ---------------------------------------------------------------- opening and closing

TRecovery RecoverVfsArchive(TArchiveFileSystem& files, const std::string& path) {
  TRecovery recovery = RecoverArchive(files, path);
  const std::string index = HashFilePath(path);
  if (recovery.Result == TRecoveryResult::RolledBack) {
    const TRecovery of_index = RecoverArchive(files, index);
    if (of_index.Result == TRecoveryResult::Failed || of_index.Result == TRecoveryResult::SetAside) {
      recovery.Result = of_index.Result;
      recovery.SetAsideAs = of_index.SetAsideAs;
      recovery.Message += "; " + of_index.Message;
      return recovery;
    }
    // An index of no bytes is none: the change made it where there was none.
    if (std::unique_ptr<TArchiveFile> ht = files.OpenForReading(index); ht && ht->Size() == 0) {
      ht.reset();
      files.Remove(index);
    }
  } else if (recovery.Result == TRecoveryResult::NoJournal && files.Exists(JournalPath(index))) {
    files.Remove(JournalPath(index));  // the archive's change was committed, and the index with it
  }
  return recovery;
}

TVFSFile::TVFSFile(TArchiveFileSystem& files) : Today(TodayDosDate), files_(files), tree_(*this) {}

TVFSFile::~TVFSFile() { Close(); }

bool TVFSFile::Fail(const std::string& message) {
  Close();
  error_ = message;
  return false;
}

void TVFSFile::Close() {
  tree_.Clear();
  hash_file_ = TVFSHashFile();
  links_.clear();
  root_.clear();
  header_ = TVFSHeader();
  journaled_ = nullptr;
  file_.reset();
  path_.clear();
  file_size_ = 0;
  free_blocks_ = 0;
  lowest_free_hint_ = 1;
}

bool TVFSFile::Create(const std::string& path, const TVFSGeometry& g, TArchiveFileSystem& files) {
  if (g.BlockSize == 0 || g.BlockSize > kVfsBlockSizeLimit) return false;
  // A new archive holds no files, so no index belongs beside it; nor may the journal of an
  // archive that had the name before be played back over the new one.
  const std::string index = HashFilePath(path);
  for (const std::string& old : {index, JournalPath(path), JournalPath(index)}) {
    if (files.Exists(old) && !files.Remove(old)) return false;
  }
  auto file = files.Create(path);
  if (!file) return false;
  TBytes head(kVfsFixedHeaderSize + kVfsStandardTextLength + 4, 0);
  StoreLE32(&head[0], g.Identifier);
  StoreLE32(&head[4], g.BlockSize);
  StoreLE32(&head[8], g.BlockCount);
  StoreLE32(&head[12], g.RootSlots);
  StoreLE32(&head[44], kVfsStandardTextLength);
  if (file->WriteAt(0, head.data(), head.size()) != head.size()) return false;
  // Links, root table and data area are all zero: the file's end is set behind them.
  const uint64_t end = head.size() + static_cast<uint64_t>(g.BlockCount) * kVfsLinkSize +
                       static_cast<uint64_t>(g.RootSlots) * kVfsEntryRecordSize +
                       static_cast<uint64_t>(g.BlockCount) * g.BlockSize;
  if (!file->Truncate(end) || !file->Flush()) return false;
  file.reset();
  TVFSFile archive(files);
  if (!archive.Open(path, false)) return false;
  try {
    archive.Save(false);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool TVFSFile::Open(const std::string& path, bool hash_mode, const TVFSOpenProgress& progress, bool read_only) {
  Close();
  error_.clear();
  recovery_ = TRecovery();
  if (read_only) {
    file_ = files_.OpenForReading(path);
  } else {
    recovery_ = RecoverVfsArchive(files_, path);
    if (recovery_.Result == TRecoveryResult::Failed) return Fail(recovery_.Message);
    if (std::unique_ptr<TArchiveFile> file = files_.OpenForUpdate(path)) {
      auto journaled = std::make_unique<TJournaledFile>(files_, path, std::move(file), HeldWriteLimit);
      journaled_ = journaled.get();
      file_ = std::move(journaled);
    }
  }
  if (!file_) return Fail("cannot open " + path);
  path_ = path;
  hash_mode_ = hash_mode;
  file_size_ = file_->Size();

  uint8_t fixed[kVfsFixedHeaderSize];
  if (!ReadAt(0, fixed, sizeof fixed)) return Fail("header cut short: the file has " + std::to_string(file_size_) + " bytes");
  TBufferManager head(fixed, sizeof fixed);
  header_.Identifier = ReadU32(head);
  header_.BlockSize = ReadU32(head);
  header_.BlockCount = ReadU32(head);
  header_.RootCount = ReadU32(head);
  for (uint32_t& v : header_.Carried) v = ReadU32(head);
  head.ReadInto(sizeof header_.Digest, header_.Digest);
  header_.TextLength = ReadU32(head);

  const TVFSHeader& h = header_;
  if (h.TextLength < kVfsStandardTextLength || h.TextLength > kVfsTextLimit) {
    return Fail("header text length " + std::to_string(h.TextLength) + " at offset 44 is outside 256.." +
                std::to_string(kVfsTextLimit));
  }
  if (h.BlockSize == 0 || h.BlockSize > kVfsBlockSizeLimit) {
    return Fail("block size " + std::to_string(h.BlockSize) + " at offset 4 is outside 1.." + std::to_string(kVfsBlockSizeLimit));
  }
  links_offset_ = kVfsFixedHeaderSize + static_cast<uint64_t>(h.TextLength) + 4;
  root_offset_ = links_offset_ + static_cast<uint64_t>(h.BlockCount) * kVfsLinkSize;
  data_offset_ = root_offset_ + static_cast<uint64_t>(h.RootCount) * kVfsEntryRecordSize;
  const uint64_t end = data_offset_ + static_cast<uint64_t>(h.BlockCount) * h.BlockSize;
  if (end > file_size_) {
    return Fail("the archive needs " + std::to_string(end) + " bytes for " + std::to_string(h.BlockCount) + " blocks of " +
                std::to_string(h.BlockSize) + " and " + std::to_string(h.RootCount) + " root slots; the file has " +
                std::to_string(file_size_));
  }

  if (data_offset_ - kVfsFixedHeaderSize > kVfsTableLimit) {
    return Fail("the tables before the data area at " + Hex(data_offset_) + " exceed " + std::to_string(kVfsTableLimit) + " bytes");
  }
  // Text, used count, links and root table lie back to back: one read, one cursor.
  TBytes tables(static_cast<size_t>(data_offset_ - kVfsFixedHeaderSize));
  if (!ReadAt(kVfsFixedHeaderSize, tables.data(), tables.size())) return Fail("cannot read the tables at offset 48");
  TBufferManager cursor(tables.data(), tables.size());
  header_.Text = cursor.ReadChunk(kVfsStandardTextLength);
  header_.Further = cursor.ReadChunk(h.TextLength - kVfsStandardTextLength);
  header_.UsedBlocks = ReadU32(cursor);
  links_.resize(h.BlockCount);
  free_blocks_ = 0;
  for (TVFSLink& link : links_) {
    link.InUse = ReadU32(cursor);
    link.Next = cursor.ReadInt32();
    free_blocks_ += link.Free();
  }
  lowest_free_hint_ = 1;
  root_.resize(h.RootCount);
  for (uint32_t slot = 0; slot < h.RootCount; ++slot) {
    root_[slot] = DecodeEntryRecord(cursor);
    if (!root_[slot].Name.empty()) tree_.AddRootEntry(slot, root_[slot]);
  }

  if (hash_mode) {
    std::string why;
    if (!tree_.LoadDirectories(progress, why)) return Fail(why);
  } else {
    hash_file_.Load(HashFilePath(path), files_);
  }
  return true;
}

// ---------------------------------------------------------------- reading

bool TVFSFile::ReadAt(uint64_t offset, void* buffer, size_t n) {
  if (n == 0) return true;
  if (!file_ || offset > file_size_ || n > file_size_ - offset) return false;
  return file_->ReadAt(offset, buffer, n) == n;
}

bool TVFSFile::WalkChain(uint32_t first, std::vector<uint32_t>& blocks, std::string& error) const {
  blocks.clear();
  const uint32_t n = header_.BlockCount;
  int64_t block = first;
  while (true) {
    if (block < 1 || block > n) {
      error = "chain from block " + std::to_string(first) + ": block " + std::to_string(block) + " after " +
              std::to_string(blocks.size()) + " blocks is outside 1.." + std::to_string(n);
      return false;
    }
    const TVFSLink& link = links_[static_cast<size_t>(block - 1)];
    if (link.Free()) {
      error = "chain from block " + std::to_string(first) + " runs into free block " + std::to_string(block);
      return false;
    }
    if (blocks.size() == n) {
      error = "chain from block " + std::to_string(first) + " is longer than the " + std::to_string(n) +
              " blocks of the archive (it loops)";
      return false;
    }
    blocks.push_back(static_cast<uint32_t>(block));
    if (link.Next == kVfsChainEnd) return true;
    block = link.Next;
  }
}

std::vector<uint32_t> TVFSFile::CollectChain(uint32_t first) const {
  std::vector<uint32_t> blocks;
  std::string error;
  if (!WalkChain(first, blocks, error)) throw ESetupError("VFS archive " + path_ + ": " + error);
  return blocks;
}

bool TVFSFile::ReadStored(const TVFSEntry& entry, TBytes& out) {
  out.clear();
  if (entry.StoredSize == 0) return true;
  const uint32_t b = header_.BlockSize;
  const std::string who = "entry '" + entry.Name + "': its chain from " + std::to_string(entry.FirstBlock);
  // The stored size can need no more blocks than the archive has: this bounds both the
  // allocation and the walk.
  if (entry.StoredSize > static_cast<uint64_t>(header_.BlockCount) * b) {
    error_ = "entry '" + entry.Name + "' stores " + std::to_string(entry.StoredSize) + " bytes, more than the " +
             std::to_string(header_.BlockCount) + " blocks of " + std::to_string(b) + " hold";
    return false;
  }
  // The blocks first, so that a chain which loops is known before anything is read.
  const uint32_t wanted = BlocksFor(entry.StoredSize);
  std::vector<uint32_t> blocks;
  blocks.reserve(wanted);
  int64_t block = entry.FirstBlock;
  while (blocks.size() < wanted) {
    if (block < 1 || block > header_.BlockCount) {
      error_ = who + ": block " + std::to_string(block) + " is outside 1.." + std::to_string(header_.BlockCount);
      return false;
    }
    const TVFSLink& link = links_[static_cast<size_t>(block - 1)];
    if (link.Free()) {
      error_ = who + " runs into free block " + std::to_string(block);
      return false;
    }
    blocks.push_back(static_cast<uint32_t>(block));
    if (blocks.size() < wanted && link.Next == kVfsChainEnd) {
      error_ = who + " ends after " + std::to_string(blocks.size()) + " blocks, " + std::to_string(blocks.size() * uint64_t{b}) +
               " of " + std::to_string(entry.StoredSize) + " bytes";
      return false;
    }
    block = link.Next;
  }
  std::vector<uint32_t> sorted = blocks;
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end()) {
    error_ = who + " visits block " + std::to_string(*twice) + " twice (it loops)";
    return false;
  }
  out.resize(entry.StoredSize);
  size_t done = 0;
  for (uint32_t k : blocks) {
    const size_t n = std::min<size_t>(b, out.size() - done);
    if (!ReadAt(BlockOffset(k), out.data() + done, n)) {
      error_ = who + ": cannot read block " + std::to_string(k) + " at " + Hex(BlockOffset(k));
      out.clear();
      return false;
    }
    done += n;
  }
  return true;
}

std::unique_ptr<TVFSFileBuffer> TVFSFile::ReadEntry(const TVFSEntry& entry) {
  TBytes bytes;
  if (entry.StoredSize == 0 || !ReadStored(entry, bytes)) return nullptr;
  return std::make_unique<TVFSFileBuffer>(std::move(bytes));
}

bool TVFSFile::ReadContent(const TVFSEntry& entry, TBytes& out) {
  TBytes stored;
  if (!ReadStored(entry, stored)) return false;
  if (!entry.IsCompressed()) {
    out = std::move(stored);
    return true;
  }
  out.clear();
  TBufferManager cursor(stored.data(), stored.size());
  size_t chunk = 0;
  while (out.size() < entry.ContentSize) {
    const size_t at = cursor.Position();
    if (cursor.Remaining() < 4) {
      error_ = "entry '" + entry.Name + "': chunk " + std::to_string(chunk) + " at " + std::to_string(at) +
               " missing, " + std::to_string(out.size()) + " of " + std::to_string(entry.ContentSize) + " bytes unpacked";
      return false;
    }
    const uint32_t length = ReadU32(cursor);
    if (length == 0 || length > cursor.Remaining()) {
      error_ = "entry '" + entry.Name + "': chunk " + std::to_string(chunk) + " at " + std::to_string(at) + " claims " +
               std::to_string(length) + " bytes, " + std::to_string(cursor.Remaining()) + " are left";
      return false;
    }
    // Every chunk but the last unpacks to exactly 50,000 bytes, and uses all its bytes.
    const size_t expected = std::min<size_t>(kVfsChunkSize, entry.ContentSize - out.size());
    TBytes piece;
    std::string why;
    size_t used = 0;
    if (!InflateExactly(stored.data() + cursor.Position(), length, expected, piece, why, &used) || used != length) {
      error_ = "entry '" + entry.Name + "': chunk " + std::to_string(chunk) + " at " + std::to_string(at) +
               " does not unpack to " + std::to_string(expected) + " bytes";
      out.clear();
      return false;
    }
    out.insert(out.end(), piece.begin(), piece.end());
    cursor.Seek(cursor.Position() + length);
    ++chunk;
  }
  if (cursor.Remaining() != 0) {
    error_ = "entry '" + entry.Name + "': " + std::to_string(cursor.Remaining()) + " stored bytes after the last chunk";
    out.clear();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- changing

uint32_t TVFSFile::BlocksFor(uint64_t size) const {
  const uint64_t b = header_.BlockSize;
  if (b == 0) return size == 0 ? 1 : UINT32_MAX;  // no archive open
  const uint64_t blocks = size == 0 ? 1 : (size + b - 1) / b;
  return blocks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(blocks);
}

uint32_t TVFSFile::FreeRootSlots() const {
  uint32_t n = 0;
  for (const TVFSEntry& e : root_) n += e.Name.empty();
  return n;
}

void TVFSFile::WriteFailed(const std::string& what) {
  const std::string why = file_ ? file_->LastError() : std::string("it is not open");
  throw ESetupError("VFS archive " + path_ + ": " + what + (why.empty() ? "" : ": " + why));
}

void TVFSFile::WriteAt(uint64_t offset, const void* data, size_t n) {
  if (!journaled_ || file_->WriteAt(offset, data, n) != n) {
    WriteFailed("cannot write " + std::to_string(n) + " bytes at " + Hex(offset));
  }
}

std::vector<uint32_t> TVFSFile::AllocateBlocks(uint32_t count) {
  if (count > free_blocks_) {
    throw ESetupError("VFS archive " + path_ + " is full: " + std::to_string(count) + " blocks needed, " +
                      std::to_string(free_blocks_) + " free");
  }
  std::vector<uint32_t> blocks;
  blocks.reserve(count);
  for (uint32_t k = lowest_free_hint_; k <= header_.BlockCount && blocks.size() < count; ++k) {
    if (links_[k - 1].Free()) blocks.push_back(k);
  }
  if (blocks.size() < count) throw ESetupError("VFS archive " + path_ + ": free block count out of step with the links");
  lowest_free_hint_ = blocks.front();
  return blocks;
}

// Writes the links of blocks, as one chain in the given order or as free links; consecutive
// blocks go out in one write.
void TVFSFile::WriteLinks(const std::vector<uint32_t>& blocks, bool chain) {
  size_t i = 0;
  while (i < blocks.size()) {
    size_t run = 1;
    while (i + run < blocks.size() && blocks[i + run] == blocks[i] + run) ++run;
    TBytes bytes(run * kVfsLinkSize, 0);
    for (size_t j = 0; j < run; ++j) {
      TVFSLink link;
      if (chain) link = {1, i + j + 1 < blocks.size() ? static_cast<int32_t>(blocks[i + j + 1]) : kVfsChainEnd};
      StoreLE32(&bytes[j * kVfsLinkSize], link.InUse);
      StoreLE32(&bytes[j * kVfsLinkSize + 4], static_cast<uint32_t>(link.Next));
    }
    WriteAt(links_offset_ + static_cast<uint64_t>(blocks[i] - 1) * kVfsLinkSize, bytes.data(), bytes.size());
    for (size_t j = 0; j < run; ++j) {
      TVFSLink& link = links_[blocks[i + j] - 1];
      const bool was_free = link.Free();
      link.InUse = chain ? 1 : 0;
      link.Next = chain ? (i + j + 1 < blocks.size() ? static_cast<int32_t>(blocks[i + j + 1]) : kVfsChainEnd) : 0;
      if (was_free && !link.Free()) --free_blocks_;
      if (!was_free && link.Free()) {
        ++free_blocks_;
        lowest_free_hint_ = std::min(lowest_free_hint_, blocks[i + j]);
      }
    }
    i += run;
  }
}

// Writes size bytes along blocks, each block's unused tail zero.
void TVFSFile::WriteBlocks(const std::vector<uint32_t>& blocks, const uint8_t* bytes, size_t size) {
  const size_t b = header_.BlockSize;
  size_t i = 0;
  size_t done = 0;
  TBytes zeros;
  while (i < blocks.size()) {
    size_t run = 1;
    while (i + run < blocks.size() && blocks[i + run] == blocks[i] + run) ++run;
    const size_t room = run * b;
    const size_t n = std::min(room, size - done);
    const uint64_t at = BlockOffset(blocks[i]);
    if (n) WriteAt(at, bytes + done, n);
    if (n < room) {
      if (zeros.size() < std::min(room - n, size_t{1} << 20)) zeros.assign(std::min(room - n, size_t{1} << 20), 0);
      for (size_t z = n; z < room;) {
        const size_t piece = std::min(zeros.size(), room - z);
        WriteAt(at + z, zeros.data(), piece);
        z += piece;
      }
    }
    done += n;
    i += run;
  }
}

void TVFSFile::WriteFile(TVFSEntry& entry, const uint8_t* bytes, size_t size) {
  if (bytes != nullptr && size == 0) throw ESetupError("WriteFile: Error Buffer is Assigned but size is 0");
  if (size > UINT32_MAX) throw ESetupError("WriteFile: " + std::to_string(size) + " bytes do not fit an entry");
  const std::vector<uint32_t> blocks = AllocateBlocks(BlocksFor(size));
  // Data first, links after: until the links are written the blocks still count as free.
  WriteBlocks(blocks, bytes, size);
  WriteLinks(blocks, true);
  entry.FirstBlock = blocks.front();
  entry.StoredSize = static_cast<uint32_t>(size);
  entry.Date = Today();
}

void TVFSFile::RewriteInPlace(TVFSEntry& entry, const uint8_t* bytes, size_t size) {
  const std::vector<uint32_t> blocks = CollectChain(entry.FirstBlock);
  if (static_cast<uint64_t>(blocks.size()) * header_.BlockSize < size) {
    throw ESetupError("VFS archive " + path_ + ": " + std::to_string(size) + " bytes do not fit the " +
                      std::to_string(blocks.size()) + " blocks of '" + entry.Name + "'");
  }
  WriteBlocks(blocks, bytes, size);
  entry.StoredSize = static_cast<uint32_t>(size);
  entry.Date = Today();
}

void TVFSFile::FreeChain(const TVFSEntry& entry) { WriteLinks(CollectChain(entry.FirstBlock), false); }

void TVFSFile::WriteRootRecord(uint32_t slot, const TVFSEntry& entry) {
  if (slot >= root_.size()) throw ESetupError("VFS archive " + path_ + ": root slot " + std::to_string(slot) + " out of range");
  uint8_t record[kVfsEntryRecordSize];
  EncodeEntryRecord(entry, record);
  WriteAt(root_offset_ + static_cast<uint64_t>(slot) * kVfsEntryRecordSize, record, sizeof record);
  root_[slot] = entry;
}

void TVFSFile::ZeroRootRecord(uint32_t slot) {
  if (slot >= root_.size()) throw ESetupError("VFS archive " + path_ + ": root slot " + std::to_string(slot) + " out of range");
  const uint8_t zeros[kVfsEntryRecordSize] = {};
  WriteAt(root_offset_ + static_cast<uint64_t>(slot) * kVfsEntryRecordSize, zeros, sizeof zeros);
}

int32_t TVFSFile::TakeRootSlot(const std::string& name) {
  for (size_t slot = 0; slot < root_.size(); ++slot) {
    if (root_[slot].Name.empty()) {
      root_[slot] = TVFSEntry();
      root_[slot].Name = name;
      return static_cast<int32_t>(slot);
    }
  }
  return -1;
}

void TVFSFile::Flush() {
  if (file_ && !file_->Flush()) WriteFailed("cannot flush");
}

// ---------------------------------------------------------------- saving

bool TVFSFile::ComputeDigest(uint8_t digest[16]) {
  auto md5 = NewMd5();
  if (!md5) return false;
  TBytes piece(kDigestPiece);
  file_size_ = file_->Size();
  for (uint64_t at = kVfsDigestedFrom; at < file_size_;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), file_size_ - at));
    if (!ReadAt(at, piece.data(), n) || !md5->Update(piece.data(), n)) throw ESetupError("MD5 Error");
    at += n;
  }
  if (!md5->Final(digest)) throw ESetupError("MD5 Error");
  return true;
}

std::unique_ptr<TJournaledFile> TVFSFile::WriteIndex(const TBytes& bytes) {
  const std::string path = HashFilePath(path_);
  std::unique_ptr<TArchiveFile> file = files_.Exists(path) ? files_.OpenForUpdate(path) : files_.Create(path);
  if (!file) throw ESetupError("cannot write the VFS index " + path);
  auto index = std::make_unique<TJournaledFile>(files_, path, std::move(file));
  const bool written = index->WriteAt(0, bytes.data(), bytes.size()) == bytes.size() &&
                       index->Truncate(bytes.size()) && index->Sync();
  if (!written) {
    const std::string why = index->LastError();
    throw ESetupError("cannot write the VFS index " + path + " (" + std::to_string(bytes.size()) + " bytes)" +
                      (why.empty() ? "" : ": " + why));
  }
  return index;
}

void TVFSFile::Save(bool without_digest) {
  if (!journaled_) throw ESetupError("VFS archive: save without an archive open for update");
  header_.UsedBlocks = UsedBlocks();
  TBytes tail(4 + header_.Text.size() + header_.Further.size() + 4);
  StoreLE32(&tail[0], header_.TextLength);
  std::copy(header_.Text.begin(), header_.Text.end(), tail.begin() + 4);
  std::copy(header_.Further.begin(), header_.Further.end(), tail.begin() + 4 + header_.Text.size());
  StoreLE32(&tail[tail.size() - 4], header_.UsedBlocks);
  WriteAt(kVfsDigestedFrom, tail.data(), tail.size());
  Flush();

  if (without_digest) {
    std::memset(header_.Digest, 0, sizeof header_.Digest);
  } else {
    uint8_t digest[16];
    if (ComputeDigest(digest)) std::memcpy(header_.Digest, digest, sizeof digest);
  }
  uint8_t head[kVfsDigestedFrom];
  StoreLE32(head + 0, header_.Identifier);
  StoreLE32(head + 4, header_.BlockSize);
  StoreLE32(head + 8, header_.BlockCount);
  StoreLE32(head + 12, header_.RootCount);
  for (int i = 0; i < 3; ++i) StoreLE32(head + 16 + 4 * i, header_.Carried[i]);
  std::memcpy(head + kVfsDigestOffset, header_.Digest, sizeof header_.Digest);
  WriteAt(0, head, sizeof head);
  if (!file_->Sync()) WriteFailed("cannot write the header");

  // The index is written and synced under its own journal while the archive's still stands,
  // so that undoing the change undoes both; removing the archive's journal commits both.
  std::unique_ptr<TJournaledFile> index;
  const std::string index_path = HashFilePath(path_);
  bool drop_index = false;  // an archive without files has no index: emptied now, removed after the commit
  if (hash_mode_ && tree_.HasFiles()) {
    index = WriteIndex(TVFSHashFile::Serialize(tree_.HashRecords()));
  } else if (hash_mode_ && files_.Exists(index_path)) {
    index = WriteIndex({});
    drop_index = true;
  } else if (!hash_mode_ && hash_file_.Loaded) {
    index = WriteIndex(TVFSHashFile::Serialize(hash_file_.Records));
  }
  if (!journaled_->Commit()) WriteFailed("cannot commit the change");
  if (index) {
    index->Commit();  // its journal, left over, is removed by the next opening
    index.reset();
    if (drop_index) files_.Remove(index_path);
  }
}

}  // namespace setup
