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

TEST(report_test, builders_and_absent_values) {
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
  // Absent values inside sections are null.
  Report sections = fixed_time(Report::create({}));
  FlipResult flip;
  flip.mask_mean_fa = NAN;
  sections.flip = flip;
  ShellAngular s;
  s.condition_number = HUGE_VAL;
  sections.angular = AngularSummary{5.0, {s}};
  sections.inputs.push_back({"a\"b\nc.bvec", std::string(64, 'a'), 7});
  const std::string nulls = compact(sections);
  EXPECT_NE(nulls.find(R"("recommended_transform":null,"recommended_label":null)"),
            std::string::npos);
  EXPECT_NE(nulls.find(R"("mask_mean_fa":null)"), std::string::npos);
  EXPECT_NE(nulls.find(R"("condition_number":null)"), std::string::npos);
  EXPECT_NE(nulls.find(R"("path":"a\"b\nc.bvec")"), std::string::npos);
  // Section order follows the declaration, whatever order they were set in.
  EXPECT_LT(nulls.find("\"angular\""), nulls.find("\"flip\""));
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
