// Result download: the write callback's filtering and accumulation, gzip-only
// decoding, and the packing of the bytes into a short or long capacity.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "contract_names.h"
#include "deflated.h"
#include "qern_lib.h"

namespace {

using Bytes = std::vector<unsigned char>;

using qern_test::deflate_bytes;

struct Download {
  qern_online::download_buffer buffer{static_cast<unsigned char *>(malloc(1)), 0, nullptr};
  ~Download() { free(buffer.data); }

  size_t deliver(std::string bytes) {
    return qern_online::write_memory_callback(bytes.data(), 1, bytes.size(), &buffer);
  }
  void deliver_bytes(const Bytes &bytes) {
    std::string copy(bytes.begin(), bytes.end());
    ASSERT_EQ(deliver(copy), copy.size());
  }
  std::string held() const { return std::string(buffer.data, buffer.data + buffer.size); }
};

TEST(WriteCallback, RefusesTheNotReadyJsonSilently) {
  Download download;
  testing::internal::CaptureStdout();
  EXPECT_EQ(download.deliver("{\"message\":\"Result not ready\"}"), 0u);
  EXPECT_EQ(download.deliver("{\"message\""), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(download.buffer.size, 0u);
  EXPECT_EQ(download.deliver("{\"message"), 9u);  // nine bytes are not the prefix
  EXPECT_EQ(download.held(), "{\"message");
}

TEST(WriteCallback, PrintsAndRefusesAnXmlDocument) {
  Download download;
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error/>";
  testing::internal::CaptureStdout();
  EXPECT_EQ(download.deliver(xml), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Output is not expected binary, got " + xml);
  EXPECT_EQ(download.buffer.size, 0u);
}

// An object store's document may quote the key it was sent, and the next
// delivery may hold the rest of it.
TEST(WriteCallback, HidesTheKeyInTheXmlDocumentItPrints) {
  Download download;
  download.buffer.hidden_key = "k3y-SECRET";
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Key>";
  testing::internal::CaptureStdout();
  EXPECT_EQ(download.deliver(head + "k3y-SECRET</Key><Key>k3y-SE"), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Output is not expected binary, got " + head + "***</Key><Key>***");
  EXPECT_EQ(download.buffer.size, 0u);
}

TEST(WriteCallback, AccumulatesDeliveriesInOrder) {
  Download download;
  EXPECT_EQ(download.deliver("abc"), 3u);
  EXPECT_EQ(download.deliver("{\"message\":1}"), 0u);
  EXPECT_EQ(download.deliver("de"), 2u);
  EXPECT_EQ(download.held(), "abcde");
}

TEST(WriteCallback, RefusesToCollectMoreThanOneMebibyte) {
  Download download;
  const std::string block(256 * 1024, 'x');
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(download.deliver(block), block.size());
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(download.deliver("y"), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Result payload longer than 1048576 bytes, refused\n");
  EXPECT_EQ(download.buffer.size, 4u * block.size());
}

TEST(Gunzip, DecodesGzipAndReportsItsLength) {
  const Bytes plain = {1, 2, 3, 0, 0, 9};
  const Bytes packed = deflate_bytes(plain);
  Bytes out(100, 0xEE);
  uint64_t length = out.size();
  EXPECT_EQ(gunzip(out.data(), &length, packed.data(), packed.size()), Z_OK);
  ASSERT_EQ(length, plain.size());
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
}

struct BadInput {
  const char *name;
  Bytes data;
};

class GunzipRefuses : public ::testing::TestWithParam<BadInput> {};

TEST_P(GunzipRefuses, AndLeavesTheLengthAlone) {
  Bytes out(16);
  uint64_t length = out.size();
  EXPECT_NE(gunzip(out.data(), &length, GetParam().data.data(), GetParam().data.size()), Z_OK);
  EXPECT_EQ(length, out.size());
}

Bytes truncated(Bytes bytes) {
  bytes.resize(bytes.size() / 2);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Gunzip, GunzipRefuses,
    ::testing::Values(BadInput{"zlib_wrapper", deflate_bytes({1, 2, 3}, 15)},
                      BadInput{"raw_deflate", deflate_bytes({1, 2, 3}, -15)}, BadInput{"empty", {}},
                      BadInput{"cut_short", truncated(deflate_bytes(Bytes(40, 7)))},
                      BadInput{"too_long", deflate_bytes(Bytes(17, 1))},
                      BadInput{"not_compressed", {'h', 'e', 'l', 'l', 'o'}}),
    [](const auto &info) { return std::string(info.param.name); });

// Decodes `plain` (gzipped) into `capacity` words prefilled with a marker.
struct Unpacked {
  int status;
  std::vector<uint64_t> words;
  std::string printed;
};

Unpacked unpack(const Bytes &plain, size_t capacity, bool compress = true) {
  Download download;
  download.deliver_bytes(compress ? deflate_bytes(plain) : plain);
  std::vector<uint64_t> words(capacity + 1, 0xA5A5A5A5A5A5A5A5ull);
  size_t count = capacity;
  const qern_online::unpack_target target{words.data(), &count};
  testing::internal::CaptureStdout();
  const int status = _unzip_data(&download.buffer, &target);
  EXPECT_EQ(count, capacity);
  return {status, words, testing::internal::GetCapturedStdout()};
}

constexpr uint64_t kMarker = 0xA5A5A5A5A5A5A5A5ull;

TEST(UnzipData, PacksLittleEndianAndTrimsZeroBytes) {
  const Unpacked u = unpack({1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0}, 2);
  EXPECT_EQ(u.status, Z_OK);
  EXPECT_EQ(u.words, (std::vector<uint64_t>{1, 0x80, kMarker}));
  EXPECT_EQ(u.printed, "");
}

TEST(UnzipData, AShortPayloadLeavesZeroWordsBehindIt) {
  const Unpacked u = unpack({1, 2, 3}, 3);
  EXPECT_EQ(u.words, (std::vector<uint64_t>{3 * 65536 + 2 * 256 + 1, 0, 0, kMarker}));
}

TEST(UnzipData, StopsAtTheCapacityWithOverrun) {
  const Unpacked u = unpack(Bytes(9, 0xFF), 1);
  EXPECT_EQ(u.status, Z_OK);
  EXPECT_EQ(u.words[0], UINT64_MAX);
  EXPECT_EQ(u.words[1], kMarker);
  EXPECT_EQ(u.printed, "Overrun output size\n");
}

TEST(UnzipData, TrailingZeroWordsDoNotOverrun) {
  Bytes plain(16, 0);
  for (int i = 0; i < 8; ++i)
    plain[i] = 0x11;
  const Unpacked u = unpack(plain, 1);
  EXPECT_EQ(u.words[0], 0x1111111111111111ull);
  EXPECT_EQ(u.printed, "");
}

TEST(UnzipData, AnAllZeroPayloadWritesZeros) {
  const Unpacked u = unpack(Bytes(24, 0), 2);
  EXPECT_EQ(u.words, (std::vector<uint64_t>{0, 0, kMarker}));
}

TEST(UnzipData, TheLargestResultFitsAndOneByteMoreFails) {
  Bytes plain(65536, 0x5A);
  Unpacked u = unpack(plain, 8192);
  EXPECT_EQ(u.status, Z_OK);
  EXPECT_EQ(u.words[8191], 0x5A5A5A5A5A5A5A5Aull);
  plain.push_back(1);
  u = unpack(plain, 8193);
  EXPECT_NE(u.status, Z_OK);
  EXPECT_EQ(u.words[0], kMarker);  // nothing packed
}

TEST(UnzipData, DataThatIsNotGzipFailsWithoutPacking) {
  const Unpacked u = unpack({'n', 'o', 'p', 'e'}, 1, false);
  EXPECT_NE(u.status, Z_OK);
  EXPECT_EQ(u.words[0], kMarker);
}

}  // namespace
