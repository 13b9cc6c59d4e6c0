// The retrieval's write callback over up to four deliveries, then the result
// decoded and packed into a short capacity, checked against zlib's own
// inflate of the same bytes, member after member.
#include <fuzzer/FuzzedDataProvider.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "contract_names.h"
#include "qern_lib.h"

namespace {

// The reference decode: every gzip member in turn, as gunzip does, at most
// 65536 bytes in all; -1 when zlib refuses any part of the input.
long reference_gunzip(const std::vector<unsigned char> &in, std::vector<unsigned char> *out) {
  out->assign(65536, 0);
  size_t used = 0;
  size_t produced = 0;
  do {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
      abort();
    z.next_in = const_cast<unsigned char *>(in.data()) + used;
    z.avail_in = static_cast<uInt>(in.size() - used);
    z.next_out = out->data() + produced;
    z.avail_out = static_cast<uInt>(out->size() - produced);
    const int status = inflate(&z, Z_FINISH);
    used += z.total_in;
    produced += z.total_out;
    inflateEnd(&z);
    if (status != Z_STREAM_END)
      return -1;
  } while (used < in.size());
  return static_cast<long>(produced);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t capacity = input.ConsumeIntegralInRange<size_t>(0, 12);
  const int deliveries = input.ConsumeIntegralInRange(1, 4);
  // A short key, so that refused XML documents often hold some of it.
  qern_online::download_buffer buffer{static_cast<unsigned char *>(malloc(1)), 0, "ve"};
  std::vector<unsigned char> accepted;
  for (int i = 0; i < deliveries && input.remaining_bytes() > 0; ++i) {
    const size_t length = i + 1 == deliveries
                              ? input.remaining_bytes()
                              : input.ConsumeIntegralInRange<size_t>(1, input.remaining_bytes());
    std::vector<char> delivery = input.ConsumeBytes<char>(length);
    const size_t taken =
        qern_online::write_memory_callback(delivery.data(), 1, delivery.size(), &buffer);
    if (taken != 0 && taken != delivery.size())
      abort();
    if (taken == 0)
      break;  // not ready: libcurl ends the transfer
    accepted.insert(accepted.end(), delivery.begin(), delivery.end());
  }
  if (buffer.size != accepted.size() ||
      (buffer.size > 0 && memcmp(buffer.data, accepted.data(), buffer.size) != 0)) {
    abort();
  }

  std::vector<uint64_t> words(capacity + 1, 0x5a5a5a5a5a5a5a5aULL);  // one guard word
  size_t word_count = capacity;
  const qern_online::unpack_target target{words.data(), &word_count};
  const int status = _unzip_data(&buffer, &target);
  std::vector<unsigned char> decoded;
  const long length = reference_gunzip(accepted, &decoded);
  if ((status == Z_OK) != (length >= 0))
    abort();
  if (word_count != capacity || words[capacity] != 0x5a5a5a5a5a5a5a5aULL)
    abort();
  if (status == Z_OK) {
    for (size_t k = 0; k < capacity; ++k) {
      uint64_t expected = 0;
      for (size_t b = 0; b < 8 && 8 * k + b < static_cast<size_t>(length); ++b) {
        expected |= uint64_t{decoded[8 * k + b]} << (8 * b);
      }
      if (words[k] != expected)
        abort();
    }
  }
  free(buffer.data);
  return 0;
}
