// Turning the devices present into the channel model: which microphones become inputs, where the outputs go.
#include <algorithm>
#include <mutex>
#include <new>

#include "device/ks_device.h"
#include "driver/asio_driver.h"

namespace {

// The microphones' device-interface paths contain one of these; endpoints come back grouped by string, in this
// order. The first product ID runs firmware the driver cannot record from.
const char kFirmwareMatch[] = "usb#vid_5e2d&pid_0101";
const char kCurrentMatch[] = "usb#vid_5e2d&pid_0102";

}  // namespace

bool CAsioDriver::OpenDevices() {
    const bool clockWasRunning = clockRunning;
    CloseDevices();
    ApplyConverterQuality();  // after CloseDevices: no audio thread may be pushing while the converter changes
    apartmentAtOpen.reset(new (std::nothrow) ComApartmentGuard());
    firmwareUpdateRequired = false;

    deviceManager.Enumerate();
    const uint32_t rate = static_cast<uint32_t>(sampleRate);
    const std::vector<std::string> matches = {kFirmwareMatch, kCurrentMatch};
    const std::vector<CKSDevice*> microphones =
        deviceManager.OpenCaptureDevices(matches, rate, 1, static_cast<uint32_t>(bufferSize), nullptr, nullptr);
    std::unique_lock<std::mutex> panelSees(deviceStateLock);
    int attached = 0;
    for (CKSDevice* endpoint : microphones) {
        // A ninth microphone and beyond stay open in the manager, attached to nothing.
        if (attached == kMaxInputs) break;
        DeviceFifo& fifo = inputFifos[attached];
        fifo.device = endpoint;
        fifo.deviceCounter = &endpoint->packetCounter;
        fifo.deviceOverruns = &endpoint->packetsOverrun;
        fifo.channels = 1;
        fifo.Configure(static_cast<float>(sampleRate), static_cast<uint32_t>(bufferSize));
        fifo.SetHostBufferFrames(static_cast<uint32_t>(bufferSize));
        deviceManager.SetDataCallback(endpoint, &OnCaptureData, &fifo);
        if (deviceManager.GetMatchString(endpoint) == kFirmwareMatch) firmwareUpdateRequired = true;
        ++attached;
    }
    numInputs = attached;
    panelSees.unlock();

    // The playback device: at the driver's rate, else at 48000 or 96000 below it (the outputs are decimated by
    // the whole ratio), with one last try at 48000 whatever it gives.
    const uint32_t fallbacks[] = {48000, 96000};
    bool outputOpen = false;
    outputSampleRate = static_cast<double>(rate);
    outputOpen = OpenOutputDevice(rate, rate, 2, static_cast<uint32_t>(bufferSize));
    for (uint32_t fallback : fallbacks) {
        if (outputOpen || fallback >= rate) continue;
        outputSampleRate = fallback;
        outputOpen = OpenOutputDevice(rate, fallback, 2, static_cast<uint32_t>(bufferSize));
    }
    if (!outputOpen) {
        outputSampleRate = 48000.0;
        OpenOutputDevice(rate, 48000, 2, static_cast<uint32_t>(bufferSize));
    }
    decimationFactor =
        outputFifo.device ? static_cast<uint32_t>((outputSampleRate * 0.5 + sampleRate) / outputSampleRate) : 1;
    numOutputs = kNumOutputs;
    UpdateLatencies();

    if (clockWasRunning) StartClock();
    return inputFifos[0].device != nullptr;
}

bool CAsioDriver::OpenOutputDevice(uint32_t inputRate, uint32_t outputRate, uint16_t channelCount,
                                   uint32_t bufferFrames) {
    if (outputFifo.device) {
        deviceManager.RemoveDevice(outputFifo.device);
        outputFifo.Reset();
    }
    // The panel thread copies the list and writes the chosen name under the settings lock.
    std::string chosenName;
    {
        std::lock_guard<std::mutex> hold(settingsLock);
        outputDevices.clear();
        chosenName = outputDeviceName;
    }
    const uint32_t ratio = static_cast<uint32_t>((outputRate * 0.5 + inputRate) / outputRate);
    const uint32_t block = bufferFrames / (ratio ? ratio : 1);
    const std::vector<std::string> everyDevice = {std::string()};
    for (CKSDevice* endpoint :
         deviceManager.OpenRenderDevices(everyDevice, outputRate, channelCount, block, nullptr, nullptr)) {
        const std::string name = deviceManager.GetFriendlyName(endpoint);
        {
            std::lock_guard<std::mutex> hold(settingsLock);
            outputDevices.push_back({name, deviceManager.GetDeviceInstanceId(endpoint)});
        }
        if (!outputFifo.device && !chosenName.empty() && name == chosenName) {
            outputFifo.device = endpoint;
            outputFifo.deviceCounter = &endpoint->packetCounter;
            outputFifo.deviceOverruns = &endpoint->packetsOverrun;
            outputFifo.channels = 2;
            outputFifo.Configure(static_cast<float>(outputRate), block);
            outputFifo.SetHostBufferFrames(std::max(1u, block));  // in the playback device's frames
            decimationFactor = ratio;
            deviceManager.SetDataCallback(endpoint, &OnRenderData, &outputFifo, &OnRenderSkipped);
        } else {
            deviceManager.RemoveDevice(endpoint);
        }
    }
    return outputFifo.device != nullptr;
}

void CAsioDriver::CloseDevices() {
    if (clockRunning) StopClock();
    {
        std::lock_guard<std::mutex> panelSees(deviceStateLock);
        deviceManager.CloseAll();
        // Detached, emptied and armed to fade in: the next buffers after a reopen start from silence.
        for (auto& fifo : inputFifos) fifo.Reset();
    }
    outputFifo.Reset();
    apartmentAtOpen.reset();
    firmwareUpdateRequired = false;
}
