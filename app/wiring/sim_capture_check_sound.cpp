#include "app/wiring/sim_capture_check_sound.h"

namespace choralink {

void SimCaptureCheckSound::play() {
  system_.playChime();
}

}  // namespace choralink
