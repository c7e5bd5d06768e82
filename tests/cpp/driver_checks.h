// Behaviours of the level driver that every DwtExecutor shares, the lifting
// executors and CompletedDwtExecutor alike, as checks each of their test files
// runs on its executor. Needs heap_probe_dep for the allocation failures.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <expected>
#include <vector>

#include "heap_probe.h"
#include "lumvet/err.h"
#include "lumvet/lumvet.h"
#include "lumvet_test_util.h"

namespace lumvet::testing_util {

// Fails each allocation of `call` in turn: every failure must come back as
// CannotAllocate with the size of the buffer that failed, and nothing the call
// allocated may survive it.
template <class Call>
void expect_every_allocation_failure_reported(Call call) {
  std::size_t points = 0;
  for (std::size_t k = 1;; ++k) {
    std::expected<bool, LumvetError> result = true;
    const auto outcome = alloc_hook::run(k, [&] {
      auto r = call();
      result = r ? std::expected<bool, LumvetError>(true) : std::unexpected(r.error());
    });
    if (!outcome.failed) break;
    ++points;
    ASSERT_FALSE(result.has_value()) << "allocation " << k;
    EXPECT_EQ(result.error(), (LumvetError{LumvetErrorKind::CannotAllocate, outcome.failed_bytes}))
        << "allocation " << k;
    EXPECT_EQ(outcome.live_blocks, 0) << "allocation " << k;
  }
  EXPECT_GE(points, 1u);
  // Unhooked, the same call succeeds and releases what it does not return.
  const auto outcome = alloc_hook::run(0, [&] { ASSERT_TRUE(call().has_value()); });
  EXPECT_EQ(outcome.live_blocks, 0);
}

// dwt and multi_dwt of x at level 0 are level 1.
inline void expect_zero_levels_is_one_level(const DwtExecutor& exec, const std::vector<float>& x) {
  auto zero = exec.multi_dwt(x, 0);
  auto one = exec.multi_dwt(x, 1);
  ASSERT_TRUE(zero && one);
  ASSERT_EQ(zero->levels.size(), 1u);
  EXPECT_EQ(zero->levels[0].approximation, one->levels[0].approximation);
  EXPECT_EQ(zero->levels[0].details, one->levels[0].details);
  auto d0 = exec.dwt(x, 0);
  ASSERT_TRUE(d0.has_value());
  EXPECT_EQ(d0->approximation, one->levels[0].approximation);
  EXPECT_EQ(d0->details, one->levels[0].details);
}

// multi_idwt without detail bands, or with an empty approximation, fails.
inline void expect_multi_idwt_rejects_empty_input(const DwtExecutor& exec) {
  const std::vector<float> band(10, 1.0f), empty;
  auto no_bands = exec.multi_idwt(MultiDwtRef{{}, band});
  ASSERT_FALSE(no_bands.has_value());
  EXPECT_EQ(no_bands.error(), LumvetError{LumvetErrorKind::ZeroSizedInput});
  auto no_approximation = exec.multi_idwt(MultiDwtRef{{band}, empty});
  ASSERT_FALSE(no_approximation.has_value());
  EXPECT_EQ(no_approximation.error(), LumvetError{LumvetErrorKind::ZeroSizedInput});
}

// multi_idwt_from_to pushes multi_idwt's samples, in order, with every band
// pulled once and the coarser levels rebuilt in a work buffer of
// multi_idwt_work_length() samples; a shorter one is refused.
inline void expect_pushed_reconstruction(const DwtExecutor& exec, const MultiDwt& multi) {
  const auto want = exec.multi_idwt(view_of(multi));
  ASSERT_TRUE(want.has_value()) << want.error().message();
  std::vector<OrderedSource> pulled;
  pulled.reserve(multi.levels.size() + 1);  // the sources point into it
  MultiDwtSource input;
  for (const Dwt& level : multi.levels) {
    pulled.push_back({level.details});
    input.details.push_back({pulled.back().source(), level.details.size()});
  }
  const std::vector<float>& approximation = multi.levels.back().approximation;
  pulled.push_back({approximation});
  input.approximation = {pulled.back().source(), approximation.size()};
  std::vector<float> work(exec.multi_idwt_work_length(input));
  EXPECT_EQ(work.empty(), multi.levels.size() == 1);
  if (!work.empty()) {
    OrderedSink refused;
    const auto status =
        exec.multi_idwt_from_to(input, std::span(work).first(work.size() - 1), refused.sink());
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(),
              (LumvetError{LumvetErrorKind::OutputSizeMismatch, work.size(), work.size() - 1}));
  }
  OrderedSink pushed;
  const auto status = exec.multi_idwt_from_to(input, work, pushed.sink());
  ASSERT_TRUE(status.has_value()) << status.error().message();
  EXPECT_EQ(first_bit_difference(pushed.y, *want), -1);
  for (const OrderedSource& band : pulled) EXPECT_EQ(band.next, band.x.size());
}

// Every allocation of the driver's operations over x, made to fail in turn.
inline void expect_driver_allocation_failures_reported(const DwtExecutor& exec,
                                                       const std::vector<float>& x) {
  expect_every_allocation_failure_reported([&] { return exec.multi_dwt(x, 4); });
  expect_every_allocation_failure_reported([&] { return exec.multi_dwt(x, 1); });
  expect_every_allocation_failure_reported([&] { return exec.dwt(x, 3); });
  auto multi = exec.multi_dwt(x, 4);
  ASSERT_TRUE(multi.has_value());
  const MultiDwtRef ref = view_of(*multi);
  expect_every_allocation_failure_reported([&] { return exec.multi_idwt(ref); });
  expect_every_allocation_failure_reported(
      [&] { return exec.idwt(DwtRef{ref.approximation, ref.details.back()}); });
}

}  // namespace lumvet::testing_util
