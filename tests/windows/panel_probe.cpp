// The control panel of the real DLL under Wine, driven as a host and a user would: the driver is created through
// COM from its registration, controlPanel is called on a host thread, and the dialog is found, read and operated
// from outside through its window messages.
//
// Under Wine there are no microphones, so init fails and the driver has no devices. To see gain strips, the
// output list and the firmware notice, the probe writes those fields of the driver object the way the open
// sequence would: it is built from the same headers as the DLL and reaches the object behind the IASIO pointer it
// holds. No hook exists in the DLL for this; a real host can do none of it.
//
// With the test-only DLL, whose devices are the virtual hardware (configured by TESSEL_VIRTUAL_MACHINE, four
// microphones by default), init succeeds and the panel shows the virtual microphones' own gains; nothing of the
// driver object is written then.
//
// usage: panel_probe check              every check with the product DLL; exit code = number of failures
//        panel_probe virtual            the checks of the test-only DLL's panel with four virtual microphones
//        panel_probe show panel|notice   shows the dialog, prints "rect L T R B", waits for the file named by
//                                        TESSEL_PROBE_DONE (at most 60 s), then closes it
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/asio_driver.h"
#include "platform/win32.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

namespace {

const CLSID kIntegerClass = {0xCF683376, 0x4DD8, 0x4F2E, {0x93, 0xC8, 0xAD, 0xBD, 0x68, 0xAE, 0x84, 0xC4}};
const char kSettingsKey[] = "SOFTWARE\\Korvel\\Tessel ASIO\\1.00";
const char kTitle[] = "Tessel Control Panel";

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("  %s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failures;
}

void CheckText(const std::string& what, const std::string& actual, const std::string& expected) {
    Check(actual == expected,
          what + " = \"" + actual + "\"" + (actual == expected ? "" : ", expected \"" + expected + "\""));
}

void SetDword(const char* name, DWORD value) {
    HKEY key;
    RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void SetString(const char* name, const std::string& value) {
    HKEY key;
    RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), (DWORD)value.size() + 1);
    RegCloseKey(key);
}

DWORD ReadDword(const char* name) {
    DWORD value = 0xFFFFFFFF, size = sizeof value;
    RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

std::string ReadString(const char* name) {
    char value[300] = {};
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return "<missing>";
    return value;
}

int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

// The host's thread is a GUI thread: while it waits it runs its message loop, as a host's main thread does.
void Pump(DWORD ms) {
    const DWORD begin = GetTickCount();
    for (DWORD waited = 0; waited < ms; waited = GetTickCount() - begin) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - waited, QS_ALLINPUT);
    }
}

template <class Condition>
bool Eventually(Condition condition, DWORD ms = 5000) {
    for (DWORD waited = 0; waited < ms && !condition(); waited += 10) Pump(10);
    return condition();
}

HWND FindDialog() { return FindWindowA("#32770", kTitle); }

std::string Text(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ItemText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

std::vector<std::string> ListItems(HWND dialog, int id) {
    std::vector<std::string> items;
    const int count = (int)SendDlgItemMessageA(dialog, id, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        char text[300] = {};
        SendDlgItemMessageA(dialog, id, CB_GETLBTEXT, i, (LPARAM)text);
        items.push_back(text);
    }
    return items;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string joined;
    for (const std::string& item : items) joined += (joined.empty() ? "" : "|") + item;
    return joined;
}

// The driver as the host holds it, and the record behind it.
struct Driver {
    Driver() {
        CoCreateInstance(kIntegerClass, nullptr, CLSCTX_INPROC_SERVER, kIntegerClass, reinterpret_cast<void**>(&asio));
    }
    ~Driver() { Release(); }
    void Release() {
        if (asio) asio->Release();
        asio = nullptr;
    }
    CAsioDriver* Record() const { return static_cast<CAsioDriver*>(asio); }
    // What the open sequence leaves behind on a machine with three microphones and two playback devices
    // (microphones without endpoints: their sliders show, with no volume to set).
    void PretendDevices() const {
        Record()->numInputs = 3;
        Record()->outputDevices = {{"Headphones (Probe)", {}}, {"Speakers (Probe)", {}}};
    }
    IASIO* asio = nullptr;
};

// A host's controlPanel call on its own thread.
struct HostCall {
    explicit HostCall(IASIO* asio)
        : thread([this, asio] {
              result = asio->controlPanel();
              returned = true;
          }) {}
    ~HostCall() { thread.join(); }
    std::atomic<bool> returned{false};
    std::atomic<ASIOError> result{ASE_HWMalfunction};
    std::thread thread;
};

void Choose(HWND dialog, int id, int index) {
    SendDlgItemMessageA(dialog, id, CB_SETCURSEL, index, 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)GetDlgItem(dialog, id));
}

