// libFuzzer entry point of the wal target (body in targets.h).
#include <cstdio>
#include <cstdlib>

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = orvi::fuzz::run_wal(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "orvi fuzz wal: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)orvi::fuzz::base_image();
  return 0;
}
