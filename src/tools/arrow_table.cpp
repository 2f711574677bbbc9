#include "tools/arrow_table.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "storage/text.h"

namespace orvi::tools {

namespace {

template <typename T>
T load(const uint8_t* base, int64_t index) {
  T v;
  std::memcpy(&v, base + index * static_cast<int64_t>(sizeof(T)), sizeof v);
  return v;
}

// The type of a format string that has no children: (type, width); false
// for any other format.
bool scalar_format(std::string_view f, ArrowColumn::Type& type, int& width) {
  using Type = ArrowColumn::Type;
  if (f.size() != 1) return false;
  switch (f[0]) {
    case 'n': type = Type::kNull; width = 0; return true;
    case 'b': type = Type::kBool; width = 0; return true;
    case 'c': type = Type::kInt; width = 1; return true;
    case 's': type = Type::kInt; width = 2; return true;
    case 'i': type = Type::kInt; width = 4; return true;
    case 'l': type = Type::kInt; width = 8; return true;
    case 'C': type = Type::kUInt; width = 1; return true;
    case 'S': type = Type::kUInt; width = 2; return true;
    case 'I': type = Type::kUInt; width = 4; return true;
    case 'L': type = Type::kUInt; width = 8; return true;
    case 'f': type = Type::kFloat; width = 4; return true;
    case 'g': type = Type::kFloat; width = 8; return true;
    case 'u': type = Type::kString; width = 4; return true;
    case 'U': type = Type::kString; width = 8; return true;
    default: return false;
  }
}

}  // namespace

bool ArrowColumn::bind(const ArrowSchema& schema, const ArrowArray& array,
                       int depth, int64_t parent_offset) {
  if (schema.format == nullptr || array.n_buffers < 0 ||
      (array.n_buffers > 0 && array.buffers == nullptr)) {
    return false;
  }
  const std::string_view f(schema.format);
  length_ = array.length;
  offset_ = array.offset + parent_offset;
  validity_ = array.n_buffers > 0
                  ? static_cast<const uint8_t*>(array.buffers[0])
                  : nullptr;
  if (array.null_count == 0) validity_ = nullptr;
  auto buffer = [&](int64_t i) {
    return i < array.n_buffers ? static_cast<const uint8_t*>(array.buffers[i])
                               : nullptr;
  };

  if (schema.dictionary != nullptr) {
    // The indices are this array's values; the values are the dictionary.
    if (!scalar_format(f, type_, width_) ||
        (type_ != Type::kInt && type_ != Type::kUInt)) {
      return false;
    }
    if (array.dictionary == nullptr || buffer(1) == nullptr) return false;
    unsigned_ = type_ == Type::kUInt;
    type_ = Type::kDict;
    values_ = buffer(1);
    dictionary_ = std::make_unique<ArrowColumn>();
    return dictionary_->bind(*schema.dictionary, *array.dictionary, depth) &&
           dictionary_->children_.empty();
  }
  if (f == "vu") {
    // Views of 16 bytes: the length, then the text itself when it is at
    // most 12 bytes long, else a prefix, a data buffer index and an offset.
    // The last buffer holds the data buffers' sizes.
    type_ = Type::kString;
    width_ = 16;
    values_ = buffer(1);
    if ((values_ == nullptr && length_ > 0) || array.n_buffers < 3) return false;
    view_data_ = array.buffers + 2;
    view_buffers_ = array.n_buffers - 3;
    return true;
  }
  if (scalar_format(f, type_, width_)) {
    unsigned_ = type_ == Type::kUInt;
    if (type_ == Type::kNull) {
      validity_ = nullptr;
      return true;
    }
    values_ = buffer(1);
    if (values_ == nullptr && length_ > 0) return false;
    if (type_ == Type::kString) {
      data_ = reinterpret_cast<const char*>(buffer(2));
      if (data_ == nullptr) data_ = "";
    }
    return true;
  }
  if (depth >= kMaxNativeDepth || schema.n_children != array.n_children) {
    return false;
  }
  if (f == "+l" || f == "+L") {
    type_ = Type::kList;
    width_ = f == "+l" ? 4 : 8;
    values_ = buffer(1);
    if (values_ == nullptr && length_ > 0) return false;
  } else if (f.substr(0, 3) == "+w:") {
    type_ = Type::kFixedList;
    fixed_size_ = std::strtoll(std::string(f.substr(3)).c_str(), nullptr, 10);
    if (fixed_size_ < 0) return false;
  } else if (f == "+s") {
    type_ = Type::kStruct;
  } else {
    return false;
  }
  if (type_ != Type::kStruct && array.n_children != 1) return false;
  children_.resize(static_cast<size_t>(array.n_children));
  for (int64_t i = 0; i < array.n_children; ++i) {
    const ArrowSchema* cs = schema.children[i];
    const ArrowArray* ca = array.children[i];
    // A struct's children are read at the struct's own rows.
    const int64_t shift = type_ == Type::kStruct ? offset_ : 0;
    if (cs == nullptr || ca == nullptr ||
        !children_[i].bind(*cs, *ca, depth + 1, shift)) {
      return false;
    }
    if (type_ == Type::kStruct) {
      std::string_view name = cs->name ? cs->name : "";
      if (!is_valid_utf8(name)) return false;
      names_.push_back(name);
    }
  }
  if (type_ == Type::kStruct) {
    order_.resize(names_.size());
    for (size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    std::sort(order_.begin(), order_.end(),
              [&](size_t a, size_t b) { return names_[a] < names_[b]; });
    for (size_t i = 1; i < order_.size(); ++i) {
      // A dict cannot hold one key twice: left to the Python conversion.
      if (names_[order_[i]] == names_[order_[i - 1]]) return false;
    }
  }
  return true;
}

uint64_t ArrowColumn::raw_int(int64_t phys) const {
  if (unsigned_) {
    switch (width_) {
      case 1: return load<uint8_t>(values_, phys);
      case 2: return load<uint16_t>(values_, phys);
      case 4: return load<uint32_t>(values_, phys);
      default: return load<uint64_t>(values_, phys);
    }
  }
  switch (width_) {
    case 1: return static_cast<uint64_t>(int64_t{load<int8_t>(values_, phys)});
    case 2: return static_cast<uint64_t>(int64_t{load<int16_t>(values_, phys)});
    case 4: return static_cast<uint64_t>(int64_t{load<int32_t>(values_, phys)});
    default: return static_cast<uint64_t>(load<int64_t>(values_, phys));
  }
}

bool ArrowColumn::dict_valid(int64_t row) const {
  if (validity_ != nullptr) {
    const int64_t bit = offset_ + row;
    if (!((validity_[bit >> 3] >> (bit & 7)) & 1)) return false;
  }
  return dictionary_->valid(static_cast<int64_t>(raw_int(physical(row))));
}

bool ArrowColumn::integer(int64_t row, uint64_t& bits) const {
  bits = raw_int(physical(row));
  return type_ == Type::kInt && static_cast<int64_t>(bits) < 0;
}

std::string_view ArrowColumn::string(int64_t row) const {
  if (type_ == Type::kDict) {
    return dictionary_->string(static_cast<int64_t>(raw_int(physical(row))));
  }
  const int64_t phys = physical(row);
  if (width_ == 16) {
    const uint8_t* view = values_ + phys * 16;
    const auto len = static_cast<size_t>(load<int32_t>(view, 0));
    if (len <= 12) return std::string_view(reinterpret_cast<const char*>(view + 4), len);
    const int32_t index = load<int32_t>(view + 8, 0);
    const int32_t at = load<int32_t>(view + 12, 0);
    if (index < 0 || index >= view_buffers_) return std::string_view();
    return std::string_view(static_cast<const char*>(view_data_[index]) + at, len);
  }
  int64_t begin, end;
  if (width_ == 4) {
    begin = load<int32_t>(values_, phys);
    end = load<int32_t>(values_, phys + 1);
  } else {
    begin = load<int64_t>(values_, phys);
    end = load<int64_t>(values_, phys + 1);
  }
  return std::string_view(data_ + begin, static_cast<size_t>(end - begin));
}

void ArrowColumn::list_range(int64_t row, int64_t& begin, int64_t& end) const {
  const int64_t phys = physical(row);
  if (type_ == Type::kFixedList) {
    begin = phys * fixed_size_;
    end = begin + fixed_size_;
  } else if (width_ == 4) {
    begin = load<int32_t>(values_, phys);
    end = load<int32_t>(values_, phys + 1);
  } else {
    begin = load<int64_t>(values_, phys);
    end = load<int64_t>(values_, phys + 1);
  }
}

bool ArrowColumn::encode(int64_t row, Bytes& out) const {
  if (!valid(row)) {
    prop_write::null(out);
    return true;
  }
  const int64_t phys = physical(row);
  switch (type_) {
    case Type::kNull:
      prop_write::null(out);
      return true;
    case Type::kBool:
      prop_write::boolean((values_[phys >> 3] >> (phys & 7)) & 1, out);
      return true;
    case Type::kInt:
      prop_write::integer(static_cast<int64_t>(raw_int(phys)), out);
      return true;
    case Type::kUInt: {
      const uint64_t v = raw_int(phys);
      if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        prop_write::real(static_cast<double>(v), out);
      } else {
        prop_write::integer(static_cast<int64_t>(v), out);
      }
      return true;
    }
    case Type::kFloat:
      prop_write::real(width_ == 4 ? double{load<float>(values_, phys)}
                                   : load<double>(values_, phys),
                       out);
      return true;
    case Type::kString: {
      const std::string_view s = string(row);
      if (!is_valid_utf8(s)) return false;
      prop_write::string(s, out);
      return true;
    }
    case Type::kDict:
      return dictionary_->encode(static_cast<int64_t>(raw_int(phys)), out);
    case Type::kList:
    case Type::kFixedList: {
      int64_t begin, end;
      list_range(row, begin, end);
      prop_write::list(static_cast<size_t>(end - begin), out);
      for (int64_t i = begin; i < end; ++i) {
        if (!children_[0].encode(i, out)) return false;
      }
      return true;
    }
    case Type::kStruct:
      prop_write::map(order_.size(), out);
      for (size_t i : order_) {
        prop_write::map_key(names_[i], out);
        if (!children_[i].encode(row, out)) return false;
      }
      return true;
  }
  return false;
}

bool ArrowBatch::bind(const ArrowSchema& schema, const ArrowArray& array) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s" ||
      schema.n_children != array.n_children || array.length < 0) {
    return false;
  }
  rows_ = array.length;
  const auto n = static_cast<size_t>(array.n_children);
  names_.assign(n, {});
  columns_.clear();
  columns_.resize(n);
  bound_.assign(n, false);
  for (size_t i = 0; i < n; ++i) {
    const ArrowSchema* cs = schema.children[i];
    const ArrowArray* ca = array.children[i];
    if (cs == nullptr || ca == nullptr) return false;
    names_[i] = cs->name ? cs->name : "";
    bound_[i] = columns_[i].bind(*cs, *ca, 0, array.offset);
  }
  return true;
}

const ArrowColumn* ArrowBatch::column(std::string_view name,
                                      bool* exists) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == name) {
      if (exists) *exists = true;
      return bound_[i] ? &columns_[i] : nullptr;
    }
  }
  if (exists) *exists = false;
  return nullptr;
}

}  // namespace orvi::tools