void CheckPanelContents(HWND dialog) {
    CheckText("title", Text(dialog), kTitle);
    Check(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0) != 0, "window icon set");
    const int ids[] = {1017, 1016, 1012, 1018, 1044, 1014, 1045, 1004, 1013, 1015, 1, 1019};
    for (int id : ids) Check(GetDlgItem(dialog, id) != nullptr, "control " + std::to_string(id) + " exists");
    CheckText("1017", ItemText(dialog, 1017), "Device");
    CheckText("1016", ItemText(dialog, 1016), "Korvel Tessel");
    CheckText("1012", ItemText(dialog, 1012), "ASIO Buffer Size");
    CheckText("1044", ItemText(dialog, 1044), "Microphone Gain");
    CheckText("1014", ItemText(dialog, 1014), "Output Device");
    CheckText("1 (OK)", ItemText(dialog, 1), "OK");
    CheckText("1019", ItemText(dialog, 1019), "Version: 1.0.0.0");
    Check(!IsWindowVisible(GetDlgItem(dialog, 1013)) && !IsWindowVisible(GetDlgItem(dialog, 1015)),
          "check boxes 1013 and 1015 hidden");
    for (int slot = 0; slot < 8; ++slot) {
        const bool shown = slot < 3;
        bool as = true;
        for (int id : {1020 + 3 * slot, 1021 + 3 * slot, 1022 + 3 * slot})
            as = as && GetDlgItem(dialog, id) && IsWindowVisible(GetDlgItem(dialog, id)) == (BOOL)shown;
        Check(as, "gain strip " + std::to_string(slot + 1) + (shown ? " shown" : " hidden"));
    }
    CheckText("slot number 2", ItemText(dialog, 1025), "2");
    CheckText("slot 1 gain label", ItemText(dialog, 1021), "0dB");
    CheckText("buffer sizes", Joined(ListItems(dialog, 1018)), "144|288|432|576|720|864|1008|1152");
    Check(SendDlgItemMessageA(dialog, 1018, CB_GETCURSEL, 0, 0) == 1, "stored 200 shows 288 selected");
    CheckText("outputs", Joined(ListItems(dialog, 1045)), "No Output Selected|Headphones (Probe)|Speakers (Probe)");
    Check(SendDlgItemMessageA(dialog, 1045, CB_GETCURSEL, 0, 0) == 2, "stored output selected");
    const bool metrics = Eventually([&] { return ItemText(dialog, 1004) == "DropOut:0 | Latency:0 (0.0ms)"; }, 2000);
    Check(metrics, "metrics line: " + ItemText(dialog, 1004));
}

void CheckModal(Driver& driver) {
    std::printf("modal panel: contents, a choice through each list, OK\n");
    const int threadsBefore = ThreadCount();
    {
        HostCall call(driver.asio);
        HWND dialog = nullptr;
        Check(Eventually([&] { return (dialog = FindDialog()) != nullptr && IsWindowVisible(dialog); }), "panel shown");
        if (!dialog) return;
        CheckPanelContents(dialog);
        Pump(300);
        Check(!call.returned, "controlPanel waits while the panel is open");
        Choose(dialog, 1018, 3);
        int32_t minSize, maxSize, preferred, granularity;
        driver.asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
        Check(preferred == 576, "picking 576 sets the preferred size: " + std::to_string(preferred));
        Choose(dialog, 1045, 1);
        CheckText("output chosen", driver.Record()->outputDeviceName, "Headphones (Probe)");
        Choose(dialog, 1045, 0);
        CheckText("no output chosen", driver.Record()->outputDeviceName, "");
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
        Check(Eventually([&] { return call.returned.load(); }), "OK closes the panel and controlPanel returns");
        Check(call.result == ASE_OK, "controlPanel result ASE_OK");
        Check(!IsWindow(dialog), "panel window destroyed");
    }
    Check(Eventually([&] { return ThreadCount() == threadsBefore; }, 2000),
          "no thread left behind (" + std::to_string(ThreadCount()) + " of " + std::to_string(threadsBefore) + ")");

    for (const char* how : {"Escape", "the close box"}) {
        std::printf("modal panel: %s\n", how);
        HostCall call(driver.asio);
        HWND dialog = nullptr;
        Check(Eventually([&] { return (dialog = FindDialog()) != nullptr && IsWindowVisible(dialog); }), "panel shown");
        if (!dialog) continue;
        if (std::strcmp(how, "Escape") == 0)
            PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
        else
            PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        Check(Eventually([&] { return call.returned.load(); }),
              std::string(how) + " closes it and controlPanel returns");
        Check(!IsWindow(dialog), "panel window destroyed");
    }
}

