// The bounds of every timing check in the tests.
#include "timing.h"

#include <sstream>

namespace qt {

long ElapsedMs(const std::function<void()> &call) {
  auto start = std::chrono::steady_clock::now();
  call();
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

unsigned ScaleForWindow(long window_ms, int steps, int pauses, long pause_ms) {
  // window / scale >= margin * (steps * step + pauses * pause / scale)
  long scaled_room = window_ms - kWindowMargin * pauses * pause_ms;
  long real_room = kWindowMargin * steps * kLongestStepMs;
  if (scaled_room <= 0 || real_room <= 0) return 1;
  long scale = scaled_room / real_room;
  return scale < 1 ? 1u : static_cast<unsigned>(scale);
}

::testing::AssertionResult PausesNominal(const std::vector<long> &pauses_ms, long nominal_ms,
                                         const std::string &what, long step_ms) {
  const long latest = LatestMs(nominal_ms) + step_ms;
  if (pauses_ms.empty()) return ::testing::AssertionFailure() << what << ": no pause to check";
  size_t late = 0;
  std::ostringstream seen;
  for (size_t i = 0; i < pauses_ms.size(); ++i) {
    seen << (i > 0 ? ", " : "") << pauses_ms[i];
    if (pauses_ms[i] < EarliestMs(nominal_ms))
      return ::testing::AssertionFailure()
             << what << ": pause " << i + 1 << " ended early after " << pauses_ms[i] << " ms, expected "
             << nominal_ms << " ms (no earlier than " << EarliestMs(nominal_ms) << ")";
    if (pauses_ms[i] > latest) ++late;
  }
  if (2 * late > pauses_ms.size())
    return ::testing::AssertionFailure()
           << what << ": " << late << " of " << pauses_ms.size() << " pauses ended late (" << seen.str()
           << " ms), expected " << nominal_ms << " ms (no later than " << latest << ")";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult WithinNominal(long measured_ms, long nominal_ms, const std::string &what,
                                         long step_ms) {
  long latest = LatestMs(nominal_ms) + step_ms;
  if (measured_ms >= EarliestMs(nominal_ms) && measured_ms <= latest) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << ": " << measured_ms << " ms, expected " << nominal_ms
                                       << " ms within [" << EarliestMs(nominal_ms) << ", " << latest << "]";
}

::testing::AssertionResult SeenWithinNominal(long last_before_ms, long first_seen_ms, long nominal_ms,
                                             const std::string &what) {
  if (first_seen_ms < EarliestMs(nominal_ms))
    return ::testing::AssertionFailure()
           << what << ": seen after " << first_seen_ms << " ms, expected " << nominal_ms
           << " ms (no earlier than " << EarliestMs(nominal_ms) << ")";
  if (last_before_ms > LatestMs(nominal_ms))
    return ::testing::AssertionFailure()
           << what << ": not yet there after " << last_before_ms << " ms, expected " << nominal_ms
           << " ms (no later than " << LatestMs(nominal_ms) << ")";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult TakesNominal(long nominal_ms, const std::function<long()> &run,
                                        const std::string &what, long step_ms) {
  const long latest = LatestMs(nominal_ms) + step_ms;
  std::ostringstream seen;
  for (int attempt = 0; attempt < kTimingRuns; ++attempt) {
    long ms = run();
    seen << (attempt > 0 ? ", " : "") << ms;
    if (ms < EarliestMs(nominal_ms))
      return ::testing::AssertionFailure()
             << what << ": ended early after " << ms << " ms, expected " << nominal_ms
             << " ms (no earlier than " << EarliestMs(nominal_ms) << ")";
    if (ms <= latest) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << what << ": every run ended late (" << seen.str() << " ms), expected " << nominal_ms
         << " ms (no later than " << latest << ")";
}

}  // namespace qt
