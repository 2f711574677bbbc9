// The parts of a GraphDB that only tests and fuzz targets reach: its pager
// and its label index. The database hands neither out; tests that check
// what a change stored, or damage a file under an open handle, come here.
#ifndef ORVI_TESTS_GRAPHDB_INTERNALS_H_
#define ORVI_TESTS_GRAPHDB_INTERNALS_H_

#include "db/graphdb.h"

namespace orvi {

struct GraphDBInternals {
  static Pager& pager(GraphDB& db) { return *db.pager_; }
  static LabelIndex& label_index(GraphDB& db) { return db.label_index_; }
};

inline Pager& pager_of(GraphDB& db) { return GraphDBInternals::pager(db); }
inline LabelIndex& label_index_of(GraphDB& db) {
  return GraphDBInternals::label_index(db);
}

}  // namespace orvi

#endif  // ORVI_TESTS_GRAPHDB_INTERNALS_H_
