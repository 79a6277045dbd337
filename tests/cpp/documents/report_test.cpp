#include "quorvex/documents/report.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <string>

#include "test_support.hpp"

using namespace quorvex_core;

namespace {

std::string compact(const Report& r) {
  return to_json(r, json::Layout::Compact);
}

// The report without its timestamp, for comparisons.
Report fixed_time(Report r) {
  r.timestamp = "2026-03-01T12:00:05Z";
  return r;
}

}  // namespace

TEST(report_test, scheme_only_report_layout) {
  const Report r = fixed_time(Report::create({}));
  EXPECT_EQ(compact(r), R"({"schema_version":1,"tool":"quorvex","tool_version":"1.1.4",)"
                        R"("timestamp":"2026-03-01T12:00:05Z","status":"PASS","inputs":[],)"
                        R"("scheme":{"directions":[],"bvals":[]},"notes":[]})");
}

TEST(report_test, builders_append_and_replace) {
  Report r = Report::create({{{1, 0, 0}}, {1000}});
  r = std::move(r).with_note("first").with_note("second");
  r = std::move(r).with_repair({identity_matrix, "old", {"a"}});
  r = std::move(r).with_repair({identity_matrix, "+x+y+z", {}});
  EXPECT_EQ(r.notes, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(r.repair->label, "+x+y+z");
  const std::string text = compact(fixed_time(std::move(r)));
  EXPECT_NE(text.find(R"("repair":{"matrix":[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],)"
                      R"("label":"+x+y+z","outputs":[]},"notes":["first","second"]})"),
            std::string::npos);
}

TEST(report_test, absent_values_inside_sections_are_null) {
  Report r = fixed_time(Report::create({}));
  FlipResult flip;
  flip.mask_mean_fa = NAN;
  r.flip = flip;
  ShellAngular s;
  s.condition_number = HUGE_VAL;
  r.angular = AngularSummary{5.0, {s}};
  r.inputs.push_back({"a\"b\nc.bvec", std::string(64, 'a'), 7});
  const std::string text = compact(r);
  EXPECT_NE(text.find(R"("recommended_transform":null,"recommended_label":null)"),
            std::string::npos);
  EXPECT_NE(text.find(R"("mask_mean_fa":null)"), std::string::npos);
  EXPECT_NE(text.find(R"("condition_number":null)"), std::string::npos);
  EXPECT_NE(text.find(R"("path":"a\"b\nc.bvec")"), std::string::npos);
  // Section order follows the declaration, whatever order they were set in.
  EXPECT_LT(text.find("\"angular\""), text.find("\"flip\""));
}

TEST(report_test, timestamps) {
  using namespace std::chrono;
  const sys_days day = year{2026} / 3 / 1;
  const auto at = day + hours{12} + seconds{5};
  EXPECT_EQ(rfc3339_utc(at), "2026-03-01T12:00:05Z");
  EXPECT_EQ(rfc3339_utc(at + milliseconds{250}), "2026-03-01T12:00:05.25Z");
  EXPECT_EQ(rfc3339_utc(time_point_cast<system_clock::duration>(at + nanoseconds{1})),
            "2026-03-01T12:00:05.000000001Z");
  const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d*[1-9])?Z)");
  EXPECT_TRUE(std::regex_match(Report::create({}).timestamp, form));
}

TEST(report_test, pretty_file) {
  const quorvex_test::ScratchDir dir;
  const Report r = fixed_time(Report::create({}));
  ASSERT_TRUE(write_pretty(r, dir.file("r.json")).has_value());
  const std::string text = quorvex_test::read_all(dir.file("r.json"));
  EXPECT_EQ(text.substr(0, 24), "{\n  \"schema_version\": 1,");
  EXPECT_EQ(text.back(), '}');
}
