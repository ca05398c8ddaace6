// What values the phone's bus carries may hold: a receiver refuses a signal whose values are
// outside these, whoever sent it.
#pragma once

namespace protocol {

// A pose's acceleration on each axis, in g: as much as a phone's accelerometer measures.
inline constexpr double kMaxAcceleration = 16;
// Phone time, in seconds since the reference date, is at most this: there a millisecond still
// moves the clock.
inline constexpr double kMaxPhoneTime = 1e12;
// How far one turn may move a host's clock, in seconds: two days, more than the longest a
// scenario runs (a day, and its end after the last step).
inline constexpr double kMaxClockStep = 2 * 86400;
// The call statuses a modem reports (CTCallStatus: active 1 to ended 5).
inline constexpr int kMinCallStatus = 1;
inline constexpr int kMaxCallStatus = 5;

}  // namespace protocol
