#include "query/builder.h"

#include <gtest/gtest.h>

#include "db/graphdb.h"

namespace orvi {
namespace {

class QueryBuilderTest : public ::testing::Test {
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
    ASSERT_TRUE(add_edge(db_->pager(), 1, "x", 2, {}));
    ASSERT_TRUE(add_edge(db_->pager(), 2, "X", 3, {}));
    ASSERT_TRUE(add_edge(db_->pager(), 3, "x", 4, {}));
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

TEST_F(QueryBuilderTest, LabelsSelectAnyAndSkipLimitApplyAfterFilters) {
  QueryBuilder q(db_->pager());
  EXPECT_EQ(ids(q.fetch()), (std::vector<uint64_t>{1, 2, 3}));
  q.label("A").label("B");
  EXPECT_EQ(ids(q.fetch()), (std::vector<uint64_t>{1, 2, 3}));
  q.skip = 1;
  q.limit = 1;
  EXPECT_EQ(ids(q.fetch()), (std::vector<uint64_t>{2}));
  q.limit = 0;
  EXPECT_TRUE(ids(q.fetch()).empty());
  QueryBuilder none(db_->pager());
  none.label("Z");
  EXPECT_TRUE(ids(none.fetch()).empty());
  QueryBuilder pred(db_->pager());
  pred.predicate = [](const Node& n) { return n.id != 2; };
  EXPECT_EQ(ids(pred.fetch()), (std::vector<uint64_t>{1, 3}));
}

TEST_F(QueryBuilderTest, EdgeLabelsMatchExactlyAndDeletedEdgesAreGone) {
  EdgeQueryBuilder q(db_->pager());
  EXPECT_EQ(ids(q.fetch()), (std::vector<uint64_t>{1, 2}));
  q.label("x");
  EXPECT_EQ(ids(q.fetch()), (std::vector<uint64_t>{1}));
  auto scanned = db_->scan_nodes({"B", "Z"});
  EXPECT_EQ(ids(scanned), (std::vector<uint64_t>{2, 3}));
}

}  // namespace
}  // namespace orvi