// A panel thread that had to be terminated has left its work undone: always a failure.
void CheckNoneTerminated(Driver& driver) {
    const uint32_t terminated = driver.Record()->panelThreadsTerminated.load();
    Check(terminated == 0, "no panel thread terminated (" + std::to_string(terminated) + ")");
}

void CheckModeless(Driver& driver) {
    std::printf("modeless panel: returns at once; stop 300 ms later keeps the setting, 100 ms later clears it\n");
    driver.Record()->modelessPanel = true;
    const int threadsBefore = ThreadCount();
    Check(driver.asio->controlPanel() == ASE_OK, "controlPanel returns");
    HWND dialog = FindDialog();
    Check(dialog && IsWindowVisible(dialog), "panel shown after controlPanel returned");
    Pump(300);
    driver.asio->stop();
    Check(!FindDialog(), "stop closes the panel");
    Check(driver.Record()->modelessPanel, "modeless setting kept");
    CheckNoneTerminated(driver);

    driver.asio->controlPanel();
    Check(FindDialog() != nullptr, "panel shown again");
    Pump(100);
    driver.asio->stop();
    Check(!FindDialog(), "stop closes the panel");
    Check(!driver.Record()->modelessPanel, "modeless setting cleared by a stop within 200 ms");
    Check(Eventually([&] { return ThreadCount() == threadsBefore; }, 2000), "no thread left behind");
    CheckNoneTerminated(driver);
}

void CheckNotice(Driver& driver) {
    for (const char* how : {"OK", "Escape"}) {
        std::printf("firmware notice in place of the panel, closed with %s\n", how);
        driver.Record()->firmwareUpdateRequired = true;
        HostCall call(driver.asio);
        HWND dialog = nullptr;
        Check(Eventually([&] { return (dialog = FindDialog()) != nullptr && IsWindowVisible(dialog); }),
              "notice shown");
        if (!dialog) continue;
        Check(GetDlgItem(dialog, 1018) == nullptr, "no panel controls");
        CheckText("1047", ItemText(dialog, 1047), "IMPORTANT!\nUPDATE REQUIRED");
        char className[64] = {};
        GetClassNameA(GetDlgItem(dialog, 1048), className, sizeof className);
        CheckText("1048 class", className, "SysLink");
        Check(ItemText(dialog, 1048).find("example") != std::string::npos,
              "link shows the page: " + ItemText(dialog, 1048));
        Check(GetDlgItem(dialog, 1046) && GetDlgItem(dialog, 1049), "notice texts present");
        Pump(200);
        Check(!call.returned, "controlPanel waits while the notice is open");
        if (std::strcmp(how, "OK") == 0)
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
        else
            PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
        Check(Eventually([&] { return call.returned.load(); }), "notice closed, controlPanel returns");
        Check(call.result == ASE_OK, "controlPanel result ASE_OK");
        Check(driver.Record()->panelWindow.load() == nullptr, "no panel opened");
    }
    driver.Record()->firmwareUpdateRequired = false;
}

