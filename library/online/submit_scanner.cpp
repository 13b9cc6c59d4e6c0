// The submission answer scanner: one forward pass over a whole answer, which
// must be a JSON object of the service's simple shape (JSON whitespace between
// tokens and after the closing brace is allowed). It picks out the request
// identifier or the service's refusal and never reads past the given bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "online_client.h"

namespace {

using qern_online::print_diagnostic;
using qern_online::submit_reply;

constexpr size_t kKeyLimit = 50;       // characters of a key that are compared
constexpr size_t kMessageLimit = 511;  // characters of a refusal that are kept

// A scan that ends the callback, with what the callback returns.
struct scan_end {
  bool done;
  size_t returned;
};

bool is_blank(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

void skip_blanks(const char *data, size_t n, size_t *p) {
  while (*p < n && is_blank(data[*p])) {
    ++*p;
  }
}

bool ends_value(char byte) {
  return byte == '"' || byte == ',' || byte == '}';
}

// Copies a value into out (at most `limit` characters, NUL-terminated) up to
// the next quote, comma or closing brace. Returns false when the delivery ran
// out first; out then holds what was copied.
bool copy_value(const char *data, size_t n, size_t *p, char *out, size_t limit) {
  size_t copied = 0;
  bool complete = true;
  while (true) {
    if (*p >= n) {
      complete = false;
      break;
    }
    if (ends_value(data[*p]) || copied == limit) {
      break;
    }
    out[copied++] = data[(*p)++];
  }
  out[copied] = '\0';
  return complete;
}

void record_failure(submit_reply *reply, const char *text) {
  free(reply->failure_text);
  reply->failure_text = strdup(text);
  reply->status = -1;
}

// Scans one member from its opening quote at *p.
scan_end scan_member(const char *data, size_t n, size_t *p, submit_reply *reply,
                     const char *hidden_key) {
  char key[64];
  size_t copied = 0;
  ++*p;
  while (*p < n && copied < kKeyLimit && data[*p] != '"') {
    key[copied++] = data[(*p)++];
  }
  key[copied] = '\0';

  if (*p + 3 >= n) {
    print_diagnostic("Ran out of buffer during transition to val\n");
    return {true, *p};
  }
  if (data[*p] != '"') {
    print_diagnostic("Unexpected character after key 0x%x\n",
                     static_cast<int>(static_cast<signed char>(data[*p])));
    return {true, *p};
  }
  ++*p;
  skip_blanks(data, n, p);
  if (*p >= n) {
    print_diagnostic("Ran out of buffer during transition to val\n");
    return {true, *p};
  }
  if (data[*p] != ':') {
    print_diagnostic("Unexpected character after key+1 0x%x\n",
                     static_cast<int>(static_cast<signed char>(data[*p])));
    return {true, *p};
  }
  ++*p;
  skip_blanks(data, n, p);
  if (*p < n && data[*p] == '"') {
    ++*p;
  }

  if (strcmp(key, "requestId") == 0) {
    if (!copy_value(data, n, p, reply->request_id, qern_online::kRequestIdSize - 1)) {
      print_diagnostic("Ran out of buffer during val scraping");
      return {true, *p};
    }
  } else if (strcmp(key, "message") == 0) {
    char message[kMessageLimit + 1];
    if (!copy_value(data, n, p, message, kMessageLimit)) {
      print_diagnostic("Ran out of buffer during val scraping");
      return {true, *p};
    }
    // A service may quote the key it was sent. The message ends at the
    // limit, or at a closing quote, or at a comma, a brace or an escaped
    // quote. The key may go on past the limit, and past one of the others
    // when it holds that character.
    const bool closed = data[*p] == '"' && data[*p - 1] != '\\';
    const bool within_key = hidden_key != nullptr && strchr(hidden_key, data[*p]) != nullptr;
    const bool cut = !closed && (!ends_value(data[*p]) || within_key);
    std::string hidden;
    std::string shown;
    try {
      hidden = qern_online::hide_key(message, hidden_key != nullptr ? hidden_key : "", cut);
      // The service's words stay on their lines, whatever bytes they hold.
      shown = qern_online::escape_controls(hidden, false);
    } catch (const std::bad_alloc &) {
      record_failure(reply, "[Local failure] not enough memory");
      return {true, 0};
    }
    print_diagnostic("Got message %s\n", shown.c_str());
    if (strcmp(message, "Forbidden") == 0) {
      print_diagnostic("Bad API key\n");
    }
    record_failure(reply, hidden.c_str());
    print_diagnostic("%s\n", shown.c_str());
    return {true, 0};
  } else {
    while (*p < n && !ends_value(data[*p])) {
      ++*p;
    }
  }

  if (*p < n && data[*p] == '"') {
    ++*p;
  }
  while (*p < n && (data[*p] == ',' || is_blank(data[*p]))) {
    ++*p;
  }
  return {false, 0};
}

}  // namespace

size_t qern_online::scan_submission(char *data, size_t count, submit_reply *reply,
                                    const char *hidden_key) {
  const size_t n = count;
  reply->status = 0;
  if (n == 0) {
    return 0;
  }
  if (data[0] != '{') {
    char text[64];
    snprintf(text, sizeof text, "unexpected opening character to response %c", data[0]);
    record_failure(reply, text);
    char shown[sizeof text * 4];
    qern_online::escape_into(text, shown, sizeof shown, false);
    print_diagnostic("%s\n", shown);
    return 0;
  }
  size_t p = 1;
  while (true) {
    skip_blanks(data, n, &p);
    if (p < n && data[p] == '"') {
      const scan_end end = scan_member(data, n, &p, reply, hidden_key);
      if (end.done) {
        return end.returned;
      }
      continue;
    }
    if (p >= n) {
      return p;
    }
    if (data[p] == '}') {
      ++p;
      skip_blanks(data, n, &p);
      return p;
    }
    print_diagnostic("Unexpected ending character %c\n", data[p]);
    return p;
  }
}
