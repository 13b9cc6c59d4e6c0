// The online client's one way to print a diagnostic, a failure's report, and
// the escaping of a peer's bytes before they reach a terminal.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "online_client.h"

namespace {

// A well-formed UTF-8 character: its length in bytes (0 when there is none)
// and its code point.
struct utf8_char {
  size_t length;
  uint32_t point;
};

// The character at the start of `text`; none when its first bytes are not
// well-formed UTF-8 (a stray or cut-short byte, an overlong form, a
// surrogate, a point past U+10FFFF).
utf8_char first_char(std::string_view text) {
  const unsigned lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    return {1, lead};
  }
  const size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (lead < 0xc2 || lead > 0xf4 || text.size() < length) {
    return {0, 0};
  }
  uint32_t point = lead & (0x7f >> length);
  for (size_t k = 1; k < length; ++k) {
    const unsigned next = static_cast<unsigned char>(text[k]);
    if ((next & 0xc0) != 0x80) {
      return {0, 0};
    }
    point = point << 6 | (next & 0x3f);
  }
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kLeast[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
    return {0, 0};
  }
  return {length, point};
}

// Hands `text` to `sink(piece, length, escaped)` in pieces: runs that print
// as they are, and each byte to escape as its "\xNN" (lower-case hex, as the
// service's log writes). A sink that returns false ends the walk.
template <typename Sink>
void for_each_piece(std::string_view text, bool keep_line_breaks, Sink sink) {
  static const char kHex[] = "0123456789abcdef";
  size_t start = 0;
  size_t at = 0;
  while (at < text.size()) {
    const size_t length = qern_online::printable_length(text.substr(at), keep_line_breaks);
    if (length > 0) {
      at += length;
      continue;
    }
    if (at > start && !sink(text.data() + start, at - start, false)) {
      return;
    }
    const auto value = static_cast<unsigned char>(text[at]);
    const char escape[4] = {'\\', 'x', kHex[value >> 4], kHex[value & 0xf]};
    if (!sink(escape, sizeof escape, true)) {
      return;
    }
    start = ++at;
  }
  if (at > start) {
    sink(text.data() + start, at - start, false);
  }
}

}  // namespace

size_t qern_online::printable_length(std::string_view text, bool keep_line_breaks) {
  const utf8_char c = first_char(text);
  if (c.point < 0x80) {
    const bool printable = c.point >= 0x20 && c.point != 0x7f;
    return printable || (keep_line_breaks && c.point == '\n') ? c.length : 0;
  }
  return c.point <= 0x9f ? 0 : c.length;
}

bool qern_online::needs_escape(std::string_view text, bool keep_line_breaks) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = qern_online::printable_length(text.substr(at), keep_line_breaks);
    if (length == 0) {
      return true;
    }
    at += length;
  }
  return false;
}

void qern_online::write_escaped(FILE *out, std::string_view text, bool keep_line_breaks) {
  for_each_piece(text, keep_line_breaks, [out](const char *piece, size_t length, bool) {
    fwrite(piece, 1, length, out);
    return true;
  });
}

std::string qern_online::escape_controls(std::string_view text, bool keep_line_breaks) {
  std::string escaped;
  escaped.reserve(text.size());
  for_each_piece(text, keep_line_breaks, [&escaped](const char *piece, size_t length, bool) {
    escaped.append(piece, length);
    return true;
  });
  return escaped;
}

size_t qern_online::escape_into(std::string_view text, char *out, size_t capacity,
                                bool keep_line_breaks) {
  if (capacity == 0) {
    return 0;
  }
  size_t used = 0;
  // Whole pieces only: a cut escape or character would read as another one.
  for_each_piece(text, keep_line_breaks, [&](const char *piece, size_t length, bool escaped) {
    if (length > capacity - 1 - used) {
      size_t fits = capacity - 1 - used;
      if (!escaped) {  // a printable run: cut it between characters
        while (fits > 0 && (static_cast<unsigned char>(piece[fits]) & 0xc0) == 0x80) {
          --fits;
        }
        memcpy(out + used, piece, fits);
        used += fits;
      }
      return false;
    }
    memcpy(out + used, piece, length);
    used += length;
    return true;
  });
  out[used] = '\0';
  return used;
}

void qern_online::print_diagnostic(const char *format, ...) {
  // Formatted first, then escaped: an argument may hold a peer's bytes. The
  // line breaks of the format (and of an XML document) stay.
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::unique_ptr<char, decltype(&free)> large(nullptr, &free);
  std::string_view text(small, needed > 0 ? std::min<size_t>(needed, sizeof small - 1) : 0);
  if (needed >= static_cast<int>(sizeof small)) {
    large.reset(static_cast<char *>(malloc(static_cast<size_t>(needed) + 1)));
    if (large != nullptr) {  // else the beginning is printed
      vsnprintf(large.get(), static_cast<size_t>(needed) + 1, format, again);
      text = std::string_view(large.get(), static_cast<size_t>(needed));
    }
  }
  va_end(again);
  write_escaped(stdout, text, true);
  fflush(stdout);
}

void qern_online::report_failure(const char *msg, char *err_buf) {
  // A failure is one line, whatever the peer's message held; no allocation,
  // so that the report of a memory failure cannot fail itself.
  fputs("Failed with error: ", stdout);
  write_escaped(stdout, msg, false);
  fputs("\n", stdout);
  fflush(stdout);
  if (err_buf != nullptr) {
    memset(err_buf, 0, QERN_ERR_BUF_SIZE);
    escape_into(msg, err_buf, QERN_ERR_BUF_SIZE, false);
  }
}
