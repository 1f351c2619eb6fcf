// What the control panel and the firmware notice share on Windows: centring and Cancel, the two styled fonts at
// the window's DPI, the window icon, the pictures fitted to their controls, and the scopes that give a dialog
// the version-6 common controls and per-monitor DPI scaling. Each dialog window owns its own fonts, icons and
// pictures (DialogResources), so two open dialogs never delete what the other still draws with.
#pragma once

#include <vector>

#include "platform/win32.h"

// WM_INITDIALOG: centres the window on the primary screen and answers 1. WM_COMMAND with IDCANCEL: ends a modal
// dialog with result 2 and answers 0. Everything else: 0.
INT_PTR CommonDialogHandler(HWND window, UINT message, WPARAM command);

struct PictureSlot {
    int controlId;
    int bitmapId;
};

class DialogResources {
public:
    DialogResources() = default;
    ~DialogResources();
    DialogResources(const DialogResources&) = delete;
    DialogResources& operator=(const DialogResources&) = delete;

    // Title, icons, fonts and pictures for the window as it stands now; again after a change of DPI.
    void Apply(HWND window, const std::vector<PictureSlot>& pictures);
    HFONT TitleFont() const { return titleFont; }
    HFONT SmallFont() const { return smallFont; }

private:
    void Release();
    HFONT titleFont = nullptr;
    HFONT smallFont = nullptr;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    std::vector<HBITMAP> bitmaps;
};

// Answers WM_CTLCOLORSTATIC for a styled label: transparent, the given colour and font, the face brush.
INT_PTR StyledLabel(HDC dc, COLORREF colour, HFONT font);

// Makes the version-6 common controls (the link control, themed trackbars) and per-monitor DPI awareness current
// on the calling thread while it lives, where the system offers them.
class DialogScope {
public:
    DialogScope();
    ~DialogScope();
    DialogScope(const DialogScope&) = delete;
    DialogScope& operator=(const DialogScope&) = delete;

private:
    ULONG_PTR activationCookie = 0;
    bool activated = false;
    void* previousDpiContext = nullptr;
};

// Posted to a dialog after a change of DPI, once the system has laid out its controls anew.
constexpr UINT kRefitMessage = WM_APP + 1;
