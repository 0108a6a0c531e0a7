// The deflate codec: libdeflate deflates and inflates; zlib judges the streams libdeflate refuses.
//
// Inflating asks for one byte more than expected, so a stream that runs long is told from one
// that ends exactly; the byte is dropped again on success.
#include "core/deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "core/error.h"

namespace setup {

namespace {

// zlib's inflate, the reference: it also tells a stream that ends early from one that is not
// valid.
bool ZlibInflateExactly(const uint8_t* data, size_t size, uint64_t expected, TBytes& out, std::string& error,
                        size_t* used) {
  out.assign(static_cast<size_t>(expected) + 1, 0);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    out.clear();
    error = "zlib could not start";
    return false;
  }
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  const uint64_t produced = zs.total_out;
  if (used) *used = static_cast<size_t>(zs.total_in);
  inflateEnd(&zs);
  if (rc == Z_STREAM_END && produced == expected) {
    out.resize(static_cast<size_t>(expected));
    return true;
  }
  out.clear();
  if (produced > expected) {
    error = "stream inflates to more than " + std::to_string(expected) + " bytes";
  } else if (rc == Z_STREAM_END) {
    error = "stream inflates to " + std::to_string(produced) + " bytes, " + std::to_string(expected) + " expected";
  } else if (rc == Z_BUF_ERROR) {
    error = "stream ends after " + std::to_string(produced) + " of " + std::to_string(expected) + " bytes";
  } else {
    error = "stream is not valid zlib data after " + std::to_string(produced) + " bytes";
  }
  return false;
}

using TDecompressor = std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)>;

// A decompressor for one call: its tables are a few kilobytes, made in microseconds, and no
// state outlives the call (nothing for a thread's end or the program's exit to take down).
TDecompressor NewDecompressor() {
  return TDecompressor(libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
}

using TCompressor = std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)>;

}  // namespace

TBytes Deflate(const uint8_t* data, size_t size, int level) {
  level = std::clamp(level, kFastestDeflateLevel, kSmallestDeflateLevel);
  const TCompressor c(libdeflate_alloc_compressor(level), libdeflate_free_compressor);
  if (!c) throw ESetupError("deflate could not start for " + std::to_string(size) + " bytes");
  TBytes out(libdeflate_zlib_compress_bound(c.get(), size));
  // The bound always holds the stream, so 0 (no room) cannot happen.
  out.resize(libdeflate_zlib_compress(c.get(), data, size, out.data(), out.size()));
  if (out.empty()) throw ESetupError("deflate failed for " + std::to_string(size) + " bytes");
  out.shrink_to_fit();  // callers hold many streams at once: only the stream's bytes stay
  return out;
}

bool FastInflateExactly(const uint8_t* data, size_t size, uint8_t* out, size_t expected, size_t* used) {
  const TDecompressor d = NewDecompressor();
  size_t in_used = 0, produced = 0;
  const bool inflated =
      d && libdeflate_zlib_decompress_ex(d.get(), data, size, out, expected + 1, &in_used, &produced) ==
               LIBDEFLATE_SUCCESS;
  if (!inflated || produced != expected) return false;
  if (used) *used = in_used;
  return true;
}

bool InflateExactly(const uint8_t* data, size_t size, uint64_t expected, TBytes& out, std::string& error,
                    size_t* used) {
  out.clear();
  if (used) *used = 0;
  // Each buffer is taken in one call: neither may pass 32-bit lengths.
  if (expected > MostInflatedBytes(size) || expected >= UINT32_MAX || size > UINT32_MAX) {
    error = std::to_string(size) + " compressed bytes cannot inflate to " + std::to_string(expected);
    return false;
  }
  // libdeflate inflates the sound streams; whatever it refuses goes to zlib, whose verdict and
  // words stand, so the outcome is zlib's for every input.
  out.resize(static_cast<size_t>(expected) + 1);
  if (FastInflateExactly(data, size, out.data(), static_cast<size_t>(expected), used)) {
    out.resize(static_cast<size_t>(expected));
    return true;
  }
  return ZlibInflateExactly(data, size, expected, out, error, used);
}

}  // namespace setup
