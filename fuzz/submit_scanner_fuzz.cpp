// The submission scanner over one whole answer, as the driver calls it once
// the answer is complete; the same answer with a line feed appended must read
// the same, since whitespace after the closing brace is allowed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "contract_names.h"
#include "qern_lib.h"

namespace {

struct Scan {
  size_t consumed;
  int status;
  std::string request_id;
};

Scan scan(std::vector<char> answer) {
  char request_id[qern_online::kRequestIdSize];
  memset(request_id, 'x', sizeof request_id);
  request_id[0] = '\0';
  qern_online::submit_reply reply{0, request_id, nullptr};
  const size_t consumed = make_request_write_callback(answer.data(), 1, answer.size(), &reply);
  if (consumed > answer.size())
    abort();
  if (reply.status != 0 && reply.status != -1)
    abort();
  if (reply.status == -1 && (reply.failure_text == nullptr || consumed != 0))
    abort();
  if (memchr(request_id, '\0', sizeof request_id) == nullptr)
    abort();
  if (reply.failure_text != nullptr && strlen(reply.failure_text) > 511 + 40)
    abort();
  free(reply.failure_text);
  return {consumed, reply.status, request_id};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> answer(data, data + size);
  const Scan whole = scan(answer);
  if (whole.status == 0 && whole.consumed == answer.size() && size > 0 && answer.back() == '}') {
    answer.push_back('\n');
    const Scan with_line_feed = scan(answer);
    if (with_line_feed.status != 0 || with_line_feed.request_id != whole.request_id)
      abort();
  }
  return 0;
}
