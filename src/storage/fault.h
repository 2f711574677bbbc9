// Storage fault injection for reliability tests.
//
// Only a build configured with ORVI_FAULT_INJECTION contains the hook; in
// every other build check() is a constant 0 and the compiler removes it.
// When armed, the N-th storage call of the selected kinds (page write,
// flush, truncate, rename) made by any file store of the process (the
// database file and the vacuum's temporary file alike) fails with the
// chosen OS error, once or from then on. Counting without failing (nth 0)
// tells a test how many calls an operation makes.
#ifndef ORVI_STORAGE_FAULT_H_
#define ORVI_STORAGE_FAULT_H_

#include <cstdint>

namespace orvi::fault {

enum Op : unsigned {
  kWrite = 1,
  kFlush = 2,
  kTruncate = 4,
  kRename = 8,
  kAll = 15,
};

#ifdef ORVI_FAULT_INJECTION
inline constexpr bool kEnabled = true;
// Counts calls of the kinds in `ops` from now on; the `nth` (1-based) fails
// with `err`, and every later one too when `sticky`. nth 0 only counts.
void arm(uint64_t nth, int err, unsigned ops, bool sticky);
void disarm();
// Matching calls counted since the last arm().
uint64_t calls();
// The error a call of kind `op` must fail with, or 0.
int check(Op op);
#else
inline constexpr bool kEnabled = false;
inline int check(Op) { return 0; }
#endif

}  // namespace orvi::fault

#endif  // ORVI_STORAGE_FAULT_H_
