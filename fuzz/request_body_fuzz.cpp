// The request body against std::to_string: any 64-bit items, any count.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "contract_names.h"
#include "qern_lib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<uint64_t> items(size / 8);
  if (!items.empty())
    memcpy(items.data(), data, items.size() * 8);
  std::string expected = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    expected += (i > 0 ? "," : "") + std::to_string(items[i]);
  }
  expected += "]";
  qern_memory::heap_ptr<char> body(_generate_curl_data(items.data(), items.size()));
  if (!body || expected != body.get())
    abort();
  return 0;
}
