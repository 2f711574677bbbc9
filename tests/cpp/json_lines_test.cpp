#include "tools/json_lines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace orvi::tools {
namespace {

class JsonLinesTest : public ::testing::Test {
 protected:
  // The properties of a node line holding `props` (JSON text), or
  // "declined".
  std::string props(const std::string& props) {
    const std::string line = R"({"type": "node", "id": 1, "properties": )" + props + "}";
    if (parser_.parse_line(line, record_) != JsonRecordParser::Outcome::kRecord) {
      return "declined";
    }
    return record_.props;
  }

  JsonRecordParser parser_;
  ImportRecord record_;
};

// Tags decoded, a repeated key keeping its last value, escapes and a
// surrogate pair: the bytes the orvi module stores for the same values.
TEST_F(JsonLinesTest, ValuesEncodeAsTheModuleEncodesThem) {
  PropMap inner;
  inner["$x"] = PropValue::from_float(-std::numeric_limits<double>::infinity());
  PropMap expected;
  expected["m"] = PropValue::from_map(std::move(inner));
  expected["n"] = PropValue::from_float(std::nan(""));
  expected["k"] = PropValue::from_list({PropValue::null(), PropValue::from_int(-5),
                                       PropValue::from_float(0.1)});
  expected["s"] = PropValue::from_string("\"\\/\b\f\n\r\t\xF0\x9F\x98\x80\xC3\xA9");
  EXPECT_EQ(props(R"({"m": {"$map": {"$x": {"$float": "-inf"}}}, "n": {"$float": "nan"},
                      "k": 1, "k": [null, -5, 0.1],
                      "s": "\"\\\/\b\f\n\r\t\ud83d\ude00\u00e9"})"),
            encode_props(expected));
  EXPECT_EQ(props("{}"), "");
}

// What Python reads in its own ways, or refuses with its own message.
TEST_F(JsonLinesTest, UnusualInputIsDeclined) {
  for (const char* text :
       {R"({"x": 9223372036854775808})", R"({"x": 1e400})", R"({"x": 1e-400})",
        R"({"x": NaN})", R"({"x": "\ud800"})", R"({"x": "\udc00"})",
        R"({"x": {"$float": "NaN"}})", R"({"x": {"$map": []}})", R"({"x": {"$y": 1}})",
        R"({"x": "tab	inside"})", R"({"x": 01})", R"({"x": 1.})", R"({"x": [1,]})",
        R"([])", R"(null)", R"({"x": )" "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}"}) {
    EXPECT_EQ(props(text), "declined") << text;
  }
  for (const char* line : {R"({"type": "node", "id": true})", R"({"type": "node"})",
                           R"({"type": "edge", "from": 1, "to": 2, "label": null})",
                           R"({"type": "vertex", "id": 1})", "\xEF\xBB\xBF{}"}) {
    EXPECT_EQ(parser_.parse_line(line, record_), JsonRecordParser::Outcome::kDecline)
        << line;
  }
  EXPECT_EQ(parser_.parse_line(" \t\r\x0c", record_), JsonRecordParser::Outcome::kBlank);
}

TEST(CsvRowParserTest, RowsSplitAsPythonsReaderSplitsThem) {
  CsvRowParser rows;
  using Outcome = CsvRowParser::Outcome;
  ASSERT_EQ(rows.add_line(R"(a,"b,""c""",,"")"), Outcome::kRow);
  EXPECT_EQ(rows.cells(), (std::vector<std::string>{"a", "b,\"c\"", "", ""}));
  ASSERT_EQ(rows.add_line("x,\"two\r"), Outcome::kNeedLine);
  ASSERT_EQ(rows.add_line("lines\"\r"), Outcome::kRow);
  EXPECT_EQ(rows.cells(), (std::vector<std::string>{"x", "two\r\nlines"}));
  EXPECT_EQ(rows.add_line("\r"), Outcome::kBlank);
  for (const char* bad : {"a\"b\",c", "\"a\"b", "a\rb", "\"\xff\""}) {
    EXPECT_EQ(rows.add_line(bad), Outcome::kDecline) << bad;
  }
}

}  // namespace
}  // namespace orvi::tools
