#include "documents/provenance.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "candidate.hpp"
#include "test_support.hpp"

using namespace quorvex_core;

TEST(provenance_test, fixed_keys_and_applied_fields_only_for_a_recommendation) {
  const quorvex_test::ScratchDir dir;
  const std::string path = dir.write("p.json", "an older sidecar that is longer than the new one");
  ASSERT_TRUE(write_sidecar(path, Provenance::create({})).has_value());
  std::string text = quorvex_test::read_all(path);
  text = std::regex_replace(text, std::regex(R"("timestamp": "[^"]*")"), R"("timestamp": "T")");
  EXPECT_EQ(text,
            "{\n  \"schema_version\": 1,\n  \"tool\": \"quorvex\",\n  \"tool_version\": "
            "\"1.1.4\",\n  \"timestamp\": \"T\",\n  \"inputs\": [],\n  \"outputs\": [],\n  "
            "\"notes\": []\n}");
  EXPECT_FALSE(std::filesystem::exists(path + ".bak"));
  // A flip without a recommendation leaves the applied fields out.
  FlipResult flip;
  flip.decision = Status::Warn;
  const std::string warned =
      to_json(Provenance::create({}).with_flip(flip).with_outputs({"a", "b"}));
  EXPECT_NE(warned.find("\"flip\": {"), std::string::npos);
  EXPECT_EQ(warned.find("applied_transform"), std::string::npos);
  EXPECT_EQ(warned.find("applied_label"), std::string::npos);
  flip.decision = Status::Flag;
  flip.recommended_transform = all_candidates()[1].matrix;
  flip.recommended_label = "-x+y+z";
  const std::string flagged = to_json(Provenance::create({}).with_flip(flip));
  EXPECT_NE(flagged.find("\"applied_label\": \"-x+y+z\""), std::string::npos);
}
