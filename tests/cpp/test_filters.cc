// Filter tables of the Daubechies and symlet families and the quadrature
// mirror rule.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "lumvet/daubechies.h"
#include "lumvet/util.h"

namespace lumvet {
namespace {

struct Member {
  std::string name;
  std::span<const double> table;
  std::vector<float> taps;
  std::size_t expected_taps;
};

std::vector<Member> all_members() {
  std::vector<Member> members;
  for (std::uint32_t k = 0; k < 24; ++k) {
    const auto family = static_cast<DaubechiesFamily>(k);
    members.push_back(
        {"Db" + std::to_string(k + 1), daubechies_table(family), get_wavelet(family), 2 * (k + 1)});
  }
  for (std::uint32_t k = 0; k < 19; ++k) {
    const auto family = static_cast<SymletFamily>(k);
    members.push_back(
        {"Sym" + std::to_string(k + 2), symlet_table(family), get_wavelet(family), 2 * (k + 2)});
  }
  return members;
}

class FilterTableTest : public testing::TestWithParam<Member> {};

TEST_P(FilterTableTest, ScalingFilterIsOrthonormal) {
  const Member& m = GetParam();
  const auto& h = m.table;
  ASSERT_EQ(h.size(), m.expected_taps);
  long double sum = 0, energy = 0;
  for (double t : h) {
    sum += t;
    energy += static_cast<long double>(t) * t;
  }
  EXPECT_NEAR(static_cast<double>(sum), std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(static_cast<double>(energy), 1.0, 2e-11);
  // Orthogonal to its own even shifts: sum_k h[k] h[k + 2j] = 0 for j != 0.
  // Any wrong inner value breaks this.
  for (std::size_t shift = 2; shift < h.size(); shift += 2) {
    long double dot = 0;
    for (std::size_t k = 0; k + shift < h.size(); ++k) {
      dot += static_cast<long double>(h[k]) * h[k + shift];
    }
    EXPECT_NEAR(static_cast<double>(dot), 0.0, 1e-10) << "shift " << shift;
  }
}

TEST_P(FilterTableTest, HighPassIsMirrorAndOrthogonal) {
  const Member& m = GetParam();
  const std::vector<float> low = m.taps;
  ASSERT_EQ(low.size(), m.table.size());
  for (std::size_t k = 0; k < low.size(); ++k) {
    EXPECT_EQ(low[k], static_cast<float>(m.table[k]));
  }
  const std::vector<float> high = low_pass_to_high(low);
  ASSERT_EQ(high.size(), low.size());
  double high_sum = 0, cross = 0;
  for (std::size_t k = 0; k < low.size(); ++k) {
    const float mirrored = low[low.size() - 1 - k];
    EXPECT_EQ(high[k], (k % 2) ? -mirrored : mirrored);
    high_sum += high[k];
    cross += static_cast<double>(low[k]) * high[k];
  }
  // One vanishing moment at least, and low/high orthogonal (float taps).
  EXPECT_NEAR(high_sum, 0.0, 1e-6);
  EXPECT_NEAR(cross, 0.0, 1e-7);
}

INSTANTIATE_TEST_SUITE_P(AllMembers, FilterTableTest, testing::ValuesIn(all_members()),
                         [](const auto& info) { return info.param.name; });

TEST(FilterTables, Db4AndSym4Values) {
  const std::array<double, 8> db4 = {
      0.23037781330889651,  0.71484657055291567,  0.63088076792985892,  -0.027983769416859854,
      -0.18703481171909309, 0.030841381835560764, 0.032883011666885197, -0.010597401785069032};
  const std::array<float, 8> db4_f32 = {0.230377808f,   0.714846551f,  0.630880773f,
                                        -0.0279837698f, -0.187034816f, 0.0308413822f,
                                        0.0328830108f,  -0.0105974022f};
  const std::array<double, 8> sym4 = {
      0.032223100604042702, -0.012603967262037833, -0.099219543576847216, 0.29785779560527736,
      0.80373875180591614,  0.49761866763201545,   -0.02963552764599851,  -0.075765714789273325};
  const std::array<float, 8> sym4_f32 = {0.0322231017f,  -0.0126039675f, -0.0992195457f,
                                         0.297857791f,   0.803738773f,   0.497618675f,
                                         -0.0296355281f, -0.075765714f};
  const auto db = daubechies_table(DaubechiesFamily::Db4);
  const auto sym = symlet_table(SymletFamily::Sym4);
  const auto db_f = get_wavelet(DaubechiesFamily::Db4);
  const auto sym_f = get_wavelet(SymletFamily::Sym4);
  ASSERT_EQ(db.size(), 8u);
  ASSERT_EQ(sym.size(), 8u);
  for (std::size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(db[k], db4[k]) << k;
    EXPECT_EQ(sym[k], sym4[k]) << k;
    EXPECT_EQ(db_f[k], db4_f32[k]) << k;
    EXPECT_EQ(sym_f[k], sym4_f32[k]) << k;
  }
}

TEST(FilterTables, OrientationOfOtherMembers) {
  const auto db2 = daubechies_table(DaubechiesFamily::Db2);
  EXPECT_EQ(std::vector<double>(db2.begin(), db2.end()),
            (std::vector<double>{0.48296291314453416, 0.83651630373780794, 0.22414386804201339,
                                 -0.12940952255126037}));
  const auto db3 = daubechies_table(DaubechiesFamily::Db3);
  EXPECT_EQ(
      std::vector<double>(db3.begin(), db3.end()),
      (std::vector<double>{0.33267055295008263, 0.80689150931109255, 0.45987750211849154,
                           -0.13501102001025458, -0.085441273882026658, 0.035226291885709533}));
  const auto sym5 = symlet_table(SymletFamily::Sym5);
  EXPECT_EQ(sym5[0], 0.019538882735286728);
  EXPECT_EQ(sym5[1], -0.021101834024758855);
  EXPECT_EQ(sym5[2], -0.17532808990845047);
  EXPECT_EQ(sym5[9], 0.027333068345077982);
  const auto db24 = daubechies_table(DaubechiesFamily::Db24);
  EXPECT_EQ(db24[0], 0.00019143580094755136);
  EXPECT_EQ(db24[1], 0.0030820817149054946);
  EXPECT_EQ(db24[47], -4.3427825038037101e-12);
  const auto sym20 = symlet_table(SymletFamily::Sym20);
  EXPECT_EQ(sym20[0], -6.3291290447763946e-07);
  EXPECT_EQ(sym20[1], -3.2567026420174407e-07);
  EXPECT_EQ(sym20[39], 3.695537474835221e-07);
}

TEST(FilterTables, Sym2AndSym3NarrowToDb2AndDb3) {
  EXPECT_EQ(get_wavelet(SymletFamily::Sym2), get_wavelet(DaubechiesFamily::Db2));
  EXPECT_EQ(get_wavelet(SymletFamily::Sym3), get_wavelet(DaubechiesFamily::Db3));
  // ...although the 64-bit tables are separate.
  EXPECT_NE(symlet_table(SymletFamily::Sym2)[0], daubechies_table(DaubechiesFamily::Db2)[0]);
}

TEST(FilterTables, ProviderGivesTheTable) {
  const DaubechiesFilter provider(DaubechiesFamily::Db7);
  const WaveletFilterProvider& generic = provider;
  EXPECT_EQ(generic.get_wavelet(), get_wavelet(DaubechiesFamily::Db7));
  EXPECT_EQ(generic.get_wavelet().size(), 14u);
}

TEST(LowPassToHigh, EdgeCases) {
  EXPECT_TRUE(low_pass_to_high(std::vector<float>{}).empty());
  EXPECT_EQ(low_pass_to_high(std::vector<float>{0.25f}), std::vector<float>{0.25f});
  const auto haar = low_pass_to_high(get_wavelet(DaubechiesFamily::Db1));
  EXPECT_EQ(get_wavelet(DaubechiesFamily::Db1), (std::vector<float>{0.707106769f, 0.707106769f}));
  EXPECT_EQ(haar, (std::vector<float>{0.707106769f, -0.707106769f}));
  // A zero tap at an odd output index becomes -0: the rule flips sign bits.
  const auto zeros = low_pass_to_high(std::vector<float>{0.0f, 0.0f});
  EXPECT_FALSE(std::signbit(zeros[0]));
  EXPECT_TRUE(std::signbit(zeros[1]));
}

TEST(LowPassToHigh, Db4Example) {
  EXPECT_EQ(low_pass_to_high(get_wavelet(DaubechiesFamily::Db4)),
            (std::vector<float>{-0.0105974022f, -0.0328830108f, 0.0308413822f, 0.187034816f,
                                -0.0279837698f, -0.630880773f, 0.714846551f, -0.230377808f}));
}

TEST(LowPassToHigh, ArrayFormMatchesListForm) {
  for (auto family : {DaubechiesFamily::Db6, DaubechiesFamily::Db8}) {
    const auto taps = get_wavelet(family);
    if (taps.size() == 12) {
      std::array<float, 12> arr{};
      std::copy(taps.begin(), taps.end(), arr.begin());
      const auto high = low_pass_to_high_from_arr(arr);
      EXPECT_EQ(std::vector<float>(high.begin(), high.end()), low_pass_to_high(taps));
    } else {
      std::array<float, 16> arr{};
      std::copy(taps.begin(), taps.end(), arr.begin());
      const auto high = low_pass_to_high_from_arr(arr);
      EXPECT_EQ(std::vector<float>(high.begin(), high.end()), low_pass_to_high(taps));
    }
  }
}

}  // namespace
}  // namespace lumvet
