// Marks between the steps of a launch, for the benchmark that times them (bench/step_timing.cpp,
// built with STARTUTIL_STEP_TIMING). In every other build a mark is no code at all, so the
// library, and the raw object of what runs before exec, stay exactly as they are.
#pragma once

#ifdef STARTUTIL_STEP_TIMING
// Stores the monotonic clock as mark `step`; defined by the benchmark.
void stepTimingMark(int step) noexcept;
#define STARTUTIL_STEP(step) stepTimingMark(step)
#else
#define STARTUTIL_STEP(step) static_cast<void>(0)
#endif
