// The redacted trace over any text and any key of the characters API keys
// are made of: the key never appears in what is written (unless it is part
// of a redacted header line's own text), whatever the kind of trace text,
// and nothing but the key's occurrences is changed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "online_client.h"

namespace {

bool key_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

std::string traced(curl_infotype type, const std::string &text, const std::string &key) {
  char *buffer = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&buffer, &size);
  if (out == nullptr)
    abort();
  qern_online::write_trace(out, type, text.data(), text.size(), key);
  fclose(out);
  std::string written(buffer, size);
  free(buffer);
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const curl_infotype type = input.PickValueInArray(
      {CURLINFO_TEXT, CURLINFO_HEADER_IN, CURLINFO_HEADER_OUT, CURLINFO_DATA_IN});
  std::string key = input.ConsumeRandomLengthString(24);
  for (char &c : key) {
    if (!key_character(c))
      c = 'k';
  }
  const std::string text = input.ConsumeRemainingBytesAsString();
  const std::string written = traced(type, text, key);
  // A key that is part of the redacted header line itself shows there.
  const bool in_fixed_text = std::string("x-api-key: ***").find(key) != std::string::npos ||
                             std::string(": ***").find(key) != std::string::npos;
  if (!key.empty() && !in_fixed_text && written.find(key) != std::string::npos)
    abort();
  // Without the key and without a key header, the text comes out whole.
  if (type != CURLINFO_DATA_IN && text.find(':') == std::string::npos &&
      (key.empty() || text.find(key) == std::string::npos)) {
    std::string bare;
    for (size_t at = 0; at < written.size();) {
      at += 2;  // the prefix of each line
      const size_t end = written.find('\n', at);
      bare += written.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
      at = end == std::string::npos ? written.size() : end + 1;
    }
    const std::string expected = text.empty() || text.back() == '\n' ? text : text + "\n";
    if (bare != expected)
      abort();
  }
  return 0;
}
