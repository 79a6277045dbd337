#include "quorvex/confirm.hpp"

#include <gtest/gtest.h>
#include <oneapi/tbb/global_control.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "candidate.hpp"
#include "confirm_rule.hpp"
#include "tracking.hpp"

using namespace quorvex_core;

namespace {

// A field on `shape` with FA 0.5 everywhere and directions from `direction(x, y, z)`.
TensorField field_of(const GridShape& shape, const std::function<Vec3(double, double, double)>& f) {
  TensorField field;
  field.shape = shape;
  const std::size_t n = voxel_count(shape);
  field.v1.resize(n, Vec3{0.0, 0.0, 0.0});
  field.fa.assign(n, 0.5);
  field.s0.assign(n, 1000.0);
  field.valid.assign(n, 1);
  for (std::size_t x = 0; x < shape[0]; ++x) {
    for (std::size_t y = 0; y < shape[1]; ++y) {
      for (std::size_t z = 0; z < shape[2]; ++z) {
        Vec3 v = f(static_cast<double>(x), static_cast<double>(y), static_cast<double>(z));
        const double n_v = norm(v);
        field.v1[grid_index(shape, x, y, z)] = {v[0] / n_v, v[1] / n_v, v[2] / n_v};
      }
    }
  }
  return field;
}

// Smooth random directions with no anatomy: a few random plane waves per component.
TensorField null_field(std::uint64_t seed, const GridShape& shape) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::array<std::array<double, 7>, 3 * 4> waves{};
  for (auto& w : waves) {
    for (double& c : w)
      c = normal(rng);
  }
  return field_of(shape, [&](double x, double y, double z) {
    Vec3 v{0, 0, 0};
    for (std::size_t k = 0; k < waves.size(); ++k) {
      const auto& w = waves[k];
      v[k % 3] += w[0] * std::sin(0.25 * (w[1] * x + w[2] * y + w[3] * z) + w[4]);
    }
    return v;
  });
}

// Direction along x, rotated by `degrees` about z from x = `turn_at` on.
TensorField bent_line(double degrees, std::size_t turn_at) {
  const double r = degrees * 3.14159265358979323846 / 180.0;
  return field_of({40, 40, 3}, [&](double x, double, double) {
    return x >= static_cast<double>(turn_at) - 0.5 ? Vec3{std::cos(r), std::sin(r), 0.0}
                                                   : Vec3{1.0, 0.0, 0.0};
  });
}

TrackingRule mm2() {
  TrackingRule rule;
  rule.voxel_size = {2.0, 2.0, 2.0};  // steps of 1 mm, half a voxel
  return rule;
}

}  // namespace

TEST(confirm_test, mask_rule_needs_six_aligned_anisotropic_neighbours) {
  const GridShape shape{3, 3, 3};
  const std::size_t centre = grid_index(shape, 1, 1, 1);
  struct Case {
    std::size_t anisotropic_neighbours;
    double neighbour_cos;
    double centre_fa;
    bool inside;
  };
  for (const Case c :
       {Case{26, 1.0, 0.5, true}, Case{6, 1.0, 0.5, true}, Case{5, 1.0, 0.5, false},
        Case{26, 0.8, 0.5, true}, Case{26, 0.7, 0.5, false}, Case{26, 1.0, 0.19, false}}) {
    const double s = std::sqrt(1.0 - c.neighbour_cos * c.neighbour_cos);
    TensorField field = field_of(shape, [&](double, double, double) {
      return Vec3{c.neighbour_cos, s, 0.0};
    });
    field.v1[centre] = {1.0, 0.0, 0.0};
    field.fa[centre] = c.centre_fa;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < voxel_count(shape); ++i) {
      if (i == centre) continue;
      field.fa[i] = kept++ < c.anisotropic_neighbours ? 0.2 : 0.19;
    }
    EXPECT_EQ(coherent_anisotropy_mask(pack_field(field), CoherentMaskRule{})[centre] != 0,
              c.inside)
        << c.anisotropic_neighbours << " neighbours, cos " << c.neighbour_cos;
  }
}

