#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace qelm::testing {

/// Writes interleaved 16-bit samples as a PCM WAV file, by hand, so the reader under test is not
/// also the writer.
inline void writeWav(const std::string& path, const std::vector<int16_t>& samples, int channels,
                     uint32_t rate) {
  std::ofstream out(path, std::ios::binary);
  const auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
      out.put(static_cast<char>(value >> (8 * i)));
  };
  const auto data = static_cast<uint32_t>(samples.size() * 2);
  out.write("RIFF", 4);
  put(36 + data, 4);
  out.write("WAVEfmt ", 8);
  put(16, 4);
  put(1, 2);
  put(static_cast<uint32_t>(channels), 2);
  put(rate, 4);
  put(rate * static_cast<uint32_t>(channels) * 2, 4);
  put(static_cast<uint32_t>(channels * 2), 2);
  put(16, 2);
  out.write("data", 4);
  put(data, 4);
  for (int16_t s : samples)
    put(static_cast<uint16_t>(s), 2);
}

}  // namespace qelm::testing
