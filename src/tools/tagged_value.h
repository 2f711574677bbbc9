// The tagged form of property values in the exchange formats (JSON Lines,
// the JSON cells of CSV, the JSON columns of tables), and the one reading
// of it that every import path uses.
//
// JSON has no NaN or infinity, and a property map may use any key, so the
// exporters write values as plain JSON except for two tags:
//   {"$float": "nan"}  ("inf", "-inf")   a float JSON cannot write
//   {"$map": {...}}                       a map whose only key begins with
//                                         '$', which would read as a tag
// An object of exactly one member whose key begins with '$' is a tag; any
// other object is a map as it stands. The members of a record's own
// properties object are never tags themselves, only their values.
//
// read_tag() below is that rule. JsonRecordParser applies it to the JSON
// it parses in C++ (straight into the stored encoding), and
// decode_tagged() in tagged_value.cpp applies it to the Python values
// json.loads made, for the inputs the C++ parser leaves to Python; so a
// value reads the same whichever path reads it, and only the Python path
// words errors (it is the one that reports them).
#ifndef ORVI_TOOLS_TAGGED_VALUE_H_
#define ORVI_TOOLS_TAGGED_VALUE_H_

#include <limits>
#include <optional>
#include <string_view>

namespace orvi::tools {

enum class TagMeaning {
  kNotTag,      // an ordinary map
  kMap,         // "$map" holding an object: that object is the map
  kFloat,       // "$float" naming one of the special floats
  kBadFloat,    // "$float" holding anything else
  kBadMap,      // "$map" holding no object
  kUnknownTag,  // any other key beginning with '$'
};

// What an object of exactly one member stands for. `key` is the member's
// key; `inner_text` the member's value when it is a string (nullopt
// otherwise), `inner_is_object` whether the value is an object. For kFloat
// the value is stored in `real`.
inline TagMeaning read_tag(std::string_view key,
                           std::optional<std::string_view> inner_text,
                           bool inner_is_object, double& real) {
  if (key.empty() || key[0] != '$') return TagMeaning::kNotTag;
  if (key == "$map") {
    return inner_is_object ? TagMeaning::kMap : TagMeaning::kBadMap;
  }
  if (key != "$float") return TagMeaning::kUnknownTag;
  if (!inner_text) return TagMeaning::kBadFloat;
  if (*inner_text == "nan") {
    real = std::numeric_limits<double>::quiet_NaN();
  } else if (*inner_text == "inf") {
    real = std::numeric_limits<double>::infinity();
  } else if (*inner_text == "-inf") {
    real = -std::numeric_limits<double>::infinity();
  } else {
    return TagMeaning::kBadFloat;
  }
  return TagMeaning::kFloat;
}

}  // namespace orvi::tools

#endif  // ORVI_TOOLS_TAGGED_VALUE_H_