TEST(confirm_test, tracking_stops_at_each_rule) {
  const TensorField straight = bent_line(0.0, 0);
  TensorField low_fa = straight;
  low_fa.fa[grid_index(low_fa.shape, 25, 20, 1)] = 0.1;
  TensorField invalid = straight;
  invalid.valid[grid_index(invalid.shape, 25, 20, 1)] = 0;
  const Vec3 x_axis{1.0, 0.0, 0.0};
  struct Case {
    const char* rule;
    const TensorField* field;
    double start_x;
    double expected_mm;
  };
  const TensorField sharp = bent_line(50.0, 25);
  const TensorField gentle = bent_line(40.0, 25);
  for (const Case c :
       {Case{"30 mm cap", &straight, 2.0, 30.0}, Case{"grid edge", &straight, 35.0, 8.0},
        Case{"low FA", &low_fa, 20.0, 8.0}, Case{"invalid fit", &invalid, 20.0, 8.0},
        Case{"turn above 45 degrees", &sharp, 20.0, 8.0}}) {
    EXPECT_DOUBLE_EQ(
        track_side(pack_field(*c.field), identity_matrix, {c.start_x, 20.0, 1.0}, x_axis, mm2()),
        c.expected_mm)
        << c.rule;
  }
  EXPECT_GT(track_side(pack_field(gentle), identity_matrix, {20.0, 20.0, 1.0}, x_axis, mm2()), 8.0);
  EXPECT_EQ(track_side(pack_field(straight), identity_matrix, {NAN, 20.0, 1.0}, x_axis, mm2()),
            0.0);
}

TEST(confirm_test, a_signed_permutation_of_the_table_relabels_the_class_scores_exactly) {
  const GridShape shape{14, 12, 10};
  const TensorField field = null_field(7, shape);
  const Mat3 p{{{0, 0, -1}, {1, 0, 0}, {0, -1, 0}}};  // -z+x-y applied to the table
  TensorField permuted = field;
  for (Vec3& v : permuted.v1)
    v = quorvex_core::apply(p, v);
  const auto seeds =
      draw_seeds(field, std::vector<std::uint8_t>(voxel_count(shape), 1), 0.3, 300, 1);
  const PackedField packed = pack_field(field);
  const PackedField packed_permuted = pack_field(permuted);
  TrackingScorer original(packed, seeds, mm2());
  TrackingScorer relabelled(packed_permuted, seeds, mm2());
  const ClassScores a = score_classes(original, identity_matrix);
  const ClassScores b = score_classes(relabelled, identity_matrix);
  // Class C on the permuted field reads C P v: class C P on the original one.
  const auto candidates = all_candidates();
  const auto classes = candidate_classes();
  for (std::size_t c = 0; c < class_count; ++c) {
    const Mat3 cp = multiply(candidates[classes[c].representative].matrix, p);
    std::size_t match = class_count;
    for (std::size_t k = 0; k < class_count; ++k) {
      if (candidates[classes[k].representative].matrix == cp ||
          candidates[classes[k].antipode].matrix == cp) {
        match = k;
      }
    }
    ASSERT_LT(match, class_count);
    EXPECT_EQ(b[c].value, a[match].value) << candidates[classes[c].representative].label;
  }
}

TEST(confirm_test, answer_is_the_same_on_one_thread_and_on_every_repeat) {
  // A bundle bending through the grid, so the classes differ.
  const TensorField field = field_of({30, 30, 12}, [](double x, double y, double) {
    return Vec3{-(y - 15.0) + 0.01, x - 15.0, 0.0};
  });
  ConfirmOptions options;
  options.tracking = mm2();
  const Confirmation first = confirm_flip(field, nullptr, options);
  Confirmation single;
  {
    const tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    single = confirm_flip(field, nullptr, options);
  }
  const Confirmation again = confirm_flip(field, nullptr, options);
  ASSERT_GT(first.seeds, 100U);
  for (const Confirmation* other : std::array<const Confirmation*, 2>{&single, &again}) {
    EXPECT_EQ(other->decision, first.decision);
    EXPECT_EQ(other->bootstrap_gap_5, first.bootstrap_gap_5);
    EXPECT_EQ(other->worst_half_gap, first.worst_half_gap);
    ASSERT_EQ(other->classes.size(), first.classes.size());
    for (std::size_t k = 0; k < first.classes.size(); ++k) {
      EXPECT_EQ(other->classes[k].label, first.classes[k].label);
      EXPECT_EQ(other->classes[k].mean_length_mm, first.classes[k].mean_length_mm);
    }
  }
}

