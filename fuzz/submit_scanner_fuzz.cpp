// The submission scanner over one answer split into up to four deliveries,
// each in a block of exactly its size, with one record across them as the
// driver keeps it. libcurl stops a transfer at the first short return.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "qern_lib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int deliveries = input.ConsumeIntegralInRange(1, 4);
  char request_id[QERN_REQUEST_ID_SIZE];
  memset(request_id, 'x', sizeof request_id);
  request_id[0] = '\0';
  submit_reply reply{0, request_id, nullptr};
  for (int i = 0; i < deliveries && input.remaining_bytes() > 0; ++i) {
    const size_t length = i + 1 == deliveries
                              ? input.remaining_bytes()
                              : input.ConsumeIntegralInRange<size_t>(1, input.remaining_bytes());
    std::vector<char> delivery = input.ConsumeBytes<char>(length);
    const size_t consumed =
        make_request_write_callback(delivery.data(), 1, delivery.size(), &reply);
    if (consumed > delivery.size())
      abort();
    if (reply.status != 0 && reply.status != -1)
      abort();
    if (reply.status == -1 && (reply.failure_text == nullptr || consumed != 0))
      abort();
    if (memchr(request_id, '\0', sizeof request_id) == nullptr)
      abort();
    if (consumed != delivery.size())
      break;
  }
  if (reply.failure_text != nullptr && strlen(reply.failure_text) > 511 + 40)
    abort();
  free(reply.failure_text);
  return 0;
}
