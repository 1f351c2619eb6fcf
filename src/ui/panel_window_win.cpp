// The control panel's window on Windows: dialog template 101, run modeless on the panel's own thread.
//
// Threads: everything here runs on the panel thread except WakePanelThread. The dialog procedure turns the
// dialog's messages into calls of ControlPanelState and shows what it answers.

#include <new>
#include <string>

#include "com/module_state.h"
#include "driver/asio_driver.h"
#include "ui/control_panel.h"
#include "ui/dialog_common_win.h"
#include "ui/panel_state.h"
#include "ui/resource_ids.h"

namespace {

constexpr UINT kMetricsPeriodMs = 400;
constexpr COLORREF kStyledGrey = RGB(120, 120, 120);

// Everything one panel window owns; lives from WM_INITDIALOG to WM_NCDESTROY.
struct PanelWindow {
    explicit PanelWindow(CAsioDriver& driverRecord)
        : driver(driverRecord), gains(driverRecord), state(driverRecord, gains) {}
    CAsioDriver& driver;
    DriverGains gains;
    ControlPanelState state;
    DialogResources resources;
};

const std::vector<PictureSlot> kPictures = {{IDC_PANEL_MARK, IDB_PANEL_MARK}, {IDC_PANEL_WORDMARK, IDB_MAKER_WORDMARK}};

PanelWindow* PanelOf(HWND window) { return reinterpret_cast<PanelWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA)); }

void FillList(HWND window, int id, const std::vector<std::string>& items, int selection) {
    for (const std::string& item : items) SendDlgItemMessageA(window, id, CB_ADDSTRING, 0, (LPARAM)item.c_str());
    SendDlgItemMessageA(window, id, CB_SETCURSEL, (WPARAM)selection, 0);
}

std::string ModuleVersionLine() {
    uint32_t ms = 0, ls = 0;
    bool known = false;
    if (HRSRC found = FindResourceA(moduleInstance, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16))) {
        HGLOBAL loaded = LoadResource(moduleInstance, found);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (data) known = panel::ReadFileVersion(data, SizeofResource(moduleInstance, found), &ms, &ls);
    }
    return panel::VersionLine(known, ms, ls);
}

void InitialisePanel(HWND window, PanelWindow& panelWindow) {
    const PanelView& view = panelWindow.state.View();
    panelWindow.resources.Apply(window, kPictures);
    SendDlgItemMessageA(window, IDC_DEVICE_TITLE, WM_SETFONT, (WPARAM)panelWindow.resources.TitleFont(), FALSE);
    SendDlgItemMessageA(window, IDC_METRICS_LINE, WM_SETFONT, (WPARAM)panelWindow.resources.SmallFont(), FALSE);

    FillList(window, IDC_BUFFER_SIZE_LIST, view.bufferSizes, view.bufferSizeSelection);
    FillList(window, IDC_OUTPUT_LIST, view.outputs, view.outputSelection);
    for (int slot = 0; slot < panel::kSlots; ++slot) {
        const GainStripView& strip = view.strips[slot];
        const int show = strip.shown ? SW_SHOW : SW_HIDE;
        for (int id : {panel::TrackbarId(slot), panel::SlotNumberId(slot), panel::GainLabelId(slot)})
            ShowWindow(GetDlgItem(window, id), show);
        if (!strip.shown) continue;
        if (strip.scaled) {
            SendDlgItemMessageA(window, panel::TrackbarId(slot), TBM_SETRANGEMIN, TRUE, 0);
            SendDlgItemMessageA(window, panel::TrackbarId(slot), TBM_SETRANGEMAX, TRUE, strip.steps);
            SendDlgItemMessageA(window, panel::TrackbarId(slot), TBM_SETPOS, TRUE, strip.position);
        }
        SetDlgItemTextA(window, panel::GainLabelId(slot), strip.label.c_str());
    }
    // The two settings check boxes stay hidden: the settings are changed by the registry, not here.
    ShowWindow(GetDlgItem(window, IDC_MODELESS_CHECK), SW_HIDE);
    ShowWindow(GetDlgItem(window, IDC_AUTO_OPEN_CHECK), SW_HIDE);
    SetDlgItemTextA(window, IDC_VARIANT, view.variant.c_str());
    SetDlgItemTextA(window, IDC_VERSION, ModuleVersionLine().c_str());
    SetTimer(window, IDT_METRICS, kMetricsPeriodMs, nullptr);
}

