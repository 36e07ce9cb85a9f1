// The recording test engine's own export: tests call it to make sure the
// engine their process loaded is the recording one.
#pragma once

#define KRT_RECORDING_API __attribute__((visibility("default")))

extern "C" KRT_RECORDING_API int krt_recording_engine();
