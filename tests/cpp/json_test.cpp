#include "quorvex/json.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>

#include "test_support.hpp"

using quorvex_core::json::Layout;
using quorvex_core::json::Writer;

namespace {

std::string sample(Layout layout) {
  Writer w(layout);
  w.begin_object();
  w.key("schema_version").integer(1);
  w.key("scheme").begin_object();
  w.key("directions").begin_array().begin_array().number(1.0).number(-0.0).number(NAN).end_array();
  w.end_array();
  w.key("bvals").begin_array().end_array();
  w.end_object();
  w.key("notes").begin_array().string("a \"b\"\n").end_array();
  w.key("empty").begin_object().end_object();
  w.key("flag").boolean(false);
  w.key("label").null();
  w.end_object();
  return w.take();
}

}  // namespace

TEST(json_test, layouts_escapes_and_a_failed_write) {
  EXPECT_EQ(sample(Layout::Compact),
            R"({"schema_version":1,"scheme":{"directions":[[1.0,-0.0,null]],"bvals":[]},)"
            R"("notes":["a \"b\"\n"],"empty":{},"flag":false,"label":null})");
  // Two-space indent, no final newline.
  EXPECT_EQ(sample(Layout::Pretty),
            "{\n"
            "  \"schema_version\": 1,\n"
            "  \"scheme\": {\n"
            "    \"directions\": [\n"
            "      [\n"
            "        1.0,\n"
            "        -0.0,\n"
            "        null\n"
            "      ]\n"
            "    ],\n"
            "    \"bvals\": []\n"
            "  },\n"
            "  \"notes\": [\n"
            "    \"a \\\"b\\\"\\n\"\n"
            "  ],\n"
            "  \"empty\": {},\n"
            "  \"flag\": false,\n"
            "  \"label\": null\n"
            "}");
  // String escapes; ill-formed UTF-8 (found by the JSON fuzzer) used to make the whole document
  // unparseable.
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {std::string("\\\b\t\n\f\r\x01\x1f\x7f\xC3\xA9/", 12),
       "\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xC3\xA9/\""},
      {"a\xFF"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},                                       // truncated at the end
      {"\xED\xA0\x80\n", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\\n\""},  // surrogate
      {"\xC0\xAF\"", "\"\xEF\xBF\xBD\xEF\xBF\xBD\\\"\""},  // overlong, then an escape
  };
  for (const auto& c : cases) {
    std::string out;
    quorvex_core::json::append_string(out, c.text);
    EXPECT_EQ(out, c.json);
  }
  // A failed document write is a JSON error.
  EXPECT_ERROR(quorvex_core::json::write_document("/nonexistent/dir/report.json", "{}"), Io,
               "I/O error: No such file or directory (os error 2)");
  struct stat info {};
  if (::stat("/dev/full", &info) == 0) {
    EXPECT_ERROR(quorvex_core::json::write_document("/dev/full", "{}"), Json,
                 "JSON error: No space left on device (os error 28)");
  }
}