INT_PTR CALLBACK ControlPanelDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Escape and the close box close the panel as OK does: a hidden panel that still counts as open would keep a
    // waiting controlPanel blocked with nothing on screen.
    if ((message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) || message == WM_CLOSE) {
        DestroyWindow(window);
        return TRUE;
    }
    const INT_PTR common = CommonDialogHandler(window, message, wParam);
    PanelWindow* panelWindow = PanelOf(window);
    switch (message) {
        case WM_INITDIALOG: {
            panelWindow = new (std::nothrow) PanelWindow(*reinterpret_cast<CAsioDriver*>(lParam));
            if (!panelWindow) return common;
            SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)panelWindow);
            InitialisePanel(window, *panelWindow);
            return TRUE;
        }
        case WM_VSCROLL: {
            if (!panelWindow || !lParam) break;
            for (int slot = 0; slot < panel::kSlots; ++slot) {
                if (GetDlgItem(window, panel::TrackbarId(slot)) != (HWND)lParam) continue;
                const int position = (int)SendMessageA((HWND)lParam, TBM_GETPOS, 0, 0);
                SetDlgItemTextA(window, panel::GainLabelId(slot), panelWindow->state.MoveGain(slot, position).c_str());
                return TRUE;
            }
            break;
        }
        case WM_COMMAND: {
            if (!panelWindow) break;
            const int id = LOWORD(wParam), code = HIWORD(wParam);
            if (code == CBN_SELCHANGE && (id == IDC_BUFFER_SIZE_LIST || id == IDC_OUTPUT_LIST)) {
                const int index = (int)SendDlgItemMessageA(window, id, CB_GETCURSEL, 0, 0);
                if (id == IDC_BUFFER_SIZE_LIST)
                    panelWindow->state.ChooseBufferSize(index);
                else
                    panelWindow->state.ChooseOutput(index);
                return TRUE;
            }
            if (id == IDOK && code == BN_CLICKED) {
                DestroyWindow(window);
                return TRUE;
            }
            break;
        }
        case WM_TIMER: {
            std::string text;
            if (panelWindow && wParam == IDT_METRICS && panelWindow->state.MetricsText(&text))
                SetDlgItemTextA(window, IDC_METRICS_LINE, text.c_str());
            return TRUE;
        }
        case WM_CTLCOLORSTATIC: {
            if (!panelWindow) break;
            const int id = GetDlgCtrlID((HWND)lParam);
            if (id == IDC_DEVICE_TITLE)
                return StyledLabel((HDC)wParam, kStyledGrey, panelWindow->resources.TitleFont());
            if (id == IDC_METRICS_LINE)
                return StyledLabel((HDC)wParam, kStyledGrey, panelWindow->resources.SmallFont());
            if (id == IDC_VARIANT || id == IDC_VERSION || id == IDC_GAIN_GROUP)
                return StyledLabel((HDC)wParam, kStyledGrey, nullptr);
            break;
        }
        case WM_DPICHANGED:
            PostMessageA(window, kRefitMessage, 0, 0);
            break;  // the system lays the dialog out for the new DPI
        case kRefitMessage:
            if (panelWindow) {
                panelWindow->resources.Apply(window, kPictures);
                SendDlgItemMessageA(window, IDC_DEVICE_TITLE, WM_SETFONT, (WPARAM)panelWindow->resources.TitleFont(),
                                    TRUE);
                SendDlgItemMessageA(window, IDC_METRICS_LINE, WM_SETFONT, (WPARAM)panelWindow->resources.SmallFont(),
                                    TRUE);
            }
            return TRUE;
        case WM_DESTROY:
            if (panelWindow) panelWindow->driver.panelQuit = true;
            break;
        case WM_NCDESTROY:
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            delete panelWindow;
            break;
    }
    return common;
}

// The panel thread keeps the version-6 controls and per-monitor DPI for as long as its panel exists.
thread_local DialogScope* panelScope = nullptr;

}  // namespace

HWND CreatePanelWindow(CAsioDriver& driver) {
    panelScope = new (std::nothrow) DialogScope();
    HWND window = CreateDialogParamA(moduleInstance, MAKEINTRESOURCEA(IDD_CONTROL_PANEL), nullptr, &ControlPanelDlgProc,
                                     (LPARAM)&driver);
    if (window) {
        ShowWindow(window, SW_SHOWNORMAL);
    } else {
        delete panelScope;
        panelScope = nullptr;
    }
    return window;
}

void RunPanelLoop(CAsioDriver& driver, HWND window) {
    MSG message;
    while (!driver.panelQuit) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == -1) break;    // no queue to read: nothing will ever come
        if (got == 0) continue;  // WM_QUIT: panelQuit decides
        if (IsDialogMessageA(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void DestroyPanelWindow(HWND window) {
    if (IsWindow(window)) DestroyWindow(window);
    delete panelScope;
    panelScope = nullptr;
}

void WakePanelThread(HWND window, DWORD threadId) {
    // Only the thread that created a window may destroy it (DestroyWindow from any other fails), and a modeless
    // dialog is ended by DestroyWindow, not EndDialog: the panel is asked to close as its close box does, so that
    // its own thread destroys it through the path OK takes. A sent message would block this thread until the
    // panel's had served it; a posted one does not.
    if (window && PostMessageA(window, WM_CLOSE, 0, 0)) return;
    if (threadId) PostThreadMessageA(threadId, WM_QUIT, 0, 0);
}

namespace {
// Delivers the messages sent to this thread's windows; posted messages stay queued for the host's own loop.
void ServeSentMessages() {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}
}  // namespace

void WaitServingSentMessages(DWORD milliseconds) {
    ServeSentMessages();
    const DWORD begin = GetTickCount();
    for (DWORD waited = 0; waited < milliseconds; waited = GetTickCount() - begin) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - waited, QS_SENDMESSAGE) == WAIT_OBJECT_0)
            ServeSentMessages();
    }
}

bool WaitForThreadServingSentMessages(HANDLE thread, DWORD milliseconds) {
    ServeSentMessages();
    const DWORD begin = GetTickCount();
    for (DWORD waited = 0; waited <= milliseconds; waited = GetTickCount() - begin) {
        const DWORD result = MsgWaitForMultipleObjects(1, &thread, FALSE, milliseconds - waited, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0) return true;
        if (result == WAIT_OBJECT_0 + 1) {
            ServeSentMessages();
            continue;
        }
        if (result == WAIT_TIMEOUT) return false;
        return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;  // a failed wait: look once more
    }
    return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}
