// The capture-check sound on the audio backend the application runs on: the
// backend's alert chime, played where applications' sound goes.
#pragma once

#include "app/model/capture_check_sound.h"
#include "engine/hal/audio_backend.h"

namespace choralink {

class BackendCaptureCheckSound final : public CaptureCheckSound {
 public:
  // `backend` must outlive this object.
  explicit BackendCaptureCheckSound(AudioBackend& backend) : backend_(backend) {}
  // A chime that cannot play leaves the check to hear silence, as the
  // interface asks: nothing to report here.
  void play() override { (void)backend_.playAlertSound(); }

 private:
  AudioBackend& backend_;
};

}  // namespace choralink
