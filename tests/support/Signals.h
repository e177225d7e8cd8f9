#pragma once

// Generated test signals as interleaved 16-bit samples, and how close decoded audio comes to
// them.

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

// The same signal on every channel, but for noise. A sweep rises logarithmically from 20 Hz to
// just under half the rate.
Samples Tone(uint32_t ARate, uint16_t AChannels, double ASeconds, double AFrequency = 440,
             double AAmplitude = 0.5);
Samples Noise(uint32_t ARate, uint16_t AChannels, double ASeconds, double AAmplitude = 0.2);
Samples Sweep(uint32_t ARate, uint16_t AChannels, double ASeconds, double AAmplitude = 0.5);
Samples Square(uint32_t ARate, uint16_t AChannels, double ASeconds, double AFrequency = 200);

Bytes AsBytes(const Samples& ASamples);
Samples AsSamples(const Bytes& ABytes);
// The samples from AFrom up to ATo, as far as there are any.
Samples Part(const Samples& ASamples, size_t AFrom, size_t ATo = SIZE_MAX);

// 10 log10 of the signal energy over the error energy, over the common length.
double Snr(const Samples& AReference, const Samples& ATest);
// The shift of ATest against AReference (0 to 4,000 frames) that matches best, on channel 0.
size_t Delay(const Samples& AReference, const Samples& ATest, uint16_t AChannels);
