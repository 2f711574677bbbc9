#include <gtest/gtest.h>

#include "db/graphdb.h"
#include "graphdb_internals.h"

namespace orvi {
namespace {

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = GraphDB::open(":memory:");
    ASSERT_TRUE(db);
    db_ = std::move(*db);
    // 1: A, 2: B, 3: A B, 4: C; edges 1->2 "x", 2->3 "X", 3->4 "x".
    for (auto labels : std::vector<std::vector<std::string>>{
             {"A"}, {"B"}, {"A", "B"}, {"C"}}) {
      ASSERT_TRUE(db_->add_node(labels, {}));
    }
    ASSERT_TRUE(add_edge(pager_of(*db_), 1, "x", 2, {}));
    ASSERT_TRUE(add_edge(pager_of(*db_), 2, "X", 3, {}));
    ASSERT_TRUE(add_edge(pager_of(*db_), 3, "x", 4, {}));
    ASSERT_TRUE(db_->delete_node(4));
  }
  template <typename R>
  static std::vector<uint64_t> ids(const Result<std::vector<R>>& r) {
    std::vector<uint64_t> out;
    EXPECT_TRUE(r);
    if (r) {
      for (const auto& x : *r) out.push_back(x.id);
    }
    return out;
  }
  std::unique_ptr<GraphDB> db_;
};

TEST_F(QueryTest, LabelsSelectAnyAndTheWindowAppliesAfterTheFilter) {
  using W = GraphDB::Window;
  EXPECT_EQ(ids(db_->query_nodes({}, std::nullopt)),
            (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(ids(db_->query_nodes({"A", "B"}, std::nullopt)),
            (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(ids(db_->query_nodes({"B", "Z"}, std::nullopt)),
            (std::vector<uint64_t>{2, 3}));
  EXPECT_EQ(ids(db_->query_nodes({"A", "B"}, W{1, 1})),
            (std::vector<uint64_t>{2}));
  EXPECT_TRUE(ids(db_->query_nodes({}, W{0, 0})).empty());
  EXPECT_TRUE(ids(db_->query_nodes({"Z"}, std::nullopt)).empty());
}

TEST_F(QueryTest, EdgeLabelsMatchExactlyAndDeletedEdgesAreGone) {
  EXPECT_EQ(ids(db_->query_edges({}, std::nullopt)),
            (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(ids(db_->query_edges({"x"}, std::nullopt)),
            (std::vector<uint64_t>{1}));
  EXPECT_EQ(ids(db_->query_edges({"x", "X"}, GraphDB::Window{1, 5})),
            (std::vector<uint64_t>{2}));
}

}  // namespace
}  // namespace orvi
