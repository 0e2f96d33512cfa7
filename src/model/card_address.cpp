#include "model/card_address.h"

#include "text/text.h"

namespace qelm {

std::string CardAddress::text() const {
  return ipv4Text(address) + " [" + integerText(slot) + "]";
}

}  // namespace qelm
