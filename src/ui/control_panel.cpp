#include "ui/control_panel.h"

#include "driver/asio_driver.h"
#include "driver/com_apartment.h"

namespace {

constexpr DWORD kStartPollMs = 2;
constexpr DWORD kModalPollMs = 20;
constexpr DWORD kPanelEndWaitMs = 2000;
constexpr DWORD kTerminatedExitCode = 0xC0000194;
// A host that stops the driver this soon after opening the panel has not let the user see it.
constexpr DWORD kHostOpenGraceMs = 200;

DWORD WINAPI PanelThreadProc(LPVOID parameter) {
    CAsioDriver& driver = *static_cast<CAsioDriver*>(parameter);
    ComApartmentGuard apartment;  // the dialog's controls may use COM (the link control opens a browser)
    HWND window = CreatePanelWindow(driver);
    driver.panelWindow = window;
    driver.panelStarting = false;
    if (window) {
        if (!driver.panelQuit) RunPanelLoop(driver, window);
        DestroyPanelWindow(window);
    }
    // Cleared only once the window is gone, so that a null panelWindow always means no panel on screen.
    driver.panelWindow = nullptr;
    return 0;
}

// Joins the panel thread once its window is gone (or when the caller has told it to quit) and closes its
// handle. Host's thread.
void EndPanelThread(CAsioDriver& driver) {
    if (driver.panelThread != INVALID_HANDLE_VALUE) {
        if (!WaitForThreadServingSentMessages(driver.panelThread, kPanelEndWaitMs)) {
            TerminateThread(driver.panelThread, kTerminatedExitCode);
            // A terminated thread never reaches the end of its procedure, where it clears these: left set, the
            // driver would take the dead panel for an open one and never open its panel again. The system
            // destroys the windows of a thread that ends.
            driver.panelWindow = nullptr;
            driver.panelStarting = false;
            ++driver.panelThreadsTerminated;
        }
        CloseHandle(driver.panelThread);
        driver.panelThread = INVALID_HANDLE_VALUE;
        driver.panelThreadId = 0;
    }
}

}  // namespace

ASIOError OpenControlPanel(CAsioDriver& driver, bool automatic) {
    if (driver.firmwareUpdateRequired) {
        ShowFirmwareNotice(driver);
        return ASE_OK;
    }
    if (driver.panelWindow) return ASE_OK;
    // A panel that its user closed has left its ended thread behind.
    EndPanelThread(driver);
    if (automatic) driver.panelOpenedByHost = false;

    driver.panelQuit = false;
    driver.panelStarting = true;
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, &PanelThreadProc, &driver, 0, &threadId);
    if (!thread) {
        // No thread will ever clear the flag: return instead of waiting for it.
        driver.panelStarting = false;
        driver.panelOpenedByHost = false;
        return ASE_OK;
    }
    driver.panelThread = thread;
    driver.panelThreadId = threadId;
    while (driver.panelStarting) WaitServingSentMessages(kStartPollMs);
    // The grace period in which a host's stop counts as the user never having seen the panel starts when the
    // panel is on screen: creating it can take longer than the whole grace period on a busy machine.
    if (driver.panelOpenedByHost) driver.panelOpenTime = timeGetTime();
    if (automatic || driver.modelessPanel) return ASE_OK;

    // Modal for the host: wait until the user closes the panel.
    while (driver.panelWindow && !driver.modelessPanel) WaitServingSentMessages(kModalPollMs);
    if (!driver.panelWindow) EndPanelThread(driver);
    return ASE_OK;
}

void ClosePanel(CAsioDriver& driver) {
    if (driver.panelWindow) {
        if (driver.panelOpenedByHost && timeGetTime() - driver.panelOpenTime < kHostOpenGraceMs)
            driver.modelessPanel = false;
        driver.panelQuit = true;
        WakePanelThread(driver.panelWindow, driver.panelThreadId);
    }
    EndPanelThread(driver);
    driver.panelOpenedByHost = false;
}
