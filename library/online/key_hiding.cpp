// Keeping the API key out of what a peer's text reaches. A service, an
// object store or a server in between may quote the key it was sent, written
// the way its encoder writes text: JSON's escapes, XML's entities, a URL's
// %HH, the header's bytes read as Latin-1, or any mix of them. And the text is
// printed with escapes of its own, which may spell the key beside a peer's
// bytes. So the key is looked for in each way of reading the text, and what
// it is found in is hidden in the text itself.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "online_client.h"

namespace qern_online {

namespace {

// Text read one way: each byte with the span [begin, end) of the original
// text it was read from.
struct reading {
  std::string bytes;
  std::vector<size_t> begin;
  std::vector<size_t> end;

  void add(std::string_view piece, size_t from, size_t to) {
    for (const char c : piece) {
      bytes += c;
      begin.push_back(from);
      end.push_back(to);
    }
  }
};

reading as_it_is(std::string_view text) {
  reading plain;
  plain.bytes.reserve(text.size());
  plain.begin.reserve(text.size());
  plain.end.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    plain.add(text.substr(at, 1), at, at + 1);
  }
  return plain;
}

void append_utf8(std::string &out, uint32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xc0 | point >> 6);
    out += static_cast<char>(0x80 | (point & 0x3f));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xe0 | point >> 12);
    out += static_cast<char>(0x80 | (point >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (point & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | point >> 18);
    out += static_cast<char>(0x80 | (point >> 12 & 0x3f));
    out += static_cast<char>(0x80 | (point >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (point & 0x3f));
  }
}

// The value of the digits that make up all of `digits` in `base` (10 or 16);
// -1 when there are none, others, or too many for a character.
int64_t number_of(std::string_view digits, int base) {
  if (digits.empty() || digits.size() > 8) {
    return -1;
  }
  int64_t value = 0;
  for (const char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return -1;
    }
    value = value * base + digit;
  }
  return value;
}

bool is_character(int64_t point) {
  return point > 0 && point <= 0x10ffff && (point < 0xd800 || point > 0xdfff);
}

// JSON's \uXXXX at the start of `text`, a surrogate pair as one character:
// its length, the character appended to `out`; 0 when there is none.
size_t read_unicode_escape(std::string_view text, std::string &out) {
  if (text.size() < 6 || text.substr(0, 2) != "\\u") {
    return 0;
  }
  int64_t point = number_of(text.substr(2, 4), 16);
  size_t length = 6;
  if (point >= 0xd800 && point <= 0xdbff && text.size() >= 12 && text.substr(6, 2) == "\\u") {
    const int64_t low = number_of(text.substr(8, 4), 16);
    if (low >= 0xdc00 && low <= 0xdfff) {
      point = 0x10000 + ((point - 0xd800) << 10) + (low - 0xdc00);
      length = 12;
    }
  }
  if (!is_character(point) && point != 0) {
    return 0;
  }
  append_utf8(out, static_cast<uint32_t>(point));
  return length;
}

// The entities XML names.
struct named_entity {
  std::string_view name;
  char stands_for;
};
constexpr named_entity kNamedEntities[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};

// An XML or HTML entity at the start of `text` (named as XML names them, or
// a character's number): its length, the character appended to `out`.
size_t read_entity(std::string_view text, std::string &out) {
  const size_t semicolon = text.substr(0, 12).find(';');
  if (text.empty() || text[0] != '&' || semicolon == std::string_view::npos) {
    return 0;
  }
  const std::string_view name = text.substr(1, semicolon - 1);
  for (const named_entity &entity : kNamedEntities) {
    if (name == entity.name) {
      out += entity.stands_for;
      return semicolon + 1;
    }
  }
  int64_t point = -1;
  if (name.size() > 1 && name[0] == '#' && (name[1] == 'x' || name[1] == 'X')) {
    point = number_of(name.substr(2), 16);
  } else if (!name.empty() && name[0] == '#') {
    point = number_of(name.substr(1), 10);
  }
  if (!is_character(point)) {
    return 0;
  }
  append_utf8(out, static_cast<uint32_t>(point));
  return semicolon + 1;
}

// The escape at the start of `text` read: its length, what it stands for
// appended to `out`; 0 when none starts there. JSON's (and C's) backslash
// escapes, \xHH as Python and this library print bytes, XML's entities and
// a URL's %HH.
size_t read_escape(std::string_view text, std::string &out) {
  if (text.size() >= 2 && text[0] == '\\') {
    static const char kFrom[] = "\"\\/'bfnrt";
    static const char kTo[] = "\"\\/'\b\f\n\r\t";
    if (const char *simple = strchr(kFrom, text[1]); simple != nullptr && text[1] != '\0') {
      out += kTo[simple - kFrom];
      return 2;
    }
    if (text[1] == 'u') {
      return read_unicode_escape(text, out);
    }
    if (text[1] == 'x' && text.size() >= 4 && number_of(text.substr(2, 2), 16) >= 0) {
      out += static_cast<char>(number_of(text.substr(2, 2), 16));
      return 4;
    }
    return 0;
  }
  if (text[0] == '%' && text.size() >= 3 && number_of(text.substr(1, 2), 16) >= 0) {
    out += static_cast<char>(number_of(text.substr(1, 2), 16));
    return 3;
  }
  return text[0] == '&' ? read_entity(text, out) : 0;
}

