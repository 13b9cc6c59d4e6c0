// Request building: the header list, the body and the CA bundle location.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "online_client.h"

namespace {

const char *const qern_curl_ca_locs[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/tls/cacert.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
    "/etc/ssl/certs",
    "/system/etc/security/cacerts",
    "/usr/local/share/certs",
    "/etc/pki/tls/certs",
    "/etc/openssl/certs",
    "/var/ssl/certs",
};
const int qern_curl_ca_loc_max = sizeof qern_curl_ca_locs / sizeof qern_curl_ca_locs[0];

// The largest body: 20 digits and a comma per item, the brackets and the NUL.
constexpr size_t kDigitsAndComma = 21;

}  // namespace

namespace qern_online {

const char *first_existing_path(const char *const *paths, int count) {
  for (int index = 0; index < count; ++index) {
    print_diagnostic("Checking curl cert location %s\n", paths[index]);
    if (access(paths[index], F_OK) == 0) {
      print_diagnostic("Found curl cert\n");
      return paths[index];
    }
  }
  return nullptr;
}

const char *find_ca_bundle() {
  return first_existing_path(qern_curl_ca_locs, qern_curl_ca_loc_max);
}

bool is_readable_file(const char *path) {
  // Non-blocking, so that a FIFO with no writer is refused rather than
  // waited on; a regular file reads as usual.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  struct stat info;
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  close(fd);
  return regular;
}

bool fits_a_header(const char *key) {
  for (const char *at = key; *at != '\0'; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
      return false;
    }
  }
  return true;
}

curl_slist *make_header_list(int kind, const char *key) {
  if (key != nullptr && !fits_a_header(key)) {
    return nullptr;  // a line break would start a header of its own
  }
  char *line = nullptr;
  if (asprintf(&line, "x-api-key: %s", key != nullptr ? key : "") < 0) {
    return nullptr;
  }
  const qern_memory::heap_ptr<char> key_line(line);
  curl_slist *headers = curl_slist_append(nullptr, key_line.get());
  if (headers == nullptr) {
    return nullptr;
  }
  if (kind == 1) {
    curl_slist *longer = curl_slist_append(headers, "Content-Type: application/json");
    if (longer == nullptr) {
      curl_slist_free_all(headers);
      return nullptr;
    }
    headers = longer;
  }
  return headers;
}

char *request_body(const uint64_t *items, size_t count) {
  if (count > (SIZE_MAX - 3) / kDigitsAndComma) {
    return nullptr;
  }
  const size_t capacity = kDigitsAndComma * count + 3;
  qern_memory::heap_ptr<char> body(static_cast<char *>(malloc(capacity)));
  if (!body) {
    return nullptr;
  }
  char *end = body.get();
  *end++ = '[';
  for (size_t k = 0; k < count; ++k) {
    const size_t room = capacity - static_cast<size_t>(end - body.get());
    const int written = snprintf(end, room, k == 0 ? "%" PRIu64 : ",%" PRIu64, items[k]);
    if (written <= 0 || static_cast<size_t>(written) >= room) {
      return nullptr;
    }
    end += written;
  }
  *end++ = ']';
  *end = '\0';
  return body.release();
}

}  // namespace qern_online
