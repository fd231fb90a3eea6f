#pragma once
// Milliseconds the machine has been awake since it started: the interrupt
// time without the time spent asleep or hibernating. Heartbeat ages and the
// dump's time limit are measured on it, so a machine that slept longer than
// the detection interval does not find every program hung when it wakes.
#include <windows.h>

#include <cstdint>

inline std::uint64_t AwakeMilliseconds() {
  ULONGLONG hundredNanoseconds = 0;
  ::QueryUnbiasedInterruptTime(&hundredNanoseconds);
  return hundredNanoseconds / 10000;
}