// True when `tail` is the beginning of an escape that more text would
// complete: a text cut short may end within one.
bool begins_escape(std::string_view tail) {
  const auto all_digits = [](std::string_view digits, int base) {
    return digits.empty() || number_of(digits, base) >= 0;
  };
  if (tail.empty()) {
    return false;
  }
  if (tail[0] == '\\') {
    if (tail.size() == 1) {
      return true;
    }
    if (tail[1] == 'u') {
      if (tail.size() < 6) {
        return all_digits(tail.substr(2), 16);
      }
      // A whole high surrogate, and the beginning of the low one, if any.
      const int64_t high = number_of(tail.substr(2, 4), 16);
      const std::string_view low = tail.substr(6);
      return high >= 0xd800 && high <= 0xdbff && low.size() < 6 &&
             (low.empty() || low[0] == '\\') && (low.size() < 2 || low[1] == 'u') &&
             (low.size() < 3 || all_digits(low.substr(2), 16));
    }
    return tail[1] == 'x' && tail.size() < 4 && all_digits(tail.substr(2), 16);
  }
  if (tail[0] == '%') {
    return tail.size() < 3 && all_digits(tail.substr(1), 16);
  }
  if (tail[0] == '&') {
    const std::string_view name = tail.substr(1);
    // As many digits as read_entity reads.
    if (name.size() >= 2 && name[0] == '#' && (name[1] == 'x' || name[1] == 'X')) {
      return name.size() <= 10 && all_digits(name.substr(2), 16);
    }
    if (!name.empty() && name[0] == '#') {
      return name.size() <= 9 && all_digits(name.substr(1), 10);
    }
    for (const named_entity &entity : kNamedEntities) {
      if (entity.name.substr(0, name.size()) == name) {
        return true;
      }
    }
  }
  return false;
}

// Where an escape that the text was cut within begins; its size when none.
size_t cut_escape(std::string_view text) {
  for (size_t at = text.size() > 12 ? text.size() - 12 : 0; at < text.size(); ++at) {
    if (begins_escape(text.substr(at))) {
      return at;
    }
  }
  return text.size();
}

// `text` with its escapes read, mixed as they come. `changed` says whether
// it held any.
reading read_escapes(const reading &text, bool *changed) {
  reading out;
  std::string unit;
  *changed = false;
  for (size_t at = 0; at < text.bytes.size();) {
    unit.clear();
    size_t length = read_escape(std::string_view(text.bytes).substr(at), unit);
    if (length == 0) {
      unit = text.bytes[at];
      length = 1;
    } else {
      *changed = true;
    }
    out.add(unit, text.begin[at], text.end[at + length - 1]);
    at += length;
  }
  return out;
}

// `text` as it is printed: each byte that is escaped as its \xNN.
reading as_printed(const reading &text) {
  static const char kHex[] = "0123456789abcdef";
  reading out;
  const std::string_view bytes(text.bytes);
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = printable_length(bytes.substr(at), false);
    if (length > 0) {
      for (size_t k = at; k < at + length; ++k) {
        out.add(bytes.substr(k, 1), text.begin[k], text.end[k]);
      }
      at += length;
      continue;
    }
    const auto value = static_cast<unsigned char>(bytes[at]);
    const char escape[4] = {'\\', 'x', kHex[value >> 4], kHex[value & 0xf]};
    out.add(std::string_view(escape, 4), text.begin[at], text.end[at]);
    ++at;
  }
  return out;
}

// The key's bytes each read as a character (Latin-1), written as UTF-8: how
// a server that reads a header's bytes so writes them back.
std::string latin1_as_utf8(std::string_view key) {
  std::string out;
  for (const char c : key) {
    append_utf8(out, static_cast<unsigned char>(c));
  }
  return out;
}

// Marks in `hidden` the text's bytes that each occurrence of `needle` in the
// reading was read from, and with a `cut` text those of a tail that may be
// the needle's beginning. `fallback` is the needle's table for the search.
void hide_in(const reading &text, std::string_view needle, const std::vector<size_t> &fallback,
             bool cut, std::vector<bool> &hidden) {
  const auto mark = [&](size_t first, size_t last) {  // the text's bytes [first, last)
    std::fill(hidden.begin() + static_cast<std::ptrdiff_t>(first),
              hidden.begin() + static_cast<std::ptrdiff_t>(last), true);
  };
  // A cut text may end within an escape: the needle may go on inside it.
  const size_t escape_cut = cut ? cut_escape(text.bytes) : text.bytes.size();
  size_t matched_before_escape = 0;
  size_t matched = 0;
  for (size_t at = 0; at < text.bytes.size(); ++at) {
    if (at == escape_cut) {
      matched_before_escape = matched;
    }
    while (matched > 0 && text.bytes[at] != needle[matched]) {
      matched = fallback[matched - 1];
    }
    matched += text.bytes[at] == needle[matched] ? 1 : 0;
    if (matched == needle.size()) {
      mark(text.begin[at + 1 - matched], text.end[at]);
      matched = fallback[matched - 1];
    }
  }
  if (!cut) {
    return;
  }
  const size_t tail = text.bytes.size() - matched;  // the needle may go on after it
  if (matched > 0) {
    mark(text.begin[tail], hidden.size());
  }
  if (matched_before_escape > 0) {
    mark(text.begin[escape_cut - matched_before_escape], hidden.size());
  }
}

}  // namespace

