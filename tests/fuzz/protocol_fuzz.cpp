// Feeds arbitrary bytes to both sides' message parsers and decodes every delivered message as
// every value type and as a whole array.
#include <cstddef>
#include <cstdint>

#include "comm/protocol.h"

namespace {

void decodeAll(const qelm::ReceivedMessage& message) {
  for (int type = 0; type <= 8; ++type) {
    const auto valueType = static_cast<qelm::ValueType>(type);
    (void)qelm::decodeValue(message, valueType);
    int position = 0;
    for (int guard = 0; guard < 300; ++guard) {
      const int before = position;
      if (!qelm::decodeArrayElement(message, valueType, position)) break;
      if (position <= before) __builtin_trap();  // every element must move forward
    }
  }
  (void)qelm::messageSlot(message, false);
  (void)qelm::messageSlot(message, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qelm::MessageParser client(false, decodeAll);
  qelm::MessageParser server(true, decodeAll);
  client.feed(data, size);
  server.feed(data, size);
  return 0;
}
