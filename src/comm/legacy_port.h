#pragma once

namespace qelm {

/// Turns the process-wide legacy port switch on or off: while on, client connections made from
/// then on also try port 6666 beside 5253. Off until the engine turns it on at start-up. Any
/// thread.
void setLegacyPortEnabled(bool on);

/// Whether new client connections also try port 6666. Any thread.
bool legacyPortEnabled();

}  // namespace qelm
