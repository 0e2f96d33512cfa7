// Writes the programme-like test signal for the loudness card: 70 s of 48 kHz 16-bit PCM in six
// channels (L, R, C, LFE, Ls, Rs) as a WAV file. The same bytes on every machine: integer
// random numbers, no platform distributions.
//
//   0-20 s   stereo music-like chord with a slow swell, about -23 LUFS (C, LFE, Ls, Rs silent)
//  20-30 s   the same 10 dB louder
//  30-40 s   the same 10 dB quieter than the start
//  40-43 s   digital silence
//  43-63 s   5.1, about -22 LUFS: music in L/R, speech-like buzz in C, 50 Hz in LFE, ambience
//            in Ls/Rs
//  63-69.5 s stereo music again
//  69.5-70 s a sine at a quarter of the rate, phase 45 degrees: sample peaks -3 dBFS, true
//            peak 0 dBTP
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 6;
constexpr double kSeconds = 70.0;
constexpr double kFade = 0.02;  // seconds of fade at every edge, so no edge clicks
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// A segment's gain: 1 inside [from, to), faded over kFade at both ends, 0 outside.
double window(double t, double from, double to) {
  if (t < from || t >= to) return 0.0;
  return std::min({1.0, (t - from) / kFade, (to - t) / kFade});
}

double dB(double gain) {
  return std::pow(10.0, gain / 20.0);
}

// Uniform noise in [-1, 1) from the generator's raw 32-bit output.
double noise(std::mt19937& random) {
  return static_cast<double>(random()) / 2147483648.0 - 1.0;
}

struct Smoothed {
  double state = 0.0;
  double next(double x, double k) { return state += k * (x - state); }
};

void putLe(std::ofstream& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.put(static_cast<char>(value >> (8 * i) & 0xFF));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: lm_signal OUT.wav\n";
    return 64;
  }
  const auto frames = static_cast<uint32_t>(kSeconds * kRate);
  const uint32_t dataBytes = frames * kChannels * 2;
  std::ofstream out(argv[1], std::ios::binary);
  out.write("RIFF", 4);
  putLe(out, 36 + dataBytes, 4);
  out.write("WAVEfmt ", 8);
  putLe(out, 16, 4);
  putLe(out, 1, 2);  // integer PCM
  putLe(out, kChannels, 2);
  putLe(out, kRate, 4);
  putLe(out, kRate * kChannels * 2, 4);
  putLe(out, kChannels * 2, 2);
  putLe(out, 16, 2);
  out.write("data", 4);
  putLe(out, dataBytes, 4);

  std::mt19937 random(20240605u);
  Smoothed warmL, warmR, ambienceL, ambienceR;
  std::vector<char> bytes;
  bytes.reserve(static_cast<size_t>(kRate) * kChannels * 2);
  for (uint32_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / kRate;
    // Music: a chord that swells every 4 s, with a little warm noise, wider in R.
    const double swell = 0.75 + 0.25 * std::sin(kTwoPi * t / 4.0);
    const double chord = (std::sin(kTwoPi * 220.0 * t) + 0.7 * std::sin(kTwoPi * 277.2 * t) +
                          0.6 * std::sin(kTwoPi * 329.6 * t) + 0.4 * std::sin(kTwoPi * 440.0 * t)) /
                         2.7;
    const double musicL = swell * (chord + 0.3 * warmL.next(noise(random), 0.2));
    const double musicR = swell * (0.9 * chord + 0.3 * warmR.next(noise(random), 0.2));
    const double stereoGain = 0.2 * (window(t, 0, 20) + dB(10) * window(t, 20, 30) +
                                     dB(-10) * window(t, 30, 40) + window(t, 63, 69.5));
    const double surround = window(t, 43, 63);
    // Speech-like: a 130 Hz buzz with its harmonics, opened and closed four times a second.
    double buzz = 0;
    for (int h = 1; h <= 8; ++h)
      buzz += std::sin(kTwoPi * 130.0 * h * t) / h;
    const double syllables =
        std::max(0.0, std::sin(kTwoPi * 4.0 * t)) * (0.6 + 0.4 * std::sin(kTwoPi * 0.37 * t));
    const double peakTone =
        window(t, 69.5, 70.0) * std::sin(kTwoPi * (kRate / 4.0) * t + kTwoPi / 8);

    const double samples[kChannels] = {
        stereoGain * musicL + 0.2 * surround * musicL + peakTone,
        stereoGain * musicR + 0.2 * surround * musicR + peakTone,
        0.3 * surround * syllables * buzz / 2.7,
        0.25 * surround * std::sin(kTwoPi * 50.0 * t),
        0.12 * surround * ambienceL.next(noise(random), 0.05),
        0.12 * surround * ambienceR.next(noise(random), 0.05),
    };
    for (double sample : samples) {
      const long value = std::lround(std::clamp(sample, -1.0, 32767.0 / 32768.0) * 32768.0);
      const auto word = static_cast<uint16_t>(static_cast<int16_t>(value));
      bytes.push_back(static_cast<char>(word & 0xFF));
      bytes.push_back(static_cast<char>(word >> 8));
    }
    if (bytes.size() >= static_cast<size_t>(kRate) * kChannels * 2 || n + 1 == frames) {
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      bytes.clear();
    }
  }
  if (!out) {
    std::cerr << "lm_signal: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
