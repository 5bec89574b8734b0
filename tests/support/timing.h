// The bounds of every timing check in the tests, named in this one place: how early and how late
// a measured wait may end, how a measurement that ran late is taken again, and how much room a
// time-scaled window leaves for the steps it must hold on a loaded machine.
//
// A wait never ends before its nominal length (less the grain of the clocks compared); it may
// end late, by scheduling on a busy machine and by the slowness of the sanitizer builds. So a
// measured time is checked against [nominal - kClockGrainMs, nominal * kLateFactor + kLateSlackMs],
// both taken from the value under test: a time-out or pause made longer or shorter by a fault
// falls outside, while a run that the machine delayed is taken again, up to kTimingRuns runs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qt {

// Rounding of the clocks a measurement compares (millisecond clocks, the scaled clock).
inline constexpr long kClockGrainMs = 5;
// How late a wait may end: a fifth of its length, and a fixed slack for the work around it
// (much more in the sanitizer builds, which run everything several times slower).
inline constexpr double kLateFactor = 1.2;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr long kLateSlackMs = 600;
#else
inline constexpr long kLateSlackMs = 120;
#endif
// A measurement that ended late is taken again, up to this many runs in all. A loaded machine
// rarely delays every run; a wrong time-out or pause is outside its bounds in every one.
inline constexpr int kTimingRuns = 3;
// A time-scaled window is at least this many times the longest step it must hold under load.
inline constexpr int kWindowMargin = 10;
// The longest a single short step (a tool run, a request over loopback, a process start) may
// take under load; windows are sized from it, and measured times widened by it where such a
// step lies inside them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr long kLongestStepMs = 500;
#else
inline constexpr long kLongestStepMs = 250;
#endif

// A window of real time that holds STEPS steps kWindowMargin times over.
inline long WindowForSteps(int steps) {
  return kWindowMargin * steps * kLongestStepMs;
}

// Bounds of a wait whose nominal length is NOMINAL_MS.
inline long EarliestMs(long nominal_ms) {
  return nominal_ms - kClockGrainMs;
}
inline long LatestMs(long nominal_ms) {
  return static_cast<long>(static_cast<double>(nominal_ms) * kLateFactor) + kLateSlackMs;
}
// The longest a step may take and still be told apart from a wait of PAUSE_MS that it must
// interrupt or skip (a stop during a pause, a call that returns without waiting).
inline long WellBeforeMs(long pause_ms) {
  return pause_ms * 7 / 10;
}
// The largest time scale at which a window of WINDOW_MS (the system's time, which the scale
// shortens) holds kWindowMargin times over what it must: STEPS steps of real time (up to
// kLongestStepMs each, not shortened by the scale) and PAUSES pauses of PAUSE_MS (shortened
// like the window). 1 when no scale leaves that room.
unsigned ScaleForWindow(long window_ms, int steps, int pauses = 0, long pause_ms = 0);

// Real milliseconds that CALL takes.
long ElapsedMs(const std::function<void()> &call);

// Runs RUN, which returns the real milliseconds of the part it times, until one run lies
// within the bounds of NOMINAL_MS, at most kTimingRuns times. Fails when a run ended early
// (a wait cannot), or when every run ended late. WHAT names the wait in the failure message;
// STEP_MS widens the late bound by known work inside each run (at most kLongestStepMs).
::testing::AssertionResult TakesNominal(long nominal_ms, const std::function<long()> &run,
                                        const std::string &what = "", long step_ms = 0);

// Checks the pauses of a retry loop, each the real milliseconds from the end of one attempt to
// the start of the next, against the bounds of NOMINAL_MS: none may end early, and at least
// half must end within the late bound (a loaded machine delays some, a wrong pause all).
// STEP_MS widens the late bound by known work inside each measured pause, such as the start of
// the process that notes the next attempt (at most kLongestStepMs).
::testing::AssertionResult PausesNominal(const std::vector<long> &pauses_ms, long nominal_ms,
                                         const std::string &what = "", long step_ms = 0);

// Checks an event seen by polling against the bounds of NOMINAL_MS, the time since the wait
// began: the last poll that did not see it yet started LAST_BEFORE_MS after that, and the first
// poll that saw it ended FIRST_SEEN_MS after it. The event lies between the two, so it is no
// earlier than the bound when FIRST_SEEN_MS is not, and no later when LAST_BEFORE_MS is not,
// however long the polls themselves take.
::testing::AssertionResult SeenWithinNominal(long last_before_ms, long first_seen_ms, long nominal_ms,
                                             const std::string &what = "");

// Checks one measured time against the bounds of NOMINAL_MS, for waits that cannot be taken
// again (they change what they act on). STEP_MS widens the late bound by known work outside
// the wait, such as the poll that sees its end (at most kLongestStepMs).
::testing::AssertionResult WithinNominal(long measured_ms, long nominal_ms, const std::string &what = "",
                                         long step_ms = 0);

}  // namespace qt
