#include <gtest/gtest.h>

#include "error/error.h"
#include "error/result.h"

namespace orvi {
namespace {

TEST(ErrorMessages, RecordKindsFillTheirTemplates) {
  EXPECT_EQ(OrviError::node_not_found(0).message(),
            "No node with id 0. Use a positive integer id returned from "
            "add_node() or an existing Node.id; id 0 is never valid.");
  EXPECT_EQ(OrviError::edge_not_found(12).message(),
            "No edge with id 12. Use a positive integer id returned from "
            "add_edge()/merge_edge() or an existing Edge.id; id 0 is never "
            "valid.");
}

TEST(ErrorMessages, CapacityAndMergeKeyTemplates) {
  EXPECT_EQ(OrviError::capacity_exceeded("edge", 13056, "edges").message(),
            "edge capacity exceeded: the current file layout can address at "
            "most 13056 edges");
  EXPECT_EQ(OrviError::merge_key_not_found(7, "email").message(),
            "Merge key not found: source node 7 has no property 'email' "
            "required by NodeIdentity::ByProperty");
}

TEST(ErrorMessages, DetailKindsWrapTheirDetail) {
  EXPECT_EQ(OrviError::corrupted("x").message(),
            "The database file failed an internal integrity check and may be "
            "damaged: x");
  EXPECT_EQ(OrviError::invalid_argument("y").message(), "Invalid request: y");
  EXPECT_EQ(OrviError::transaction_failed("z").message(),
            "Transaction could not be completed: z");
  EXPECT_EQ(OrviError::wal_overflow("w").message(),
            "Transaction is too large to fit in the 4 MiB WAL reservation; "
            "split it across multiple commits: w");
  EXPECT_EQ(OrviError::already_open("/p").message(),
            "orvi: database file is already open for writing: /p. orvi "
            "allows only a single writer per file; close the existing "
            "GraphDB handle, wait for the other writer process to exit, or "
            "retry after stale lock recovery has completed.");
}

TEST(ErrorMessages, IoCarriesOsTextAndNumber) {
  OrviError e = OrviError::io_errno(2);
  EXPECT_EQ(e.kind(), ErrorKind::kIo);
  EXPECT_EQ(e.os_errno(), 2);
  EXPECT_EQ(e.detail(), "No such file or directory (os error 2)");
  EXPECT_EQ(e.message(),
            "Could not read or write the database file (check the path, "
            "permissions, and free disk space): No such file or directory "
            "(os error 2)");
  OrviError own = OrviError::io_message("failed to fill whole buffer");
  EXPECT_EQ(own.os_errno(), 0);
  EXPECT_EQ(own.detail(), "failed to fill whole buffer");
}

Result<int> half(int x) {
  if (x % 2) return OrviError::invalid_argument("odd");
  return x / 2;
}

Status chain(int x, int* out) {
  auto h = half(x);
  if (!h) return h.error();
  *out = *h;
  return Ok();
}

TEST(ResultTest, CarriesValueOrError) {
  int out = 0;
  EXPECT_TRUE(chain(8, &out).ok());
  EXPECT_EQ(out, 4);
  Status s = chain(3, &out);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::kInvalidArgument);
}

}  // namespace
}  // namespace orvi
