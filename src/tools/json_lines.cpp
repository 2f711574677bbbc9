#include "tools/json_lines.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

#include "storage/text.h"
#include "tools/tagged_value.h"

namespace orvi::tools {

namespace {

// The nesting a property value may have (the orvi module refuses deeper
// values), and the JSON nesting the parser follows at all.
constexpr unsigned kMaxPropDepth = 32;
constexpr unsigned kMaxJsonDepth = 40;

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// What str.strip() removes among single bytes: a line of only these is
// skipped by the reader.
bool is_strip_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\x0b' || c == '\x0c' ||
         (c >= '\x1c' && c <= '\x1f');
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void put_utf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

void JsonRecordParser::skip_space() {
  while (pos_ < in_.size() && is_json_space(in_[pos_])) ++pos_;
}

bool JsonRecordParser::parse_document(std::string_view text, uint32_t& top) {
  // Strings are checked as they are copied; the bytes outside them must be
  // ASCII to parse at all, so one check of the whole text serves both.
  if (!is_valid_utf8(text)) return false;
  in_ = text;
  pos_ = 0;
  values_.clear();
  items_.clear();
  members_.clear();
  item_stack_.clear();
  member_stack_.clear();
  text_.clear();
  skip_space();
  if (!parse_value(0, top)) return false;
  skip_space();
  return pos_ == in_.size();
}

bool JsonRecordParser::parse_string(uint64_t& offset, uint64_t& length) {
  // At the opening quote.
  ++pos_;
  offset = text_.size();
  for (;;) {
    size_t run = pos_;
    while (run < in_.size()) {
      const unsigned char c = static_cast<unsigned char>(in_[run]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++run;
    }
    text_.append(in_.data() + pos_, run - pos_);
    pos_ = run;
    if (pos_ >= in_.size() || static_cast<unsigned char>(in_[pos_]) < 0x20) {
      return false;  // unterminated, or a control character json refuses
    }
    if (in_[pos_] == '"') {
      ++pos_;
      length = text_.size() - offset;
      return true;
    }
    if (++pos_ >= in_.size()) return false;
    const char e = in_[pos_++];
    switch (e) {
      case '"': text_.push_back('"'); break;
      case '\\': text_.push_back('\\'); break;
      case '/': text_.push_back('/'); break;
      case 'b': text_.push_back('\b'); break;
      case 'f': text_.push_back('\f'); break;
      case 'n': text_.push_back('\n'); break;
      case 'r': text_.push_back('\r'); break;
      case 't': text_.push_back('\t'); break;
      case 'u': {
        auto unit = [&](uint32_t& out) {
          if (in_.size() - pos_ < 4) return false;
          out = 0;
          for (int i = 0; i < 4; ++i) {
            const int d = hex_digit(in_[pos_ + i]);
            if (d < 0) return false;
            out = out * 16 + static_cast<uint32_t>(d);
          }
          pos_ += 4;
          return true;
        };
        uint32_t cp;
        if (!unit(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a lone low half
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          // Only a pair makes one character; a high half alone would
          // become a str that cannot be stored, which Python reports.
          uint32_t low;
          if (in_.size() - pos_ < 6 || in_[pos_] != '\\' ||
              in_[pos_ + 1] != 'u') {
            return false;
          }
          pos_ += 2;
          if (!unit(low) || low < 0xDC00 || low > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        put_utf8(cp, text_);
        break;
      }
      default:
        return false;
    }
  }
}

bool JsonRecordParser::parse_number(Value& v) {
  // The grammar json reads: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
  const size_t start = pos_;
  auto digits = [&] {
    const size_t from = pos_;
    while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9') ++pos_;
    return pos_ - from;
  };
  if (pos_ < in_.size() && in_[pos_] == '-') ++pos_;
  if (pos_ >= in_.size()) return false;
  if (in_[pos_] == '0') {
    ++pos_;
  } else if (digits() == 0) {
    return false;
  }
  bool real = false;
  if (pos_ < in_.size() && in_[pos_] == '.') {
    ++pos_;
    if (digits() == 0) return false;
    real = true;
  }
  if (pos_ < in_.size() && (in_[pos_] == 'e' || in_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < in_.size() && (in_[pos_] == '+' || in_[pos_] == '-')) ++pos_;
    if (digits() == 0) return false;
    real = true;
  }
  const char* first = in_.data() + start;
  const char* last = in_.data() + pos_;
  if (real) {
    // Correctly rounded, as float() is; an overflow (Python: inf) or an
    // underflow (Python: 0.0 or a subnormal) is left to Python.
    auto [end, ec] = std::from_chars(first, last, v.real);
    if (ec != std::errc() || end != last || !std::isfinite(v.real)) {
      return false;
    }
    v.kind = kFloat;
    return true;
  }
  // An int outside int64 converts in ways of its own (to a float when it
  // fits one); Python does that.
  auto [end, ec] = std::from_chars(first, last, v.integer);
  if (ec != std::errc() || end != last) return false;
  v.kind = kInt;
  return true;
}

bool JsonRecordParser::take(char c) {
  if (pos_ >= in_.size() || in_[pos_] != c) return false;
  ++pos_;
  return true;
}

template <class Element>
bool JsonRecordParser::elements(char close, Element element) {
  skip_space();
  if (take(close)) return true;
  for (;;) {
    skip_space();
    if (!element()) return false;
    skip_space();
    if (!take(',')) return take(close);
  }
}

bool JsonRecordParser::parse_value(unsigned depth, uint32_t& out) {
  if (pos_ >= in_.size() || depth > kMaxJsonDepth) return false;
  Value v;
  const char c = in_[pos_];
  if (c == '"') {
    v.kind = kString;
    if (!parse_string(v.first, v.length)) return false;
  } else if (c == '{') {
    ++pos_;
    v.kind = kObject;
    const size_t mark = member_stack_.size();
    const bool read = elements('}', [&] {
      Member m;
      uint64_t length;
      if (pos_ >= in_.size() || in_[pos_] != '"' || !parse_string(m.key, length)) {
        return false;
      }
      m.key_length = static_cast<uint32_t>(length);
      skip_space();
      if (!take(':')) return false;
      skip_space();
      if (!parse_value(depth + 1, m.value)) return false;
      member_stack_.push_back(m);
      return true;
    });
    if (!read) return false;
    // Members by key; of a repeated key the last one stays, as in the dict
    // json.loads builds.
    auto begin = member_stack_.begin() + static_cast<std::ptrdiff_t>(mark);
    std::stable_sort(begin, member_stack_.end(),
                     [this](const Member& a, const Member& b) {
                       return key_of(a) < key_of(b);
                     });
    v.first = members_.size();
    for (auto it = begin; it != member_stack_.end(); ++it) {
      if (it + 1 != member_stack_.end() && key_of(*it) == key_of(*(it + 1))) {
        continue;
      }
      members_.push_back(*it);
    }
    v.count = static_cast<uint32_t>(members_.size() - v.first);
    member_stack_.resize(mark);
  } else if (c == '[') {
    ++pos_;
    v.kind = kArray;
    const size_t mark = item_stack_.size();
    const bool read = elements(']', [&] {
      uint32_t item;
      if (!parse_value(depth + 1, item)) return false;
      item_stack_.push_back(item);
      return true;
    });
    if (!read) return false;
    v.first = items_.size();
    v.count = static_cast<uint32_t>(item_stack_.size() - mark);
    items_.insert(items_.end(), item_stack_.begin() + static_cast<std::ptrdiff_t>(mark),
                  item_stack_.end());
    item_stack_.resize(mark);
  } else if (in_.substr(pos_, 4) == "null") {
    pos_ += 4;
  } else if (in_.substr(pos_, 4) == "true") {
    v.kind = kTrue;
    pos_ += 4;
  } else if (in_.substr(pos_, 5) == "false") {
    v.kind = kFalse;
    pos_ += 5;
  } else if (!parse_number(v)) {
    return false;  // NaN and Infinity among them
  }
  out = static_cast<uint32_t>(values_.size());
  values_.push_back(v);
  return true;
}

const JsonRecordParser::Value* JsonRecordParser::member(
    const Value& obj, std::string_view name) const {
  for (uint32_t i = 0; i < obj.count; ++i) {
    const Member& m = members_[obj.first + i];
    if (key_of(m) == name) return &values_[m.value];
  }
  return nullptr;
}

bool JsonRecordParser::encode_map(const Value& obj, unsigned depth,
                                  Bytes& out) const {
  prop_write::map(obj.count, out);
  for (uint32_t i = 0; i < obj.count; ++i) {
    const Member& m = members_[obj.first + i];
    prop_write::map_key(key_of(m), out);
    if (!encode_value(values_[m.value], depth + 1, out)) return false;
  }
  return true;
}

// The tagged form read back (tagged_value.h) and encoded as the orvi
// module encodes the Python value, nesting limit included.
bool JsonRecordParser::encode_value(const Value& v, unsigned depth,
                                    Bytes& out) const {
  if (depth > kMaxPropDepth) return false;
  switch (v.kind) {
    case kNull:
      prop_write::null(out);
      return true;
    case kFalse:
    case kTrue:
      prop_write::boolean(v.kind == kTrue, out);
      return true;
    case kInt:
      prop_write::integer(v.integer, out);
      return true;
    case kFloat:
      prop_write::real(v.real, out);
      return true;
    case kString:
      prop_write::string(text_of(v.first, v.length), out);
      return true;
    case kArray:
      prop_write::list(v.count, out);
      for (uint32_t i = 0; i < v.count; ++i) {
        if (!encode_value(values_[items_[v.first + i]], depth + 1, out)) {
          return false;
        }
      }
      return true;
    case kObject:
      break;
  }
  if (v.count == 1) {
    const Member& m = members_[v.first];
    const Value& inner = values_[m.value];
    std::optional<std::string_view> inner_text;
    if (inner.kind == kString) inner_text = text_of(inner.first, inner.length);
    double real = 0;
    switch (read_tag(key_of(m), inner_text, inner.kind == kObject, real)) {
      case TagMeaning::kNotTag:
        break;
      case TagMeaning::kMap:
        return encode_map(inner, depth, out);
      case TagMeaning::kFloat:
        prop_write::real(real, out);
        return true;
      default:
        return false;  // the Python reader words the error
    }
  }
  return encode_map(v, depth, out);
}

bool JsonRecordParser::encode_labels(const Value* v, Bytes& out) const {
  out.clear();
  if (v == nullptr) return true;
  if (v->kind != kArray) return false;
  if (v->count == 0) return true;
  prop_write::list(v->count, out);
  for (uint32_t i = 0; i < v->count; ++i) {
    const Value& label = values_[items_[v->first + i]];
    if (label.kind != kString) return false;
    prop_write::string(text_of(label.first, label.length), out);
  }
  return true;
}

// A record's properties: the top map's own keys are never tags.
bool JsonRecordParser::encode_props(const Value* v, Bytes& out) const {
  out.clear();
  if (v == nullptr) return true;
  if (v->kind != kObject) return false;
  if (v->count == 0) return true;
  prop_write::map(v->count, out);
  for (uint32_t i = 0; i < v->count; ++i) {
    const Member& m = members_[v->first + i];
    prop_write::map_key(key_of(m), out);
    if (!encode_value(values_[m.value], 0, out)) return false;
  }
  return true;
}

bool JsonRecordParser::node_key(const Value* v, NodeKey& out) const {
  if (v == nullptr) return false;
  if (v->kind == kInt) {
    out.is_text = false;
    out.negative = v->integer < 0;
    out.bits = static_cast<uint64_t>(v->integer);
    return true;
  }
  if (v->kind == kString) {
    out.is_text = true;
    out.text = text_of(v->first, v->length);
    return true;
  }
  return false;
}

JsonRecordParser::Outcome JsonRecordParser::parse_line(std::string_view line,
                                                        ImportRecord& out) {
  if (std::all_of(line.begin(), line.end(), is_strip_space)) {
    return Outcome::kBlank;
  }
  uint32_t top;
  if (!parse_document(line, top) || values_[top].kind != kObject) {
    return Outcome::kDecline;
  }
  const Value& obj = values_[top];
  const Value* type = member(obj, "type");
  if (type == nullptr || type->kind != kString) return Outcome::kDecline;
  const std::string_view kind = text_of(type->first, type->length);
  if (kind == "node") {
    out.is_node = true;
    if (!node_key(member(obj, "id"), out.key) ||
        !encode_labels(member(obj, "labels"), out.labels)) {
      return Outcome::kDecline;
    }
  } else if (kind == "edge") {
    out.is_node = false;
    const Value* label = member(obj, "label");
    if (label != nullptr && label->kind != kString) return Outcome::kDecline;
    if (!node_key(member(obj, "from"), out.key) ||
        !node_key(member(obj, "to"), out.target)) {
      return Outcome::kDecline;
    }
    out.labels.clear();
    prop_write::string(
        label ? text_of(label->first, label->length) : std::string_view(),
        out.labels);
  } else {
    return Outcome::kDecline;
  }
  return encode_props(member(obj, "properties"), out.props)
             ? Outcome::kRecord
             : Outcome::kDecline;
}

bool JsonRecordParser::parse_labels_cell(std::string_view cell, Bytes& out) {
  uint32_t top;
  if (cell.empty()) {
    out.clear();
    return true;
  }
  return parse_document(cell, top) && encode_labels(&values_[top], out);
}

bool JsonRecordParser::parse_value_cell(std::string_view cell, Bytes& out) {
  uint32_t top;
  return parse_document(cell, top) && encode_value(values_[top], 0, out);
}

bool JsonRecordParser::parse_props_cell(std::string_view cell, Bytes& out) {
  uint32_t top;
  if (cell.empty()) {
    out.clear();
    return true;
  }
  return parse_document(cell, top) && encode_props(&values_[top], out);
}

CsvRowParser::Outcome CsvRowParser::add_line(std::string_view line) {
  if (!continued_) {
    row_.clear();
    quotes_ = 0;
  } else {
    row_.push_back('\n');
  }
  row_.append(line);
  quotes_ += static_cast<size_t>(std::count(line.begin(), line.end(), '"'));
  // Quotes come in pairs in a well-formed row ("" stands for one); an odd
  // count so far means a quoted cell goes on in the next line.
  continued_ = quotes_ % 2 != 0;
  if (continued_) return Outcome::kNeedLine;
  return split();
}

CsvRowParser::Outcome CsvRowParser::split() {
  std::string_view r(row_);
  if (!r.empty() && r.back() == '\r') r.remove_suffix(1);  // a CRLF ending
  if (r.empty()) return Outcome::kBlank;
  if (!is_valid_utf8(r)) return Outcome::kDecline;
  cells_.clear();
  size_t i = 0;
  const size_t n = r.size();
  for (;;) {
    std::string& cell = cells_.emplace_back();
    if (i < n && r[i] == '"') {
      for (++i;; ++i) {
        if (i >= n) return Outcome::kDecline;
        const char c = r[i];
        if (c == '"') {
          if (i + 1 < n && r[i + 1] == '"') {
            cell.push_back('"');
            ++i;
            continue;
          }
          ++i;
          break;
        }
        if (c == '\0' || (c == '\r' && (i + 1 >= n || r[i + 1] != '\n'))) {
          return Outcome::kDecline;
        }
        cell.push_back(c);
      }
      if (i == n) return Outcome::kRow;
      if (r[i] != ',') return Outcome::kDecline;
      ++i;
      continue;
    }
    const size_t start = i;
    for (; i < n && r[i] != ','; ++i) {
      const char c = r[i];
      if (c == '"' || c == '\r' || c == '\n' || c == '\0') {
        return Outcome::kDecline;
      }
    }
    cell.assign(r.substr(start, i - start));
    if (i == n) return Outcome::kRow;
    ++i;
  }
}

}  // namespace orvi::tools