TEST(confirm_test, each_condition_failing_alone_gives_its_reason) {
  Evidence decisive;
  decisive.seeds = 500;
  decisive.mask_voxels = 900;
  decisive.best_label = "-x+y+z";
  decisive.best_length = 20.0;
  decisive.relative_gap = 0.20;
  decisive.bootstrap_gap_5 = 0.15;
  decisive.worst_half_gap = 0.05;
  decisive.smallest_half = 250;
  decisive.worst_half = "low y";
  decisive.coherence_sampled = true;
  decisive.coherence_strict = true;
  decisive.coherence_same_class = true;
  decisive.coherence_label = "-x+y+z";
  const ConfirmOptions options;
  EXPECT_TRUE(warn_reasons(decisive, options).empty());
  struct Case {
    std::function<void(Evidence&)> change;
    const char* reason;
  };
  const std::vector<Case> cases{
      {[](Evidence& e) { e.relative_gap = 0.099; }, "relative gap 0.099 is below 0.10"},
      {[](Evidence& e) { e.bootstrap_gap_5 = 0.049; }, "bootstrap 5% gap 0.049 is below 0.05"},
      {[](Evidence& e) { e.worst_half_gap = -0.001; },
       "-x+y+z does not win in the low y half of the seeds (gap -0.001)"},
      {[](Evidence& e) { e.smallest_half = 9; },
       "too few seeds to replicate: 500 seed(s), 9 in the smallest half (10 needed)"},
      {[](Evidence& e) {
         e.coherence_same_class = false;
         e.coherence_label = "+x+y+z";
       },
       "the coherence cross-check ranks +x+y+z first, not -x+y+z"},
      {[](Evidence& e) { e.coherence_strict = false; },
       "the coherence cross-check cannot separate its best two classes"},
      {[](Evidence& e) { e.coherence_sampled = false; },
       "the coherence cross-check has no samples on the mask"},
      {[](Evidence& e) { e.coherence_step_valid = false; },
       "the coherence cross-check needs a positive, finite probe length"},
      {[](Evidence& e) { e.relative_gap = NAN; }, "relative gap nan is below 0.10"},
  };
  for (const Case& c : cases) {
    Evidence e = decisive;
    c.change(e);
    EXPECT_EQ(warn_reasons(e, options), std::vector<std::string>{c.reason});
  }
  Evidence none;
  none.coherence_sampled = false;
  // Without seeds there is nothing for the cross-check to check: one reason, not two.
  const std::vector<std::string> expected{
      "no seeds: no coherent anisotropic voxel with FA >= 0.30 (0 voxel(s) in the mask)"};
  EXPECT_EQ(warn_reasons(none, options), expected);
}

TEST(confirm_test, no_seeds_masked_out_voxels_or_fields_without_anatomy_are_never_decisive) {
  const TensorField field = bent_line(0.0, 0);
  ConfirmOptions options;
  options.tracking = mm2();
  const Mask empty(voxel_count(field.shape), false);
  const Confirmation masked_out = confirm_flip(field, &empty, options);
  EXPECT_EQ(masked_out.decision, Status::Warn);
  EXPECT_EQ(masked_out.seeds, 0U);
  EXPECT_EQ(masked_out.mask_voxels, 0U);
  TensorField isotropic = field;
  isotropic.fa.assign(isotropic.fa.size(), 0.1);
  EXPECT_EQ(confirm_flip(isotropic, nullptr, options).decision, Status::Warn);
  // Smooth random fields have no anatomy to be decisive about.
  options.bootstrap_resamples = 100;
  std::size_t decisive = 0;
  // The accuracy benchmark runs 120 larger ones through the whole pipeline.
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    const Confirmation c = confirm_flip(null_field(seed, {16, 16, 12}), nullptr, options);
    decisive += c.decision != Status::Warn ? 1U : 0U;
  }
  EXPECT_EQ(decisive, 0U);
}
