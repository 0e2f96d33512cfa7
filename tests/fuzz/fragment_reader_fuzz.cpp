// Feeds arbitrary bytes to the reader of a server's configuration fragment, whole and in pieces
// cut where the first byte says: both must keep the same text (the input less its CR bytes) and
// find the same device lines, and the limit must hold.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "download/fragment_reader.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 17 + 1;
  const auto* body = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;

  qelm::FragmentReader whole(1 << 20);
  require(whole.feed(body, length));
  whole.finish();
  qelm::FragmentReader pieces(1 << 20);
  for (size_t at = 0; at < length; at += piece)
    require(pieces.feed(body + at, std::min(piece, length - at)));
  pieces.finish();

  std::string expected(body, length);
  expected.erase(std::remove(expected.begin(), expected.end(), '\r'), expected.end());
  require(whole.text() == expected && pieces.text() == expected);
  require(whole.deviceCount() == pieces.deviceCount());
  require(whole.lastDevice() == pieces.lastDevice());
  require(whole.lowestDevice() == pieces.lowestDevice());
  require(whole.deviceCount() <=
          static_cast<size_t>(std::count(expected.begin(), expected.end(), '\n')) + 1);
  if (whole.lastDevice()) require(*whole.lowestDevice() <= *whole.lastDevice());

  // A limit below the text refuses it and keeps no more than the limit.
  qelm::FragmentReader limited(length / 2);
  limited.feed(body, length);
  require(limited.text().size() <= length / 2);
  require(limited.overflowed() == (expected.size() > length / 2));
  return 0;
}
