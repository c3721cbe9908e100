#include "engine/hal/sim/presets.h"

namespace choralink::sim::presets {

DeviceSpec builtInSpeakers() {
  DeviceSpec d;
  d.uid = kSpeakersUID;
  d.name = "MacBook Pro Speakers";
  d.transport = kTransportBuiltIn;
  d.nominalRate = 48000;
  d.availableRates = discreteRates({44100, 48000, 88200, 96000});
  d.outputStreams = {2};
  d.latencyFrames = 100;
  d.safetyOffsetFrames = 24;
  d.bufferFrameSize = 512;
  d.streamLatencyFrames = 40;  // 676 in all
  d.joinDelay = 0.05;
  return d;
}

DeviceSpec airPods() {
  DeviceSpec d;
  d.uid = kAirPodsUID;
  d.name = "AirPods Pro";
  d.transport = kTransportBluetooth;
  d.nominalRate = 44100;
  d.availableRates = discreteRates({44100});
  d.outputStreams = {2};
  d.latencyFrames = 6000;
  d.safetyOffsetFrames = 100;
  d.bufferFrameSize = 512;
  d.streamLatencyFrames = 738;  // 7350 in all
  d.joinDelay = 0.4;
  return d;
}

DeviceSpec hdmiTV() {
  DeviceSpec d;
  d.uid = kTVUID;
  d.name = "Living Room TV";
  d.transport = kTransportHDMI;
  d.nominalRate = 48000;
  d.availableRates = discreteRates({32000, 44100, 48000});
  d.outputStreams = {2};
  d.latencyFrames = 1024;
  d.safetyOffsetFrames = 64;
  d.bufferFrameSize = 512;
  d.streamLatencyFrames = 0;  // 1600 in all
  d.joinDelay = 0.15;
  return d;
}

DeviceSpec airPlaySpeaker() {
  DeviceSpec d;
  d.uid = kAirPlayUID;
  d.name = "Kitchen Speaker";
  d.transport = kTransportAirPlay;
  d.nominalRate = 44100;
  d.availableRates = discreteRates({44100});
  d.outputStreams = {2};
  d.latencyFrames = 87688;
  d.safetyOffsetFrames = 0;
  d.bufferFrameSize = 512;  // 88200 in all: two seconds
  d.joinDelay = 0.5;
  return d;
}

DeviceSpec usbInterface() {
  DeviceSpec d;
  d.uid = kUSBInterfaceUID;
  d.name = "Studio Interface";
  d.transport = kTransportUSB;
  d.nominalRate = 48000;
  d.availableRates = {ValueRange{44100, 192000}};
  d.outputStreams = {2, 2};
  d.inputStreams = {2};
  d.preferredStereo = {3, 4};
  d.latencyFrames = 32;
  d.safetyOffsetFrames = 16;
  d.bufferFrameSize = 256;
  d.streamLatencyFrames = 24;  // 328 in all
  d.joinDelay = 0.1;
  return d;
}

DeviceSpec usbHeadset() {
  DeviceSpec d;
  d.uid = kUSBHeadsetUID;
  d.name = "USB Headset";
  d.transport = kTransportUSB;
  d.nominalRate = 48000;
  d.availableRates = discreteRates({44100, 48000});
  d.outputStreams = {2};
  d.inputStreams = {1};
  d.latencyFrames = 48;
  d.safetyOffsetFrames = 32;
  d.bufferFrameSize = 512;  // 592 in all
  return d;
}

DeviceSpec displayPortMonitor() {
  DeviceSpec d;
  d.uid = kDisplayUID;
  d.name = "Studio Display";
  d.transport = kTransportDisplayPort;
  d.nominalRate = 48000;
  d.availableRates = discreteRates({48000});
  d.outputStreams = {2};
  d.latencyFrames = 480;
  d.safetyOffsetFrames = 32;
  d.bufferFrameSize = 512;  // 1024 in all
  return d;
}

DeviceSpec virtualOutput() {
  DeviceSpec d;
  d.uid = kVirtualUID;
  d.name = "Virtual Output";
  d.transport = kTransportVirtual;
  d.nominalRate = 48000;
  d.availableRates = discreteRates({44100, 48000});
  d.outputStreams = {2};
  d.inputStreams = {2};
  d.bufferFrameSize = 512;
  return d;
}

DeviceSpec userAggregate() {
  DeviceSpec d;
  d.uid = kUserAggregateUID;
  d.name = "Studio Aggregate";
  d.transport = kTransportAggregate;
  d.nominalRate = 48000;
  d.availableRates = discreteRates({48000});
  d.outputStreams = {2, 2};
  d.bufferFrameSize = 512;
  return d;
}

DeviceSpec builtInMicrophone() {
  DeviceSpec d;
  d.uid = kMicrophoneUID;
  d.name = "MacBook Pro Microphone";
  d.transport = kTransportBuiltIn;
  d.nominalRate = 48000;
  d.availableRates = discreteRates({44100, 48000});
  d.outputStreams = {};
  d.preferredStereo = {};
  d.inputStreams = {1};
  d.inputLatencyFrames = 240;
  d.bufferFrameSize = 512;
  return d;
}

StandardMachine addStandardMachine(SimAudioSystem& system) {
  StandardMachine m;
  m.speakers = system.addDevice(builtInSpeakers());
  m.airPods = system.addDevice(airPods());
  m.tv = system.addDevice(hdmiTV());
  m.airPlay = system.addDevice(airPlaySpeaker());
  system.setDefaultOutput(kSpeakersUID);
  return m;
}

void addStandardRoom(SimAudioSystem& system) {
  system.addDevice(builtInMicrophone());
  system.setRoom(
      Room::around(kMicrophoneUID,
                   {{kSpeakersUID, 0.5, 0}, {kAirPodsUID, 1.0, 45, 0.5}, {kTVUID, 3.0, 28}})
          .withNoise(0.002));
}

}  // namespace choralink::sim::presets