int RunChecks() {
    SetDword("Buffer Size Preferred", 200);
    SetString("Output Device", "Speakers (Probe)");
    SetDword("Show Metrics", 1);
    SetDword("Modeless Control Panel", 0);
    const int threadsAtStart = ThreadCount();
    {
        Driver driver;
        Check(driver.asio != nullptr, "driver created through COM");
        if (!driver.asio) return failures;
        Check(driver.asio->init(nullptr) == 0, "init fails without microphones");
        driver.PretendDevices();
        CheckModal(driver);
        CheckModeless(driver);
        CheckNotice(driver);
        CheckNoneTerminated(driver);
        std::printf("release: settings saved\n");
        driver.Release();
        Check(ReadDword("Buffer Size Preferred") == 576, "Buffer Size Preferred saved as 576");
        CheckText("Output Device saved", ReadString("Output Device"), "");
        Check(ReadDword("Modeless Control Panel") == 0, "Modeless Control Panel saved as 0");
    }
    Check(Eventually([&] { return ThreadCount() <= threadsAtStart; }, 2000),
          "no thread left after release (" + std::to_string(ThreadCount()) + " of " + std::to_string(threadsAtStart) +
              ")");
    std::printf("panel probe: %d failure(s)\n", failures);
    return failures;
}

// One gain strip as the panel shows it: visible, the slider's range and position, the label.
struct Strip {
    bool shown = false;
    int min = -1, max = -1, position = -1;
    std::string label;
};

Strip ReadStrip(HWND dialog, int slot) {
    Strip strip;
    HWND slider = GetDlgItem(dialog, 1020 + 3 * slot);
    strip.shown = slider && IsWindowVisible(slider);
    strip.min = (int)SendMessageA(slider, TBM_GETRANGEMIN, 0, 0);
    strip.max = (int)SendMessageA(slider, TBM_GETRANGEMAX, 0, 0);
    strip.position = (int)SendMessageA(slider, TBM_GETPOS, 0, 0);
    strip.label = ItemText(dialog, 1021 + 3 * slot);
    return strip;
}

// A user drags a slider to `position`: the trackbar moves and tells its dialog, as it does for a drag.
void DragSlider(HWND dialog, int slot, int position) {
    HWND slider = GetDlgItem(dialog, 1020 + 3 * slot);
    SendMessageA(slider, TBM_SETPOS, TRUE, position);
    SendMessageA(dialog, WM_VSCROLL, MAKEWPARAM(TB_THUMBTRACK, position), (LPARAM)slider);
    SendMessageA(dialog, WM_VSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), (LPARAM)slider);
}

