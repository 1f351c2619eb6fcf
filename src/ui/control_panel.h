// The control panel's thread protocol and the firmware-update notice, as the driver calls them.
//
// Threads: OpenControlPanel, ClosePanel and ShowFirmwareNotice run on the host's thread (inside controlPanel,
// start, stop and the destructor). The panel itself lives on a thread of its own, which owns its window and its
// message loop; the two sides meet only through the record's atomic flags panelStarting, panelQuit and
// panelWindow. The panel thread never touches the thread handle: the host's side joins the ended thread and
// closes its handle (after the panel closes, before the next opening, in stop and in the destructor), so no
// thread outlives the driver object and no handle leaks.
#pragma once

#include "asio/asio.h"
#include "platform/win32.h"

class CAsioDriver;

// Opens the panel, or shows the firmware notice in its place when a microphone needs new firmware. Returns once
// the panel is shown when `automatic` (from start) or when the "Modeless Control Panel" setting is on; otherwise
// once the panel has been closed. Always ASE_OK: a panel that cannot be created is simply not there.
ASIOError OpenControlPanel(CAsioDriver& driver, bool automatic);

// Closes an open panel and ends its thread (waiting at most 2000 ms, then terminating it). A panel that the host
// opened less than 200 ms earlier also turns the modeless setting off: a host that opens the panel and at once
// stops the driver never gets to see a modeless panel.
void ClosePanel(CAsioDriver& driver);

// The firmware-update notice, modal on the calling thread; returns when the user has closed it.
void ShowFirmwareNotice(CAsioDriver& driver);

// --- The window side, one implementation per platform (the dialog on Windows, a stand-in on Linux). ---

// Panel thread: creates and shows the panel window for the driver; null when it cannot be created.
HWND CreatePanelWindow(CAsioDriver& driver);
// Panel thread: serves the window until panelQuit is set.
void RunPanelLoop(CAsioDriver& driver, HWND window);
// Panel thread: destroys the window if it still exists.
void DestroyPanelWindow(HWND window);
// Any thread: asks the panel window to close (as its close box does), so that it is destroyed by its own thread in
// its own message handling and the loop ends; where that cannot be asked, wakes the loop to see panelQuit.
void WakePanelThread(HWND window, DWORD threadId);
// Host's thread: waits, serving the messages other threads send to the host's windows meanwhile. Creating,
// activating and destroying the panel makes the system send messages to the process's other windows; a host
// thread that waited without serving them would hold the panel thread up until the wait timed out.
void WaitServingSentMessages(DWORD milliseconds);
// The same while waiting for a thread to end; false when it has not ended in time.
bool WaitForThreadServingSentMessages(HANDLE thread, DWORD milliseconds);
