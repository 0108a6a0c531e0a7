// Fuzz target: whole-buffer inflation against zlib's.
//
// The input is a 3-byte expected size (below 1 MiB) and a stream. InflateExactly inflates with
// libdeflate and hands what it refuses to zlib; zlib's inflate alone, run here as the
// reference, must agree on every input: the same verdict, the same bytes, the same count of
// stream bytes used.
#include <zlib.h>

#include <cstdint>
#include <string>

#include "core/deflate.h"
#include "fuzz_check.h"

namespace {

using namespace setup;

bool ZlibExactly(const uint8_t* data, size_t size, size_t expected, TBytes& out, size_t& used) {
  out.assign(expected + 1, 0);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&zs, Z_FINISH);
  used = zs.total_in;
  const bool ok = rc == Z_STREAM_END && zs.total_out == expected;
  inflateEnd(&zs);
  out.resize(ok ? expected : 0);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t expected = data[0] | (data[1] << 8) | ((data[2] & 0x0F) << 16);
  const uint8_t* stream = data + 3;
  const size_t stream_size = size - 3;
  if (expected > MostInflatedBytes(stream_size)) return 0;  // refused before either codec runs

  TBytes ours, reference;
  std::string error;
  size_t ours_used = 0, reference_used = 0;
  const bool ok = InflateExactly(stream, stream_size, expected, ours, error, &ours_used);
  const bool reference_ok = ZlibExactly(stream, stream_size, expected, reference, reference_used);
  if (ok != reference_ok) {
    setup::fuzzing::FailCheck("fuzz_inflate",
                              ok ? "inflated a stream zlib refuses" : "refused a stream zlib inflates: " + error);
  }
  if (ok && (ours != reference || ours_used != reference_used)) {
    setup::fuzzing::FailCheck("fuzz_inflate", "inflated other bytes than zlib, or used other stream bytes");
  }
  return 0;
}
