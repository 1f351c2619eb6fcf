// Devices and filters the kernel-streaming tests share.
#pragma once

#include <memory>
#include <string>

#include "ks/ks_enum_filters.h"
#include "sim/devices/scripted_kernel.h"

namespace kstest {

// A capture device with one WaveRT capture pin: up to 2 channels, 16 to 24 bits, 48000 Hz PCM.
inline ScriptedDevice CaptureDevice(const std::string& path = "\\\\?\\usb#vid_5e2d&pid_0102#1#{cap}\\global") {
    ScriptedDevice device;
    device.path = path;
    device.instanceId = "USB\\VID_5E2D&PID_0102\\" + std::to_string(path.size());
    device.friendlyName = "Tessel Microphone";
    device.interfaces = {{KSCATEGORY_AUDIO, SPINT_ACTIVE}, {KSCATEGORY_CAPTURE, SPINT_ACTIVE}};
    ScriptedPin pin;
    pin.communication = KSPIN_COMMUNICATION_SINK;
    pin.dataFlow = KSPIN_DATAFLOW_OUT;
    pin.dataRanges = AudioRange(2, 16, 24, 48000, 48000);
    pin.dataRangeCount = 1;
    device.pins = {pin};
    return device;
}

inline ScriptedDevice RenderDevice(const std::string& path = "\\\\?\\hdaudio#func_01#1#{ren}\\global") {
    ScriptedDevice device = CaptureDevice(path);
    device.friendlyName = "Speakers";
    device.interfaces = {{KSCATEGORY_AUDIO, SPINT_ACTIVE}, {KSCATEGORY_RENDER, SPINT_ACTIVE}};
    device.pins[0].dataFlow = KSPIN_DATAFLOW_IN;
    return device;
}

inline constexpr GUID kCaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
inline constexpr GUID kRenderCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};

// Enumerates with pins, as the device layer does; the enumerator owns the filters.
inline HRESULT Enumerate(CKsEnumFilters& filters, ULONG type) {
    const GUID* categories = type == CKsFilter::eRender ? kRenderCategories : kCaptureCategories;
    return filters.EnumFilters(type, categories, 2, TRUE, FALSE, TRUE);
}

}  // namespace kstest