// The test-only DLL on its default virtual machine: four microphones at 0 dB on a -10 ... +30 dB range in 0.5 dB
// steps, and a playback device called "Speakers".
int RunVirtualChecks() {
    constexpr int kMicrophones = 4;
    SetDword("Buffer Size Preferred", 288);
    SetString("Output Device", "Speakers");
    SetDword("Show Metrics", 1);
    SetDword("Modeless Control Panel", 0);
    int threadsOpen = 0;  // with the devices open: the virtual machine's and the endpoints' threads
    {
        Driver driver;
        Check(driver.asio != nullptr, "test-only driver created through COM");
        if (!driver.asio) return failures;
        const bool opened = driver.asio->init(nullptr) == ASIOTrue;
        char message[128] = {};
        driver.asio->getErrorMessage(message);
        Check(opened, std::string("init opens the virtual microphones: ") + message);
        int32_t inputs = 0, outputs = 0;
        driver.asio->getChannels(&inputs, &outputs);
        Check(inputs == kMicrophones && outputs == 2,
              "channels: " + std::to_string(inputs) + " in, " + std::to_string(outputs) + " out");
        threadsOpen = ThreadCount();

        std::printf("virtual microphones: one gain slider each, at their own gains\n");
        {
            HostCall call(driver.asio);
            HWND dialog = nullptr;
            Check(Eventually([&] { return (dialog = FindDialog()) != nullptr && IsWindowVisible(dialog); }),
                  "panel shown");
            if (!dialog) return failures;
            int sliders = 0;
            for (int slot = 0; slot < 8; ++slot) sliders += ReadStrip(dialog, slot).shown ? 1 : 0;
            Check(sliders == kMicrophones, "gain sliders shown: " + std::to_string(sliders));
            for (int slot = 0; slot < kMicrophones; ++slot) {
                const Strip strip = ReadStrip(dialog, slot);
                Check(strip.min == 0 && strip.max == 80 && strip.position == 60 && strip.label == "0dB",
                      "slider " + std::to_string(slot + 1) + ": range " + std::to_string(strip.min) + "-" +
                          std::to_string(strip.max) + ", position " + std::to_string(strip.position) + ", \"" +
                          strip.label + "\"");
            }
            const std::vector<std::string> outputsListed = ListItems(dialog, 1045);
            CheckText("outputs", Joined(outputsListed), "No Output Selected|Speakers");
            Check(SendDlgItemMessageA(dialog, 1045, CB_GETCURSEL, 0, 0) == 1, "Speakers selected");
            DragSlider(dialog, 1, 20);
            CheckText("slider 2 label after the drag", ItemText(dialog, 1024), "20dB");
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
            Check(Eventually([&] { return call.returned.load(); }), "OK closes the panel and controlPanel returns");
        }
        std::printf("virtual microphones: the gain set is the microphone's own, read back at the next opening\n");
        {
            HostCall call(driver.asio);
            HWND dialog = nullptr;
            Check(Eventually([&] { return (dialog = FindDialog()) != nullptr && IsWindowVisible(dialog); }),
                  "panel shown again");
            if (!dialog) return failures;
            const Strip second = ReadStrip(dialog, 1), first = ReadStrip(dialog, 0);
            Check(second.position == 20 && second.label == "20dB",
                  "slider 2: position " + std::to_string(second.position) + ", \"" + second.label + "\"");
            Check(first.position == 60 && first.label == "0dB", "slider 1 unchanged: " + first.label);
            DragSlider(dialog, 1, 60);  // back to 0 dB for the screenshot that may follow in this process
            PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
            Check(Eventually([&] { return call.returned.load(); }), "Escape closes the panel and controlPanel returns");
        }
        Check(Eventually([&] { return ThreadCount() == threadsOpen; }, 2000),
              "no panel thread left behind (" + std::to_string(ThreadCount()) + " of " + std::to_string(threadsOpen) +
                  ")");
        CheckNoneTerminated(driver);
    }
    // The virtual machine keeps its own threads for the life of the process; the driver's end with its release.
    Check(Eventually([&] { return ThreadCount() <= threadsOpen; }, 5000),
          "no thread of the driver left after release (" + std::to_string(ThreadCount()) + " of at most " +
              std::to_string(threadsOpen) + ")");
    std::printf("panel probe: %d failure(s)\n", failures);
    return failures;
}

bool DoneFileExists() {
    const char* done = std::getenv("TESSEL_PROBE_DONE");
    return done && GetFileAttributesA(done) != INVALID_FILE_ATTRIBUTES;
}

int Show(const std::string& which) {
    SetDword("Buffer Size Preferred", 288);
    SetString("Output Device", "Speakers (Probe)");
    SetDword("Show Metrics", 0);
    Driver driver;
    if (!driver.asio) return 1;
    // The product DLL finds no microphones under Wine: it is shown the probe's three. The test-only DLL shows
    // its virtual ones.
    const bool virtualDevices = driver.asio->init(nullptr) == ASIOTrue;
    if (!virtualDevices) driver.PretendDevices();
    driver.Record()->firmwareUpdateRequired = which == "notice";
    driver.Record()->modelessPanel = true;
    std::thread host([&] { driver.asio->controlPanel(); });
    HWND dialog = nullptr;
    if (!Eventually([&] { return (dialog = FindDialog()) != nullptr && IsWindowVisible(dialog); })) {
        std::printf("no dialog\n");
        host.join();
        return 1;
    }
    // The virtual machine's playback device is not the stored one: picked in the list, as a user would.
    if (virtualDevices && which == "panel") Choose(dialog, 1045, 1);
    Pump(500);  // let it paint
    RECT rect{};
    GetWindowRect(dialog, &rect);
    std::printf("rect %ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    std::fflush(stdout);
    Eventually(DoneFileExists, 60000);
    if (which == "notice")
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    host.join();
    driver.asio->stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = 2;
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0) result = RunChecks();
    if (argc >= 2 && std::strcmp(argv[1], "virtual") == 0) result = RunVirtualChecks();
    if (argc >= 3 && std::strcmp(argv[1], "show") == 0) result = Show(argv[2]);
    CoUninitialize();
    return result;
}
