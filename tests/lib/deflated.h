// Compressed test inputs, made with zlib itself.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

namespace qern_test {

using Bytes = std::vector<unsigned char>;

// plain deflated at level 6: window_bits 31 makes one gzip member, 15 a zlib
// stream, -15 raw deflate.
inline Bytes deflate_bytes(const Bytes &plain, int window_bits = 31) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, plain.size()) + 32);
  z.next_in = const_cast<unsigned char *>(plain.data());
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace qern_test
