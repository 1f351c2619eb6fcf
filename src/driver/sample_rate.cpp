// Changing the sample rate reopens every device at the new rate; a running stream carries on.
#include <mutex>

#include "driver/asio_driver.h"
#include "ui/control_panel.h"
#include "ui/settings.h"

ASIOError CAsioDriver::setSampleRate(ASIOSampleRate rate) {
    if (canSampleRate(rate) == ASE_NoClock) return ASE_NoClock;
    if (rate == sampleRate) return ASE_OK;
    // The clock thread reads the rate and the time info: change them only while it is stopped, and restart it
    // once the devices are open at the new rate.
    const bool clockWasRunning = clockRunning;
    if (clockWasRunning) StopClock();
    asioTime.timeInfo.flags |= kSampleRateChanged;
    {
        std::lock_guard<std::mutex> panelSees(deviceStateLock);  // the panel's metrics line shows it
        sampleRate = rate;
    }
    asioTime.timeInfo.sampleRate = rate;
    OpenDevices();
    if (clockWasRunning && !clockRunning) StartClock();
    if (callbacks && callbacks->sampleRateDidChange) callbacks->sampleRateDidChange(sampleRate);
    return ASE_OK;
}

// Modal for the host unless the user chose the modeless panel; a second call while the panel is open only returns.
ASIOError CAsioDriver::controlPanel() {
    if (panelWindow) return ASE_OK;
    // A host may show the panel before init: the panel must show the user's stored choices, and what it changes
    // is saved only because they were loaded.
    if (!settingsLoaded) LoadSettings(*this);
    panelOpenedByHost = true;
    panelOpenTime = timeGetTime();
    return OpenControlPanel(*this, false);
}
