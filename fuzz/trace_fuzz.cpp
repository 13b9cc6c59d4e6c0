// The redacted trace over any text and any key of the characters API keys
// are made of: the key never appears in what is written (unless it is part
// of a redacted header line's own text), whatever the kind of trace text; no
// control byte is written but the line endings, and what is written is
// well-formed UTF-8 without C1 controls; and text of printable ASCII without
// escapes comes out as it went in, but for the key's occurrences.
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
  qern_online::write_trace(out, type, text.data(), text.size(), qern_online::key_hider(key));
  fclose(out);
  std::string written(buffer, size);
  free(buffer);
  return written;
}

// True when every byte is printable ASCII or a line ending ("\n", "\r\n").
bool plain(const std::string &text) {
  for (size_t k = 0; k < text.size(); ++k) {
    const auto c = static_cast<unsigned char>(text[k]);
    const bool ending = c == '\n' || (c == '\r' && k + 1 < text.size() && text[k + 1] == '\n');
    if (!ending && (c < 0x20 || c >= 0x7f)) {
      return false;
    }
  }
  return true;
}

// True when the text is well-formed UTF-8 in which no character is a control
// but the line endings: nothing in it can steer a terminal.
bool harmless(const std::string &text) {
  for (size_t k = 0; k < text.size();) {
    const auto c = static_cast<unsigned char>(text[k]);
    if (c < 0x80) {
      const bool ending = c == '\n' || (c == '\r' && k + 1 < text.size() && text[k + 1] == '\n');
      if (!ending && (c < 0x20 || c == 0x7f)) {
        return false;
      }
      ++k;
      continue;
    }
    const size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
    if (c < 0xc2 || c > 0xf4 || k + length > text.size()) {
      return false;
    }
    uint32_t code = c & (0xff >> (length + 1));
    for (size_t j = 1; j < length; ++j) {
      const auto next = static_cast<unsigned char>(text[k + j]);
      if ((next & 0xc0) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3f);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
        code <= 0x9f) {
      return false;
    }
    k += length;
  }
  return true;
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
  if (!harmless(written))
    abort();
  // Plain text without the key, without escapes that could spell it and
  // without a key header comes out whole.
  if (type != CURLINFO_DATA_IN && plain(text) && text.find(':') == std::string::npos &&
      text.find_first_of("\\%&") == std::string::npos &&
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
