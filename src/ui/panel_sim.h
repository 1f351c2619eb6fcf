// Linux only: the stand-in for the control panel's window and the firmware notice, and how tests act on them as a
// user would. The stand-in keeps the real panel's thread and state (ControlPanelState); a "message" is an action
// queued to the panel's thread and run there, as the dialog's messages are on Windows.
#pragma once

#include <functional>

#include "platform/win32.h"
#include "ui/panel_state.h"

namespace panel_sim {

// Runs `action` on the panel's thread with the panel's state and waits for it, as SendMessage would. False when
// no such panel window exists (any more); the action then has not run.
bool Send(HWND window, const std::function<void(ControlPanelState&)>& action);
// The OK button, and Escape or the close box: both destroy the panel window.
bool PressOk(HWND window);
bool PressEscape(HWND window);
// Whether a window is a live panel window.
bool IsPanelWindow(HWND window);
// Panel windows that exist now, over all drivers.
int PanelWindowCount();
// The next panel window cannot be created (as a dialog whose template is missing).
void FailNextPanelWindow();
// Firmware notices shown so far in this process; each is closed by its user at once.
int FirmwareNoticeCount();

}  // namespace panel_sim
