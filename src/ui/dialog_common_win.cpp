#include "ui/dialog_common_win.h"

#include <mutex>

#include "com/module_state.h"
#include "ui/panel_model.h"
#include "ui/picture.h"
#include "ui/resource_ids.h"

namespace {

constexpr int kTitlePoints = 12;
constexpr int kTitleWeight = 800;
constexpr int kSmallPoints = 8;
constexpr int kSmallWeight = 400;
constexpr int kManifestResource = 2;  // the dialogs' manifest asks for the version-6 common controls

// Functions of newer systems, looked up so that the driver still loads where they are missing.
using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using SetThreadDpiAwarenessContextFunction = void*(WINAPI*)(void*);

template <class Function>
Function User32Function(const char* name) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    return user32 ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

UINT WindowDpi(HWND window) {
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    if (getDpiForWindow) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi) return dpi;
    }
    HDC dc = GetDC(window);
    const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(window, dc);
    return dpi > 0 ? (UINT)dpi : 96;
}

HFONT CreateLabelFont(UINT dpi, int points, int weight) {
    return CreateFontA(-MulDiv(points, (int)dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, VARIABLE_PITCH | FF_SWISS,
                       "Microsoft Sans Serif");
}

// A bitmap resource as a picture: 32-bit with alpha as drawn; anything else counts as opaque.
Picture LoadPicture(int bitmapId) {
    Picture picture;
    HBITMAP bitmap =
        (HBITMAP)LoadImageA(moduleInstance, MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
    if (!bitmap) return picture;
    DIBSECTION section{};
    if (GetObjectA(bitmap, sizeof section, &section) == sizeof section && section.dsBm.bmBitsPixel == 32 &&
        section.dsBm.bmBits) {
        picture.width = section.dsBm.bmWidth;
        picture.height = section.dsBm.bmHeight;
        picture.bgra.resize((size_t)picture.width * picture.height * 4);
        const bool bottomUp = section.dsBmih.biHeight > 0;
        const auto* bits = static_cast<const uint8_t*>(section.dsBm.bmBits);
        const size_t stride = (size_t)section.dsBm.bmWidthBytes;
        for (int y = 0; y < picture.height; ++y) {
            const uint8_t* row = bits + stride * (size_t)(bottomUp ? picture.height - 1 - y : y);
            std::copy(row, row + (size_t)picture.width * 4, picture.bgra.begin() + (size_t)y * picture.width * 4);
        }
    }
    DeleteObject(bitmap);
    return picture;
}

HBITMAP MakeBitmap(const Picture& picture) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;  // top-down, as the picture's rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) std::copy(picture.bgra.begin(), picture.bgra.end(), static_cast<uint8_t*>(bits));
    return bitmap;
}

HANDLE CommonControlsContext() {
    static HANDLE context = INVALID_HANDLE_VALUE;
    static std::once_flag once;
    std::call_once(once, [] {
        ACTCTXA request{};
        request.cbSize = sizeof request;
        request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.hModule = moduleInstance;
        request.lpResourceName = MAKEINTRESOURCEA(kManifestResource);
        context = CreateActCtxA(&request);
    });
    return context;
}

}  // namespace

INT_PTR CommonDialogHandler(HWND window, UINT message, WPARAM command) {
    if (message == WM_INITDIALOG) {
        RECT rect{};
        GetWindowRect(window, &rect);
        const int width = rect.right - rect.left, height = rect.bottom - rect.top;
        MoveWindow(window, GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2,
                   GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2, width, height, FALSE);
        return 1;
    }
    if (message == WM_COMMAND && LOWORD(command) == IDCANCEL) EndDialog(window, IDCANCEL);
    return 0;
}

DialogResources::~DialogResources() { Release(); }

void DialogResources::Release() {
    if (titleFont) DeleteObject(titleFont);
    if (smallFont) DeleteObject(smallFont);
    if (bigIcon) DestroyIcon(bigIcon);
    if (smallIcon) DestroyIcon(smallIcon);
    for (HBITMAP bitmap : bitmaps) DeleteObject(bitmap);
    titleFont = smallFont = nullptr;
    bigIcon = smallIcon = nullptr;
    bitmaps.clear();
}

