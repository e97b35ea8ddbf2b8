// RMS levels computed on the samples: the loudest 50 ms window and the whole
// signal. Neither can fail.
#pragma once

#include "audio/audio_data.h"

namespace sonorik::analysis {

double calculate_rms_max(const AudioData& audio);      // dB, never below -150.0
double calculate_rms_average(const AudioData& audio);  // dB; -150.0 silent, -96.0 empty

}  // namespace sonorik::analysis
