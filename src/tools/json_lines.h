// JsonRecordParser: the records of the JSON Lines import format and the
// JSON cells of the CSV import format (with CsvRowParser for its rows), read straight into the stored
// encoding of labels and properties, with no Python object per value.
//
// Input is JSON text as Python's json module reads it; property values are
// in the tagged form of the exchange formats (`{"$float": "nan"}`,
// `{"$map": {...}}`, read by the rule of tagged_value.h), decoded here into
// the values they stand for. Objects keep the last value of a repeated key, as
// a dict built by json.loads does; the stored maps are ordered by key, so
// where the key first appeared does not matter.
//
// The parser accepts only what it can read exactly as the Python readers
// do, and declines everything else: malformed JSON, a record that breaks a
// rule of the format, and input that is well-formed but unusual (integers
// outside int64, numbers whose double overflows or underflows, the
// literals NaN and Infinity, lone surrogates, values nested deeper than a
// property may be). A declined record is for the Python reader, which then
// builds exactly the value or the error message it always has. So a
// decline is never an error by itself.
//
// One parser per thread; the views it hands out (record keys and labels)
// stay valid until its next call.
#ifndef ORVI_TOOLS_JSON_LINES_H_
#define ORVI_TOOLS_JSON_LINES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/prop_codec.h"
#include "tools/key_map.h"

namespace orvi::tools {

// One record of an import, its labels and properties encoded as
// GraphBuilder::add_node and add_edge_encoded take them.
struct ImportRecord {
  bool is_node = true;
  NodeKey key;     // a node's key, or an edge's source
  NodeKey target;  // an edge's target
  Bytes labels;    // a node's labels, or an edge's label (one String)
  Bytes props;
};

class JsonRecordParser {
 public:
  enum class Outcome { kRecord, kBlank, kDecline };

  // One line of a JSON Lines file, without its newline: a record, a line
  // the reader skips (whitespace only), or a decline.
  Outcome parse_line(std::string_view line, ImportRecord& out);

  // A CSV cell of labels (a JSON list of str) or of properties (a JSON
  // object of tagged values); an empty cell stands for none. False: a
  // decline.
  bool parse_labels_cell(std::string_view cell, Bytes& out);
  bool parse_props_cell(std::string_view cell, Bytes& out);
  // One property value in the tagged form (a cell of a table's column of
  // JSON texts), appended to `out`. False: a decline.
  bool parse_value_cell(std::string_view cell, Bytes& out);

 private:
  enum Kind : uint8_t {
    kNull, kFalse, kTrue, kInt, kFloat, kString, kArray, kObject
  };
  struct Value {
    Kind kind = kNull;
    uint32_t count = 0;   // items of an array, distinct keys of an object
    uint64_t first = 0;   // offset of a string in text_, of the items in
                          // items_, of the members in members_
    uint64_t length = 0;  // a string's length
    int64_t integer = 0;
    double real = 0;
  };
  struct Member {
    uint64_t key = 0;  // offset in text_
    uint32_t key_length = 0;
    uint32_t value = 0;
  };

  // The document's top value; false on a decline.
  bool parse_document(std::string_view text, uint32_t& top);
  bool parse_value(unsigned depth, uint32_t& out);
  bool parse_string(uint64_t& offset, uint64_t& length);
  bool parse_number(Value& v);
  void skip_space();
  // Consumes `c` when it comes next.
  bool take(char c);
  // The elements of an array or object after its opening bracket, up to
  // `close`: element() reads one; false on a decline.
  template <class Element>
  bool elements(char close, Element element);

  std::string_view text_of(uint64_t offset, uint64_t length) const {
    return std::string_view(text_).substr(offset, length);
  }
  std::string_view key_of(const Member& m) const {
    return text_of(m.key, m.key_length);
  }
  // The member `name` of object `obj`; nullptr when it has none.
  const Value* member(const Value& obj, std::string_view name) const;

  bool encode_value(const Value& v, unsigned depth, Bytes& out) const;
  bool encode_map(const Value& obj, unsigned depth, Bytes& out) const;
  bool encode_labels(const Value* v, Bytes& out) const;
  bool encode_props(const Value* v, Bytes& out) const;
  bool node_key(const Value* v, NodeKey& out) const;

  std::string_view in_;
  size_t pos_ = 0;
  std::vector<Value> values_;
  std::vector<uint32_t> items_;
  std::vector<Member> members_;
  std::vector<uint32_t> item_stack_;
  std::vector<Member> member_stack_;
  std::string text_;
};

// The rows of a CSV file as Python's csv reader reads them (the excel
// dialect, strict), for the CSV import. Like the JSON parser it accepts
// only rows it reads exactly so and declines the rest: a quote inside an
// unquoted cell, text after a closing quote, a carriage return that does
// not end a line, a NUL byte, an unterminated quote, text that is not
// UTF-8. Rows are assembled from the file's lines (without their '\n').
class CsvRowParser {
 public:
  enum class Outcome { kRow, kBlank, kNeedLine, kDecline };

  // Adds the next line of the file to the row being read. kNeedLine: the
  // row goes on in the next line (a quoted cell spans it); at the end of
  // the file that is a decline. Otherwise the row is done (its cells in
  // cells()) and the next call starts a new one.
  Outcome add_line(std::string_view line);
  const std::vector<std::string>& cells() const { return cells_; }

 private:
  Outcome split();

  std::string row_;
  bool continued_ = false;
  size_t quotes_ = 0;
  std::vector<std::string> cells_;
};

}  // namespace orvi::tools

#endif  // ORVI_TOOLS_JSON_LINES_H_
