#include "core/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "test_files.h"

namespace setup {
namespace {

using testing::TextBytes;

// zlib's inflate alone: the verdict every decoder of the system must share.
bool ZlibGives(const TBytes& stream, size_t expected, TBytes& out) {
  out.assign(expected + 1, 0);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const bool ok = inflate(&zs, Z_FINISH) == Z_STREAM_END && zs.total_out == expected;
  inflateEnd(&zs);
  out.resize(ok ? expected : 0);
  return ok;
}

// Damaged streams: flipped bytes all along, cuts, a wrong Adler-32, a stream longer or shorter
// than expected. libdeflate alone, and the inflation the system uses, give zlib's verdict and
// zlib's bytes for each.
TEST(Deflate, DamagedStreamsGetZlibsVerdictFromEitherDecoder) {
  TBytes data = TextBytes(60000);
  for (size_t i = 0; i < data.size(); i += 13) data[i] = static_cast<uint8_t>(i * 31);
  for (int level : {kFastestDeflateLevel, kDefaultDeflateLevel, kSmallestDeflateLevel}) {
    const TBytes good = Deflate(data.data(), data.size(), level);
    struct TCase {
      std::string What;
      TBytes Stream;
      size_t Expected;
    };
    std::vector<TCase> cases = {{"sound", good, data.size()},
                                {"longer than expected", good, data.size() - 1},
                                {"shorter than expected", good, data.size() + 1}};
    TBytes adler = good;
    adler.back() ^= 0x40;
    cases.push_back({"wrong Adler-32", adler, data.size()});
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, good.size() / 2, good.size() - 4, good.size() - 1}) {
      cases.push_back({"cut at " + std::to_string(cut), TBytes(good.begin(), good.begin() + cut), data.size()});
    }
    for (size_t at = 0; at < good.size(); at += 37) {
      TBytes flipped = good;
      flipped[at] ^= static_cast<uint8_t>(1u << (at % 8));
      cases.push_back({"flipped at " + std::to_string(at), flipped, data.size()});
    }
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.What + " at level " + std::to_string(level));
      TBytes reference, fast(c.Expected + 1), ours;
      std::string error;
      const bool zlib_ok = ZlibGives(c.Stream, c.Expected, reference);
      EXPECT_EQ(FastInflateExactly(c.Stream.data(), c.Stream.size(), fast.data(), c.Expected), zlib_ok);
      EXPECT_EQ(InflateExactly(c.Stream.data(), c.Stream.size(), c.Expected, ours, error), zlib_ok);
      EXPECT_EQ(ours, reference);
      EXPECT_EQ(error.empty(), zlib_ok);
    }
  }
}

TEST(Deflate, LevelsOutsideTheRangeAreClampedAndEmptyInputMakesAStream) {
  const TBytes data = TextBytes(5000);
  EXPECT_EQ(Deflate(data.data(), data.size(), 0), Deflate(data.data(), data.size(), kFastestDeflateLevel));
  EXPECT_EQ(Deflate(data.data(), data.size(), 99), Deflate(data.data(), data.size(), kSmallestDeflateLevel));
  const TBytes empty = Deflate(nullptr, 0);
  TBytes out;
  std::string error;
  EXPECT_TRUE(InflateExactly(empty.data(), empty.size(), 0, out, error));
}

}  // namespace
}  // namespace setup
