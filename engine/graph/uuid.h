// Fresh identifiers for the objects the engine creates in the audio system
// (process taps, aggregate devices): random (version 4) UUIDs.
#pragma once

#include <string>

namespace choralink {

// A new random UUID in its standard 36-character upper-case form, e.g.
// "1B4E28BA-2FA1-41D2-883F-0016D3CCA427". Any thread.
std::string newUUID();

}  // namespace choralink
