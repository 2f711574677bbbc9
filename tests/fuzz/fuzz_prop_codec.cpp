// libFuzzer entry point of the prop_codec target (body in targets.h).
#include <cstdio>
#include <cstdlib>

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = orvi::fuzz::run_prop_codec(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "orvi fuzz prop_codec: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