std::string_view without_blanks(std::string_view key) {
  const size_t first = key.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return key.substr(first, key.find_last_not_of(" \t") - first + 1);
}

key_hider::key_hider(std::string_view key) {
  const std::string_view known = without_blanks(key);
  if (known.empty()) {
    return;
  }
  const auto add = [this](std::string needle) {
    if (std::find(needles_.begin(), needles_.end(), needle) == needles_.end()) {
      needles_.push_back(std::move(needle));
    }
  };
  add(std::string(known));
  add(latin1_as_utf8(known));
  add(escape_controls(known, false));  // echoed as it is, then printed
  stars_ = known.find('*') != std::string_view::npos;
  for (const std::string &needle : needles_) {
    // The longest proper beginning of the needle that ends each of its
    // beginnings: where a search goes on after a byte that does not match.
    std::vector<size_t> fallback(needle.size(), 0);
    for (size_t k = 1, length = 0; k < needle.size(); ++k) {
      while (length > 0 && needle[k] != needle[length]) {
        length = fallback[length - 1];
      }
      length += needle[k] == needle[length] ? 1 : 0;
      fallback[k] = length;
    }
    fallbacks_.push_back(std::move(fallback));
  }
}

bool key_hider::plain(std::string_view text) const {
  return !stars_ && text.find_first_of("\\%&") == std::string_view::npos &&
         !needs_escape(text, false);
}

std::string key_hider::hide(std::string_view text, bool cut) const {
  // What is left of an escape whose start went may read as another beside
  // the bytes still shown, and a key that holds a star may meet the stars:
  // a text that lost anything is looked at again until nothing more goes.
  std::string shown(text);
  for (int look = 0; look < 5; ++look) {
    std::string next = hide_once(shown, cut);
    if (next == shown) {
      break;
    }
    shown = std::move(next);
  }
  return shown;
}

std::string key_hider::hide_once(std::string_view text, bool cut) const {
  if (needles_.empty()) {
    return std::string(text);
  }
  std::vector<bool> hidden(text.size(), false);
  // The text as it is, as it is printed, and with its escapes read: once,
  // and again for an encoder's text inside another's (a JSON string holding
  // a URL, say).
  std::vector<reading> readings;
  readings.push_back(as_it_is(text));
  readings.push_back(as_printed(readings[0]));
  bool changed = false;
  reading once = read_escapes(readings[0], &changed);
  if (changed) {
    reading twice = read_escapes(once, &changed);
    readings.push_back(std::move(once));
    if (changed) {
      readings.push_back(std::move(twice));
    }
  }
  for (const reading &way : readings) {
    for (size_t k = 0; k < needles_.size(); ++k) {
      hide_in(way, needles_[k], fallbacks_[k], cut, hidden);
    }
  }
  std::string shown;
  for (size_t at = 0; at < text.size(); ++at) {
    if (!hidden[at]) {
      shown += text[at];
    } else if (at == 0 || !hidden[at - 1]) {
      shown += "***";
    }
  }
  return shown;
}

void key_hider::write_hidden(FILE *out, std::string_view text) const {
  if (!plain(text)) {
    write_escaped(out, hide(text, false), false);
    return;
  }
  // Nothing to read or to escape: only the needles as they are can show,
  // and the text is written without a copy.
  size_t next[kMostNeedles] = {std::string_view::npos};  // a blank key has none
  for (size_t k = 0; k < needles_.size(); ++k) {
    next[k] = text.find(needles_[k]);
  }
  size_t shown_from = 0;  // and hidden up to there
  bool hid = false;
  while (true) {
    size_t first = 0;  // the needle found first
    for (size_t k = 1; k < needles_.size(); ++k) {
      first = next[k] < next[first] ? k : first;
    }
    const size_t at = next[first];
    if (at == std::string_view::npos) {
      break;
    }
    if (!hid || at > shown_from) {  // not next to hidden bytes
      fwrite(text.data() + shown_from, 1, at - shown_from, out);
      fputs("***", out);
    }
    shown_from = std::max(shown_from, at + needles_[first].size());
    hid = true;
    next[first] = text.find(needles_[first], at + 1);
  }
  fwrite(text.data() + shown_from, 1, text.size() - shown_from, out);
}

std::string hide_key(std::string_view text, std::string_view key, bool cut) {
  return key_hider(key).hide(text, cut);
}

}  // namespace qern_online
