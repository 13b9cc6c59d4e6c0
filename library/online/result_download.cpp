// Result download and unpacking: collects the retrieval body, gunzips it and
// packs its bytes, little-endian, into the caller's words.
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "online_client.h"

namespace {

using qern_online::download_buffer;
using qern_online::kDecompressionArea;
using qern_online::print_diagnostic;

// A gzip stream of at most 65536 bytes is far smaller than this even when
// stored uncompressed; a longer download is not a result, and collecting it
// would let a service grow the caller's memory without bound.
constexpr size_t kLongestDownload = size_t{1} << 20;

const char kNotReadyJson[] = "{\"message\":";
const char kNotReadyXml[] = "<?xml version=\"1.0\" encoding=";
constexpr size_t kJsonPrefix = 10;
constexpr size_t kXmlPrefix = 15;

// Ends the inflate stream on every way out of gunzip.
class inflate_stream {
 public:
  inflate_stream() = default;
  inflate_stream(const inflate_stream &) = delete;
  inflate_stream &operator=(const inflate_stream &) = delete;
  ~inflate_stream() {
    if (open_) {
      inflateEnd(&stream_);
    }
  }
  int init(int window_bits) {
    const int status = inflateInit2(&stream_, window_bits);
    open_ = status == Z_OK;
    return status;
  }
  int end() {
    open_ = false;
    return inflateEnd(&stream_);
  }
  z_stream *get() { return &stream_; }

 private:
  z_stream stream_{};
  bool open_ = false;
};

}  // namespace

namespace qern_online {

size_t write_memory_callback(char *ptr, size_t element_size, size_t count, void *buffer_data) {
  if (count >= kJsonPrefix && memcmp(ptr, kNotReadyJson, kJsonPrefix) == 0) {
    return 0;
  }
  auto *buffer = static_cast<download_buffer *>(buffer_data);
  if (count >= kXmlPrefix && memcmp(ptr, kNotReadyXml, kXmlPrefix) == 0) {
    // One delivery of the document: the rest of the key it quotes may be in
    // the next.
    try {
      const std::string shown =
          qern_online::hide_key(std::string_view(ptr, count),
                                buffer->hidden_key != nullptr ? buffer->hidden_key : "", true);
      print_diagnostic("Output is not expected binary, got %.*s",
                       static_cast<int>(std::min<size_t>(shown.size(), INT_MAX)), shown.data());
    } catch (const std::bad_alloc &) {
      print_diagnostic("Output is not expected binary\n");  // no exception into libcurl
    }
    return 0;
  }
  const size_t length = element_size * count;
  if (length == 0) {
    return 0;  // nothing to add; realloc must never be asked for 0 bytes
  }
  if (length > kLongestDownload - buffer->size) {
    print_diagnostic("Result payload longer than %zu bytes, refused\n", kLongestDownload);
    return 0;
  }
  auto *grown = static_cast<unsigned char *>(realloc(buffer->data, buffer->size + length));
  if (grown == nullptr) {
    print_diagnostic("not enough memory (realloc returned NULL)\n");
    return 0;
  }
  memcpy(grown + buffer->size, ptr, length);
  buffer->data = grown;
  buffer->size += length;
  return length;
}

}  // namespace qern_online

// Decodes every gzip member of the input, one after another, into one output
// area, as gunzip does; bytes after the last member that do not start another
// member fail the decode.
int qern_online::gunzip_members(unsigned char *out, uint64_t *out_len, const unsigned char *in,
                                uint64_t in_len) {
  if (in_len > UINT32_MAX || *out_len > UINT32_MAX) {
    return Z_BUF_ERROR;
  }
  inflate_stream stream;
  z_stream *z = stream.get();
  z->next_in = const_cast<unsigned char *>(in);
  z->avail_in = static_cast<uInt>(in_len);
  z->next_out = out;
  z->avail_out = static_cast<uInt>(*out_len);
  const int init_status = stream.init(15 + 16);  // gzip wrapper only
  if (init_status != Z_OK) {
    return init_status;
  }
  uint64_t produced = 0;
  while (true) {
    const int status = inflate(z, Z_FINISH);
    if (status != Z_STREAM_END) {
      return status == Z_OK ? Z_BUF_ERROR : status;
    }
    produced = static_cast<uint64_t>(*out_len) - z->avail_out;
    if (z->avail_in == 0) {
      break;
    }
    // Another member follows (or garbage, which its header check refuses).
    const int reset = inflateReset(z);
    if (reset != Z_OK) {
      return reset;
    }
  }
  *out_len = produced;
  return stream.end();
}

int qern_online::decode_payload(const download_buffer &download, unsigned char *area,
                                uint64_t *length) {
  uint64_t n = kDecompressionArea;
  const int status = gunzip_members(area, &n, download.data, download.size);
  if (status != Z_OK) {
    return status;
  }
  while (n > 0 && area[n - 1] == 0) {
    --n;
  }
  *length = n;
  return Z_OK;
}

bool qern_online::payload_fits(const unsigned char *bytes, uint64_t length, uint64_t total) {
  const uint64_t last = total / 8;
  const unsigned bit = static_cast<unsigned>(total % 8);
  if (length == 0 || (bytes[0] & 1) == 0 || length != last + 1) {
    return false;  // bit 0 unset, or the last non-zero byte is not that of bit T
  }
  const unsigned top = bytes[last];
  return (top >> bit) == 1;  // bit T set and nothing above it
}

void qern_online::pack_payload(const unsigned char *bytes, uint64_t length,
                               const unpack_target &target) {
  const size_t capacity = *target.word_count;
  std::fill_n(target.words, capacity, uint64_t{0});
  for (uint64_t i = 0; i < length; ++i) {
    if (i / 8 >= capacity) {
      print_diagnostic("Overrun output size\n");
      break;
    }
    target.words[i / 8] |= uint64_t{bytes[i]} << (8 * (i % 8));
  }
}
