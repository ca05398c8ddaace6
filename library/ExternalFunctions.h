// The wave recognizer, answering with the speaker decision, and the sensor shut-down.
#pragma once

#include <cstdint>

void HandleProximityFeedback(int32_t proximityState);
const char* GetFlagToString(int32_t flag);
bool isTimedOut(int32_t resetFlag);
bool isAllowedToAnswerCall(int32_t waveIndex);
void setBaseTime();
void nullifyProximityDelayBase();

void AnswerCall();
bool isHeadsetPluggedIn();
bool isBluetoothHFPHookedUp();

void DisconnectAccelerometerAndProximitySensor();
