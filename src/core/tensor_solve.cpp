// Eigenvalues from the trigonometric solution of the characteristic cubic, with its cosine found
// by Newton's method, and the principal direction from the null space of D - l1 I. One template
// serves a voxel and four side by side: the same IEEE operations in the same order, so the lanes
// give the bits a single voxel does, and the rare voxel that needs care goes one at a time.
#include "tensor_solve.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace quorvex_core {
namespace {

// Four doubles in one register where the machine has them (two SSE2 halves otherwise).
using Lanes = double __attribute__((vector_size(32)));
// The same, loadable from any double's address in one instruction.
using LanesAt = double __attribute__((vector_size(32), aligned(8), may_alias));

// Below these the cubic has a double root next to the one sought, or D - l1 I loses its rank:
// the general solver takes over.
constexpr double min_spread = 1e-24;
constexpr double min_double_root_distance = -0.999;
constexpr double min_cross_norm = 1e-20;

[[gnu::always_inline]] inline double abs_of(double x) {
  return std::fabs(x);
}
[[gnu::always_inline]] inline double max_of(double a, double b) {
  return std::max(a, b);
}
[[gnu::always_inline]] inline double sqrt_of(double x) {
  return std::sqrt(x);
}
[[gnu::always_inline]] inline double clamp_of(double v, double lo, double hi) {
  return std::clamp(v, lo, hi);
}
// fabs lane by lane: the sign bit cleared.
[[gnu::always_inline]] inline Lanes abs_of(Lanes x) {
  using Bits = std::uint64_t __attribute__((vector_size(32)));
  return reinterpret_cast<Lanes>(reinterpret_cast<Bits>(x) & (Bits{} + ~(std::uint64_t{1} << 63)));
}
// std::max's and std::clamp's own comparisons, lane by lane.
[[gnu::always_inline]] inline Lanes max_of(Lanes a, Lanes b) {
  return a < b ? b : a;
}
[[gnu::always_inline]] inline Lanes sqrt_of(Lanes x) {
  for (int k = 0; k < 4; ++k)
    x[k] = std::sqrt(x[k]);
  return x;
}
[[gnu::always_inline]] inline Lanes clamp_of(Lanes v, double lo, double hi) {
  const Lanes low = Lanes{} + lo;
  const Lanes high = Lanes{} + hi;
  return v < low ? low : (high < v ? high : v);
}

// The tensor scaled to unit size (so the invariants neither overflow nor underflow), and the
// cubic's shift q, spread p and cosine r of three times the angle.
template <class T>
struct Cubic {
  T scale, a, b, e, d01, d02, d12, q, p2, p, r;
};

template <class T>
[[gnu::always_inline]] inline Cubic<T> cubic(const T& xx, const T& yy, const T& zz, const T& xy,
                                             const T& xz, const T& yz) {
  Cubic<T> o;
  o.scale = max_of(
      max_of(max_of(max_of(max_of(abs_of(xx), abs_of(yy)), abs_of(zz)), abs_of(xy)), abs_of(xz)),
      abs_of(yz));
  // Multiplied by reciprocals: a division costs several multiplies here.
  const T to_unit = 1.0 / o.scale;
  o.a = xx * to_unit;
  o.b = yy * to_unit;
  o.e = zz * to_unit;
  o.d01 = xy * to_unit;
  o.d02 = xz * to_unit;
  o.d12 = yz * to_unit;
  o.q = (o.a + o.b + o.e) / 3.0;
  o.p2 = (o.a - o.q) * (o.a - o.q) + (o.b - o.q) * (o.b - o.q) + (o.e - o.q) * (o.e - o.q) +
         2.0 * (o.d01 * o.d01 + o.d02 * o.d02 + o.d12 * o.d12);
  o.p = sqrt_of(o.p2 / 6.0);
  const T inverse_p = 1.0 / o.p;
  const T b00 = (o.a - o.q) * inverse_p;
  const T b11 = (o.b - o.q) * inverse_p;
  const T b22 = (o.e - o.q) * inverse_p;
  const T b01 = o.d01 * inverse_p;
  const T b02 = o.d02 * inverse_p;
  const T b12 = o.d12 * inverse_p;
  const T det =
      b00 * (b11 * b22 - b12 * b12) - b01 * (b01 * b22 - b12 * b02) + b02 * (b01 * b12 - b11 * b02);
  o.r = clamp_of(det / 2.0, -1.0, 1.0);
  return o;
}

// cos(acos(r) / 3): the root in [1/2, 1] of 4c^3 - 3c = r. A quartic in sqrt(1 + r) comes
// within 6e-5 of it from above, where Newton's method falls monotonically onto the root: three
// steps reach the library's acos and cos to a few units in the last place, at a fraction of
// their cost. Next to r = -1 the root turns double and Newton slows: the library does it there.
template <class T>
[[gnu::always_inline]] inline T newton_cos_third(const T& r) {
  const T s = sqrt_of(1.0 + r);
  T c = 0.5000566 + 5.66e-5 +
        s * (0.40749654 + s * (-0.05239045 + s * (0.01281117 + s * -0.00195132)));
  for (int k = 0; k < 3; ++k) {
    const T c2 = c * c;
    c -= (4.0 * c2 * c - 3.0 * c - r) / (12.0 * c2 - 3.0);
  }
  return c;
}

// Free functions, always inlined: a lambda is not, and a call that passes four lanes between
// the AVX2 kernel and code built without AVX2 would not agree on where they go (unoptimised
// builds make such calls).
template <class T>
[[gnu::always_inline]] inline std::array<T, 3> cross(const std::array<T, 3>& u,
                                                     const std::array<T, 3>& v) {
  return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

template <class T>
[[gnu::always_inline]] inline T norm2(const std::array<T, 3>& v) {
  return v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
}

// The eigenvalues, largest first, and the longest cross product of two rows of D - l1 I with
// its squared length.
template <class T>
struct Principal {
  T l1, l2, l3, best_norm;
  std::array<T, 3> best;
};

template <class T>
[[gnu::always_inline]] inline Principal<T> principal(const Cubic<T>& o, const T& cos_phi) {
  Principal<T> out;
  // phi lies in [0, pi / 3], so its sine is the non-negative root.
  const T sin_phi = sqrt_of(max_of(T{} + 0.0, 1.0 - cos_phi * cos_phi));
  out.l1 = o.q + 2.0 * o.p * cos_phi;
  out.l3 = o.q - o.p * (cos_phi + std::sqrt(3.0) * sin_phi);
  out.l2 = 3.0 * o.q - out.l1 - out.l3;
  const std::array<T, 3> r0{o.a - out.l1, o.d01, o.d02};
  const std::array<T, 3> r1{o.d01, o.b - out.l1, o.d12};
  const std::array<T, 3> r2{o.d02, o.d12, o.e - out.l1};
  const auto c01 = cross(r0, r1);
  const auto c02 = cross(r0, r2);
  const auto c12 = cross(r1, r2);
  const T n01 = norm2(c01);
  const T n02 = norm2(c02);
  const T n12 = norm2(c12);
  // Selected without branches: which product is longest is a coin toss from voxel to voxel.
  const auto first = n01 >= n02;
  const T n_first = first ? n01 : n02;
  const auto last = n12 > n_first;
  out.best_norm = last ? n12 : n_first;
  for (std::size_t k = 0; k < 3; ++k)
    out.best[k] = last ? c12[k] : (first ? c01[k] : c02[k]);
  return out;
}

// FA and validity of voxels whose eigenvalues are `lambda` (negative ones, fitting noise,
// count as 0) and whose principal direction is `v1`: of one voxel, or of four side by side with
// the same operations lane by lane. An invalid voxel gets a zero direction and FA.
template <class T>
struct Finished {
  std::array<T, 3> v1;
  T fa;
  decltype(T{} < T{}) valid;
};

// Either and both of two conditions: of one voxel (bool) or lane by lane (masks).
template <class M>
[[gnu::always_inline]] inline M either(const M& a, const M& b) {
  if constexpr (std::is_same_v<M, bool>) {
    return a || b;
  } else {
    return a | b;
  }
}
template <class M>
[[gnu::always_inline]] inline M both(const M& a, const M& b) {
  if constexpr (std::is_same_v<M, bool>) {
    return a && b;
  } else {
    return a & b;
  }
}

template <class T>
[[gnu::always_inline]] inline Finished<T> finish(std::array<T, 3> lambda,
                                                 const std::array<T, 3>& v1) {
  const T zero = T{} + 0.0;
  for (T& l : lambda)
    l = either(l < zero, l != l) ? zero : l;
  const T ss = lambda[0] * lambda[0] + lambda[1] * lambda[1] + lambda[2] * lambda[2];
  const T mean = (lambda[0] + lambda[1] + lambda[2]) / 3.0;
  const T dev = (lambda[0] - mean) * (lambda[0] - mean) + (lambda[1] - mean) * (lambda[1] - mean) +
                (lambda[2] - mean) * (lambda[2] - mean);
  // Never the root of a negative: at worst of 0 / 0, in a lane the selection drops.
  const T fa = ss > zero ? sqrt_of(1.5 * dev / ss) : zero;
  // fa is NaN, infinite or not negative: below infinity is finite.
  const auto valid = both(fa < zero + std::numeric_limits<double>::infinity(),
                          either(either(lambda[0] > zero, lambda[1] > zero), lambda[2] > zero));
  Finished<T> out;
  for (std::size_t k = 0; k < 3; ++k)
    out.v1[k] = valid ? v1[k] : zero;
  out.fa = valid ? fa : zero;
  out.valid = valid;
  return out;
}

template <class T>
[[gnu::always_inline]] inline Finished<T> finish_principal(const T& scale, const Principal<T>& e) {
  const T inverse = 1.0 / sqrt_of(e.best_norm);
  return finish<T>({e.l3 * scale, e.l2 * scale, e.l1 * scale},
                   {e.best[0] * inverse, e.best[1] * inverse, e.best[2] * inverse});
}

VoxelFit voxel_fit(const Finished<double>& f) {
  return {f.v1, f.fa, f.valid};
}

// A tensor whose largest eigenvalue is not simple: the general solver picks a direction.
VoxelFit fit_voxel_general(const double* c, std::size_t stride) {
  Eigen::Matrix3d d;
  d << c[0], c[3 * stride], c[4 * stride], c[3 * stride], c[stride], c[5 * stride], c[4 * stride],
      c[5 * stride], c[2 * stride];
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
  solver.computeDirect(d);
  const auto e = solver.eigenvectors().col(2);
  return voxel_fit(
      finish<double>({solver.eigenvalues()(0), solver.eigenvalues()(1), solver.eigenvalues()(2)},
                     {e(0), e(1), e(2)}));
}

}  // namespace

VoxelFit fit_voxel(const double* c, std::size_t stride) {
  const Cubic<double> o =
      cubic(c[0], c[stride], c[2 * stride], c[3 * stride], c[4 * stride], c[5 * stride]);
  // A tensor of zeros or of anything not finite has no direction.
  if (!(o.scale > 0.0) || !std::isfinite(o.scale)) return {};
  if (!(o.p2 > min_spread)) return fit_voxel_general(c, stride);
  const double cos_phi =
      o.r < min_double_root_distance ? std::cos(std::acos(o.r) / 3.0) : newton_cos_third(o.r);
  const Principal<double> e = principal(o, cos_phi);
  // A repeated largest eigenvalue leaves D - l1 I of rank one or less: every cross product
  // vanishes and the direction is the general solver's choice.
  if (!(e.best_norm > min_cross_norm)) return fit_voxel_general(c, stride);
  return voxel_fit(finish_principal(o.scale, e));
}

namespace {

[[gnu::always_inline]] inline std::array<VoxelFit, 4> fit_voxels4_body(const double* c,
                                                                       std::size_t stride) {
  // Loaded whole: halves copied through the stack would stall the loads that follow.
  std::array<Lanes, 6> in;
  for (std::size_t k = 0; k < 6; ++k)
    in[k] = *reinterpret_cast<const LanesAt*>(c + k * stride);
  const Cubic<Lanes> o = cubic(in[0], in[1], in[2], in[3], in[4], in[5]);
  const Principal<Lanes> e = principal(o, newton_cos_third(o.r));
  const Finished<Lanes> f = finish_principal(o.scale, e);
  std::array<VoxelFit, 4> out;
  for (std::size_t lane = 0; lane < 4; ++lane) {
    const bool plain = o.scale[lane] > 0.0 && std::isfinite(o.scale[lane]) &&
                       o.p2[lane] > min_spread && !(o.r[lane] < min_double_root_distance) &&
                       e.best_norm[lane] > min_cross_norm;
    out[lane] = plain ? VoxelFit{{f.v1[0][lane], f.v1[1][lane], f.v1[2][lane]},
                                 f.fa[lane],
                                 f.valid[lane] != 0}
                      : fit_voxel(c + lane, stride);
  }
  return out;
}

// Chosen when first called, as the fit's other kernels are.
std::array<VoxelFit, 4> fit_voxels4_plain(const double* c, std::size_t stride) {
  return fit_voxels4_body(c, stride);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] std::array<VoxelFit, 4> fit_voxels4_avx2(const double* c,
                                                                 std::size_t stride) {
  return fit_voxels4_body(c, stride);
}
#endif

}  // namespace

std::array<VoxelFit, 4> fit_voxels4(const double* c, std::size_t stride) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  if (avx2) return fit_voxels4_avx2(c, stride);
#endif
  return fit_voxels4_plain(c, stride);
}

}  // namespace quorvex_core