void DialogResources::Apply(HWND window, const std::vector<PictureSlot>& pictures) {
    const UINT dpi = WindowDpi(window);
    HFONT oldTitle = titleFont, oldSmall = smallFont;
    HICON oldBig = bigIcon, oldSmallIcon = smallIcon;
    std::vector<HBITMAP> oldBitmaps;
    oldBitmaps.swap(bitmaps);

    SetWindowTextA(window, panel::kPanelTitle);
    titleFont = CreateLabelFont(dpi, kTitlePoints, kTitleWeight);
    smallFont = CreateLabelFont(dpi, kSmallPoints, kSmallWeight);
    const int big = MulDiv(32, (int)dpi, 96), small = MulDiv(16, (int)dpi, 96);
    bigIcon = (HICON)LoadImageA(moduleInstance, MAKEINTRESOURCEA(IDI_TESSEL), IMAGE_ICON, big, big, 0);
    smallIcon = (HICON)LoadImageA(moduleInstance, MAKEINTRESOURCEA(IDI_TESSEL), IMAGE_ICON, small, small, 0);
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)bigIcon);
    SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)smallIcon);

    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    for (const PictureSlot& slot : pictures) {
        HWND control = GetDlgItem(window, slot.controlId);
        if (!control) continue;
        RECT box{};
        GetClientRect(control, &box);
        const Picture fitted = FitPicture(LoadPicture(slot.bitmapId), box.right, box.bottom, GetRValue(face),
                                          GetGValue(face), GetBValue(face));
        if (fitted.width == 0) continue;
        HBITMAP bitmap = MakeBitmap(fitted);
        if (!bitmap) continue;
        bitmaps.push_back(bitmap);
        HBITMAP previous = (HBITMAP)SendMessageA(control, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)bitmap);
        // The control may have copied an earlier image of ours; what it hands back is no longer drawn.
        bool ours = false;
        for (HBITMAP mine : oldBitmaps) ours = ours || mine == previous;
        if (previous && !ours && previous != bitmap) DeleteObject(previous);
    }
    if (oldTitle) DeleteObject(oldTitle);
    if (oldSmall) DeleteObject(oldSmall);
    if (oldBig) DestroyIcon(oldBig);
    if (oldSmallIcon) DestroyIcon(oldSmallIcon);
    for (HBITMAP bitmap : oldBitmaps) DeleteObject(bitmap);
}

INT_PTR StyledLabel(HDC dc, COLORREF colour, HFONT font) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colour);
    if (font) SelectObject(dc, font);
    return (INT_PTR)GetSysColorBrush(COLOR_BTNFACE);
}

DialogScope::DialogScope() {
    HANDLE context = CommonControlsContext();
    if (context != INVALID_HANDLE_VALUE) activated = ActivateActCtx(context, &activationCookie) != FALSE;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_LINK_CLASS};
    InitCommonControlsEx(&controls);
    static const auto setThreadDpiAwarenessContext =
        User32Function<SetThreadDpiAwarenessContextFunction>("SetThreadDpiAwarenessContext");
    // Per-monitor (version 2): the system scales the dialog templates, fonts and non-client area for each
    // monitor; hosts that are not DPI aware would otherwise get a blurred, bitmap-stretched panel.
    if (setThreadDpiAwarenessContext) previousDpiContext = setThreadDpiAwarenessContext(reinterpret_cast<void*>(-4));
}

DialogScope::~DialogScope() {
    static const auto setThreadDpiAwarenessContext =
        User32Function<SetThreadDpiAwarenessContextFunction>("SetThreadDpiAwarenessContext");
    if (setThreadDpiAwarenessContext && previousDpiContext) setThreadDpiAwarenessContext(previousDpiContext);
    if (activated) DeactivateActCtx(0, activationCookie);
}
