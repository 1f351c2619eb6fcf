// The panel's window on the simulated platform: no pixels, but the real panel state on the real panel thread,
// with a queue of actions in place of the message queue.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>

#include "driver/asio_driver.h"
#include "ui/control_panel.h"
#include "ui/panel_sim.h"

namespace {

struct SimPanelWindow {
    SimPanelWindow(CAsioDriver& driverRecord) : driver(driverRecord), gains(driverRecord), state(driverRecord, gains) {}

    CAsioDriver& driver;
    DriverGains gains;
    ControlPanelState state;
    DWORD threadId = GetCurrentThreadId();

    struct Queued {
        std::function<void(ControlPanelState&)> action;
        std::shared_ptr<std::promise<bool>> done;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Queued> queue;
    bool woken = false;
};

std::mutex windowsLock;
std::map<HWND, std::shared_ptr<SimPanelWindow>> windows;
std::atomic<bool> failNextWindow{false};
std::atomic<int> firmwareNotices{0};

std::shared_ptr<SimPanelWindow> Find(HWND window) {
    std::lock_guard<std::mutex> hold(windowsLock);
    auto found = windows.find(window);
    return found == windows.end() ? nullptr : found->second;
}

// What the dialog does when it is destroyed: its loop ends.
void Destroy(ControlPanelState&, CAsioDriver& driver) { driver.panelQuit = true; }

}  // namespace

HWND CreatePanelWindow(CAsioDriver& driver) {
    if (failNextWindow.exchange(false)) return nullptr;
    auto window = std::make_shared<SimPanelWindow>(driver);
    HWND handle = reinterpret_cast<HWND>(window.get());
    std::lock_guard<std::mutex> hold(windowsLock);
    windows[handle] = window;
    return handle;
}

void RunPanelLoop(CAsioDriver& driver, HWND handle) {
    std::shared_ptr<SimPanelWindow> window = Find(handle);
    if (!window) return;
    std::unique_lock<std::mutex> hold(window->lock);
    while (!driver.panelQuit) {
        window->changed.wait(hold, [&] { return !window->queue.empty() || window->woken; });
        window->woken = false;
        while (!window->queue.empty() && !driver.panelQuit) {
            SimPanelWindow::Queued next = std::move(window->queue.front());
            window->queue.pop_front();
            hold.unlock();
            next.action(window->state);
            next.done->set_value(true);
            hold.lock();
        }
    }
}

void DestroyPanelWindow(HWND handle) {
    std::shared_ptr<SimPanelWindow> window;
    {
        std::lock_guard<std::mutex> hold(windowsLock);
        auto found = windows.find(handle);
        if (found == windows.end()) return;
        window = found->second;
        windows.erase(found);
    }
    // Messages that arrive for a window being destroyed are never answered.
    std::lock_guard<std::mutex> hold(window->lock);
    for (auto& queued : window->queue) queued.done->set_value(false);
    window->queue.clear();
}

void WakePanelThread(HWND, DWORD threadId) {
    std::lock_guard<std::mutex> hold(windowsLock);
    for (auto& [handle, window] : windows) {
        if (window->threadId != threadId) continue;
        std::lock_guard<std::mutex> wake(window->lock);
        window->woken = true;
        window->changed.notify_all();
    }
}

void ShowFirmwareNotice(CAsioDriver&) { ++firmwareNotices; }

// No window of the host's here can be sent anything: plain waits.
void WaitServingSentMessages(DWORD milliseconds) { Sleep(milliseconds); }

bool WaitForThreadServingSentMessages(HANDLE thread, DWORD milliseconds) {
    return WaitForSingleObject(thread, milliseconds) != WAIT_TIMEOUT;
}

namespace panel_sim {

bool Send(HWND handle, const std::function<void(ControlPanelState&)>& action) {
    std::shared_ptr<SimPanelWindow> window = Find(handle);
    if (!window) return false;
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    {
        std::lock_guard<std::mutex> hold(window->lock);
        window->queue.push_back({action, done});
        window->changed.notify_all();
    }
    return result.get();
}

bool PressOk(HWND handle) {
    std::shared_ptr<SimPanelWindow> window = Find(handle);
    if (!window) return false;
    CAsioDriver& driver = window->driver;
    return Send(handle, [&driver](ControlPanelState& state) { Destroy(state, driver); });
}

bool PressEscape(HWND handle) { return PressOk(handle); }

bool IsPanelWindow(HWND handle) { return Find(handle) != nullptr; }

int PanelWindowCount() {
    std::lock_guard<std::mutex> hold(windowsLock);
    return (int)windows.size();
}

void FailNextPanelWindow() { failNextWindow = true; }

int FirmwareNoticeCount() { return firmwareNotices; }

}  // namespace panel_sim
