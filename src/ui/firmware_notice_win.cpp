// The firmware-update notice on Windows: dialog template 102, modal on the calling thread.

#include <new>
#include <string>

#include "com/module_state.h"
#include "driver/asio_driver.h"
#include "ui/control_panel.h"
#include "ui/dialog_common_win.h"
#include "ui/panel_model.h"
#include "ui/resource_ids.h"

namespace {

#ifndef LM_GETIDEALSIZE
// The link control's "how wide is your text" request; the cross-compiler's headers declare it only for some
// target versions.
constexpr UINT LM_GETIDEALSIZE = WM_USER + 0x301;
#endif

const std::vector<PictureSlot> kPictures = {{IDC_NOTICE_MICROPHONE, IDB_MICROPHONE},
                                            {IDC_NOTICE_UPDATE_SIGN, IDB_UPDATE_SIGN},
                                            {IDC_NOTICE_WORDMARK, IDB_MAKER_WORDMARK}};

// The link shows the page's address; it is sized to that text and centred under the lines above it.
void PlaceLink(HWND window) {
    HWND link = GetDlgItem(window, IDC_NOTICE_LINK);
    if (!link) return;
    const std::string text = std::string("<a>") + panel::kCompanionAppUrl + "</a>";
    SetWindowTextA(link, text.c_str());
    RECT client{}, box{};
    GetClientRect(window, &client);
    GetWindowRect(link, &box);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&box), 2);
    SIZE ideal{};
    if (!SendMessageA(link, LM_GETIDEALSIZE, (WPARAM)client.right, (LPARAM)&ideal) || ideal.cx <= 0) return;
    const int width = ideal.cx + 2;
    MoveWindow(link, (client.right - width) / 2, box.top, width, box.bottom - box.top, FALSE);
}

INT_PTR CALLBACK FirmwareNoticeDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const INT_PTR common = CommonDialogHandler(window, message, wParam);
    auto* resources = reinterpret_cast<DialogResources*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
        case WM_INITDIALOG:
            resources = new (std::nothrow) DialogResources();
            if (!resources) return common;
            SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)resources);
            resources->Apply(window, kPictures);
            SendDlgItemMessageA(window, IDC_NOTICE_TITLE, WM_SETFONT, (WPARAM)resources->TitleFont(), FALSE);
            SendDlgItemMessageA(window, IDC_NOTICE_BODY, WM_SETFONT, (WPARAM)resources->SmallFont(), FALSE);
            SendDlgItemMessageA(window, IDC_NOTICE_STEPS, WM_SETFONT, (WPARAM)resources->SmallFont(), FALSE);
            PlaceLink(window);
            return TRUE;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header && header->idFrom == IDC_NOTICE_LINK &&
                (header->code == NM_CLICK || header->code == NM_RETURN)) {
                // A page that cannot be opened leaves nothing to do: the notice has said where to go.
                ShellExecuteA(nullptr, "open", panel::kCompanionAppUrl, nullptr, nullptr, SW_SHOWNORMAL);
                return TRUE;
            }
            break;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK && HIWORD(wParam) == BN_CLICKED) {
                EndDialog(window, IDOK);
                return TRUE;
            }
            break;
        case WM_CTLCOLORSTATIC: {
            if (!resources) break;
            const int id = GetDlgCtrlID((HWND)lParam);
            if (id == IDC_NOTICE_TITLE) return StyledLabel((HDC)wParam, RGB(0, 0, 0), resources->TitleFont());
            if (id == IDC_NOTICE_BODY || id == IDC_NOTICE_STEPS)
                return StyledLabel((HDC)wParam, RGB(0, 0, 0), resources->SmallFont());
            break;
        }
        case WM_DPICHANGED:
            PostMessageA(window, kRefitMessage, 0, 0);
            break;
        case kRefitMessage:
            if (resources) {
                resources->Apply(window, kPictures);
                SendDlgItemMessageA(window, IDC_NOTICE_TITLE, WM_SETFONT, (WPARAM)resources->TitleFont(), TRUE);
                SendDlgItemMessageA(window, IDC_NOTICE_BODY, WM_SETFONT, (WPARAM)resources->SmallFont(), TRUE);
                SendDlgItemMessageA(window, IDC_NOTICE_STEPS, WM_SETFONT, (WPARAM)resources->SmallFont(), TRUE);
                PlaceLink(window);
            }
            return TRUE;
        case WM_NCDESTROY:
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            delete resources;
            break;
    }
    return common;
}

}  // namespace

void ShowFirmwareNotice(CAsioDriver& driver) {
    DialogScope scope;
    DialogBoxParamA(moduleInstance, MAKEINTRESOURCEA(IDD_FIRMWARE_NOTICE), nullptr, &FirmwareNoticeDlgProc,
                    (LPARAM)&driver);
}
