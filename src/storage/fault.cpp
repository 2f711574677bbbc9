#include "storage/fault.h"

#ifdef ORVI_FAULT_INJECTION
#include <atomic>

namespace orvi::fault {

namespace {
std::atomic<bool> armed{false};
std::atomic<uint64_t> counted{0};
uint64_t fail_at = 0;
int fail_errno = 0;
unsigned fail_ops = 0;
bool fail_sticky = false;
}  // namespace

void arm(uint64_t nth, int err, unsigned ops, bool sticky) {
  fail_at = nth;
  fail_errno = err;
  fail_ops = ops;
  fail_sticky = sticky;
  counted = 0;
  armed = true;
}

void disarm() { armed = false; }

uint64_t calls() { return counted; }

int check(Op op) {
  if (!armed || (fail_ops & op) == 0) return 0;
  uint64_t n = ++counted;
  if (fail_at == 0) return 0;
  if (n == fail_at || (fail_sticky && n > fail_at)) return fail_errno;
  return 0;
}

}  // namespace orvi::fault
#endif
