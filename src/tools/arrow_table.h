// Arrow record batches read in place, for the import tools: the columns of
// a node or edge table become encoded labels and property blobs without a
// Python object per value.
//
// A batch arrives through the Arrow C Data Interface (two plain structs,
// declared here as that interface defines them; nothing links against
// Arrow). The producer owns the memory and keeps it alive while the batch
// is read; nothing here releases or keeps a pointer past the call.
//
// How Arrow values become property values (the same values pyarrow's
// to_pylist followed by the orvi module's conversion give):
//   null                   absent at the top of a cell, None inside a value
//   bool                   Bool
//   int8..int64, uint8..uint32   Int; uint64 as Int up to 2^63 - 1 and as
//                          the nearest Float beyond (as the orvi module
//                          converts a Python int that no int64 holds)
//   float32, float64       Float (NaN and infinities kept)
//   utf8, large_utf8, utf8_view, dictionary of these   String (checked
//                          UTF-8)
//   list, large_list, fixed_size_list   List
//   struct                 Map, keys the field names
// Every other type (timestamps, dates, decimals, binary, map, half floats,
// structs with repeated field names, deeper nesting than
// kMaxNativeDepth) is not read here: bind() says so and the caller hands
// that column over as Python values instead, converted as before.
#ifndef ORVI_TOOLS_ARROW_TABLE_H_
#define ORVI_TOOLS_ARROW_TABLE_H_

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "storage/prop_codec.h"

extern "C" {
// The Arrow C Data Interface.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
}

namespace orvi::tools {

// Containers nested deeper than this are left to the Python conversion,
// whose depth limit and message then apply unchanged.
inline constexpr int kMaxNativeDepth = 16;

// One column (or a child of one) of a batch. Rows are logical: 0 is the
// first row of the array as the producer offset it.
class ArrowColumn {
 public:
  enum class Type { kNull, kBool, kInt, kUInt, kFloat, kString, kDict, kList,
                    kFixedList, kStruct };

  // Reads the layout of `array` as `schema` describes it; false for a type
  // this reader does not take (see the top of this file) or a layout that
  // does not match its type. A child of a struct is read at its parent's
  // offset: `parent_offset` rows are added to every row asked for.
  bool bind(const ArrowSchema& schema, const ArrowArray& array, int depth = 0,
            int64_t parent_offset = 0);

  Type type() const { return type_; }
  int64_t length() const { return length_; }
  bool valid(int64_t row) const {
    if (type_ == Type::kDict) return dict_valid(row);
    if (validity_ == nullptr) return type_ != Type::kNull;
    const int64_t bit = offset_ + row;
    return (validity_[bit >> 3] >> (bit & 7)) & 1;
  }
  bool is_integer() const { return type_ == Type::kInt || type_ == Type::kUInt; }
  bool is_string() const {
    return type_ == Type::kString ||
           (type_ == Type::kDict && dictionary_->type_ == Type::kString);
  }
  bool is_list() const {
    return type_ == Type::kList || type_ == Type::kFixedList;
  }
  // The element column of a list column.
  const ArrowColumn& element() const { return children_[0]; }

  // Values of a valid row, for the column types that have them.
  bool integer(int64_t row, uint64_t& bits) const;  // true when negative
  std::string_view string(int64_t row) const;
  // The child rows [begin, end) of a list row.
  void list_range(int64_t row, int64_t& begin, int64_t& end) const;

  // Appends the encoding of the value at `row` (null included); false when
  // a string in it is not UTF-8.
  bool encode(int64_t row, Bytes& out) const;

 private:
  int64_t physical(int64_t row) const { return offset_ + row; }
  uint64_t raw_int(int64_t phys) const;
  // A dictionary-encoded row is null when its index or its value is.
  bool dict_valid(int64_t row) const;

  Type type_ = Type::kNull;
  int width_ = 0;  // bytes per value, string or list offset
  bool unsigned_ = false;  // integers and dictionary indices
  int64_t length_ = 0;
  int64_t offset_ = 0;
  int64_t fixed_size_ = 0;
  const uint8_t* validity_ = nullptr;
  const uint8_t* values_ = nullptr;  // values, or string and list offsets
  const char* data_ = nullptr;       // string bytes
  // A string view column's data buffers (width_ 16 marks the view layout).
  const void* const* view_data_ = nullptr;
  int64_t view_buffers_ = 0;
  std::vector<ArrowColumn> children_;
  std::vector<std::string_view> names_;  // struct field names
  std::vector<size_t> order_;            // struct fields in key order
  std::unique_ptr<ArrowColumn> dictionary_;
};

// The columns of a record batch (a struct array at the top) by name.
class ArrowBatch {
 public:
  // False when the top is not a struct array or its layout is broken.
  bool bind(const ArrowSchema& schema, const ArrowArray& array);
  int64_t rows() const { return rows_; }
  // The column of that name (its rows are the batch's rows), or null when
  // there is none or its type is not one this reader takes; `exists` says
  // which.
  const ArrowColumn* column(std::string_view name, bool* exists) const;

 private:
  int64_t rows_ = 0;
  std::vector<std::string_view> names_;
  std::vector<ArrowColumn> columns_;
  std::vector<bool> bound_;
};

}  // namespace orvi::tools

#endif  // ORVI_TOOLS_ARROW_TABLE_H_
