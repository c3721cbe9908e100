#include "app/model/sim_capture_check_sound.h"

namespace choralink {

void SimCaptureCheckSound::play() {
  // A moderate level, well above the check's threshold, for little more than
  // half a second: about what a system alert sound is.
  system_.addToSystemMix(sim::SignalSource::chime(system_.ioTime(), 880, 0.3f, 0.6));
}

}  // namespace choralink
