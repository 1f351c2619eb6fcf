// Kernel objects of the simulated Windows on POSIX threads. Waits, events and threads behave as their Windows
// counterparts do; thread priorities are remembered but have no effect.
#include "sim/os/kernel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <thread>

#include "sim/os/handles.h"
#include "sim/os/sim_control.h"

namespace sim::os {
namespace {

// The kernel's own state is never destroyed: detached threads (a terminated thread, a device's thread) may still
// signal and notify while the process exits and runs static destructors.
std::mutex& TableLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<uintptr_t, std::shared_ptr<KernelObject>>& Table() {
    static auto* table = new std::map<uintptr_t, std::shared_ptr<KernelObject>>;
    return *table;
}
uintptr_t nextHandle = 0x100;

std::condition_variable& WaitCondition() {
    static auto* condition = new std::condition_variable;
    return *condition;
}

thread_local DWORD lastError = 0;
std::atomic<DWORD> nextThreadId{0x1000};
thread_local DWORD currentThreadId = 0;
thread_local int currentThreadPriority = THREAD_PRIORITY_NORMAL;
std::atomic<int> terminatedThreads{0};

const HANDLE kCurrentThreadPseudo = (HANDLE)(LONG_PTR)-2;

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool initial) : manual(manualReset), state(initial) {}
    bool Waitable() const override { return true; }
    bool Signaled() const override { return state; }
    void Acquire() override {
        if (!manual) state = false;
    }
    const bool manual;
    bool state;
};

class ThreadObject : public KernelObject {
public:
    bool Waitable() const override { return true; }
    bool Signaled() const override { return exited; }
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    DWORD id = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    bool exited = false;     // guarded by WaitLock()
    bool suspended = false;  // guarded by WaitLock()
    bool terminated = false;
    DWORD exitCode = STILL_ACTIVE;
};

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> guard(TableLock());
    uintptr_t value = nextHandle;
    nextHandle += 4;
    Table()[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    std::lock_guard<std::mutex> guard(TableLock());
    auto found = Table().find(reinterpret_cast<uintptr_t>(handle));
    return found == Table().end() ? nullptr : found->second;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> dropped;  // destroyed outside the table lock
    std::lock_guard<std::mutex> guard(TableLock());
    auto found = Table().find(reinterpret_cast<uintptr_t>(handle));
    if (found == Table().end()) return false;
    dropped = std::move(found->second);
    Table().erase(found);
    return true;
}

size_t OpenHandleCount() {
    std::lock_guard<std::mutex> guard(TableLock());
    return Table().size();
}

std::mutex& WaitLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

void NotifyWaiters() { WaitCondition().notify_all(); }

int TerminatedThreadCount() { return terminatedThreads.load(); }

}  // namespace sim::os

using namespace sim::os;

extern "C" {

DWORD WINAPI GetLastError() { return lastError; }
void WINAPI SetLastError(DWORD error) { lastError = error; }

BOOL WINAPI CloseHandle(HANDLE handle) {
    if (!RemoveHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE, HANDLE source, HANDLE, LPHANDLE target, DWORD, BOOL, DWORD options) {
    auto object = LookupHandle(source);
    if (!object || !target) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *target = InsertHandle(object);
    if (options & DUPLICATE_CLOSE_SOURCE) RemoveHandle(source);
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess() { return (HANDLE)(LONG_PTR)-1; }
HANDLE WINAPI GetCurrentThread() { return kCurrentThreadPseudo; }

DWORD WINAPI GetCurrentThreadId() {
    if (currentThreadId == 0) currentThreadId = nextThreadId.fetch_add(4);
    return currentThreadId;
}

DWORD WINAPI GetCurrentProcessId() { return 0x400; }

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return InsertHandle(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR) {
    return CreateEventA(attributes, manualReset, initialState, nullptr);
}

static BOOL SetEventState(HANDLE handle, bool state) {
    auto event = LookupHandleAs<EventObject>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(WaitLock());
        event->state = state;
    }
    if (state) NotifyWaiters();
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE event) { return SetEventState(event, true); }
BOOL WINAPI ResetEvent(HANDLE event) { return SetEventState(event, false); }

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::shared_ptr<KernelObject> objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = LookupHandle(handles[i]);
        // Windows would wait forever on the process pseudo-handle; here that, like any non-waitable handle,
        // is a failed wait, which is what a driver bug of that kind deserves to show.
        if (!objects[i] || !objects[i]->Waitable()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(WaitLock());
    for (;;) {
        if (waitAll) {
            bool all = true;
            for (DWORD i = 0; i < count && all; ++i) all = objects[i]->Signaled();
            if (all) {
                for (DWORD i = 0; i < count; ++i) objects[i]->Acquire();
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (objects[i]->Signaled()) {
                    objects[i]->Acquire();
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (milliseconds == 0) return WAIT_TIMEOUT;
        if (milliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
        // An armed timer signals without anyone notifying: wake when the first of them is due.
        bool timed = milliseconds != INFINITE;
        auto wake = deadline;
        for (DWORD i = 0; i < count; ++i) {
            std::chrono::steady_clock::time_point due;
            if (objects[i]->SignalTime(&due) && (!timed || due < wake)) {
                wake = due;
                timed = true;
            }
        }
        if (timed)
            WaitCondition().wait_until(lock, wake);
        else
            WaitCondition().wait(lock);
    }
}

static void RunThread(std::shared_ptr<ThreadObject> self) {
    currentThreadId = self->id;
    {
        std::unique_lock<std::mutex> lock(WaitLock());
        WaitCondition().wait(lock, [&] { return !self->suspended; });
    }
    DWORD code = self->start(self->parameter);
    {
        std::lock_guard<std::mutex> guard(WaitLock());
        if (!self->terminated) self->exitCode = code;
        self->exited = true;
    }
    NotifyWaiters();
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>();
    thread->start = start;
    thread->parameter = parameter;
    thread->id = nextThreadId.fetch_add(4);
    thread->suspended = (flags & CREATE_SUSPENDED) != 0;
    HANDLE handle = InsertHandle(thread);
    if (threadId) *threadId = thread->id;
    try {
        std::thread(RunThread, thread).detach();
    } catch (...) {
        RemoveHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE handle) {
    auto thread = LookupHandleAs<ThreadObject>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (DWORD)-1;
    }
    DWORD previous;
    {
        std::lock_guard<std::mutex> guard(WaitLock());
        previous = thread->suspended ? 1 : 0;
        thread->suspended = false;
    }
    NotifyWaiters();
    return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = LookupHandleAs<ThreadObject>(handle);
    if (!thread || !exitCode) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(WaitLock());
    *exitCode = thread->exitCode;
    return TRUE;
}

// POSIX cannot kill one thread safely. The thread is recorded as terminated (its handle signals with the
// given exit code at once) and left to run on detached; tests treat any recorded termination as a failure.
BOOL WINAPI TerminateThread(HANDLE handle, DWORD exitCode) {
    auto thread = LookupHandleAs<ThreadObject>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(WaitLock());
        if (thread->exited) return TRUE;
        thread->terminated = true;
        thread->exitCode = exitCode;
        thread->exited = true;
    }
    terminatedThreads.fetch_add(1);
    std::fprintf(stderr, "[sim] thread %u terminated with exit code %#x\n", thread->id, exitCode);
    NotifyWaiters();
    return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE handle, int priority) {
    if (handle == kCurrentThreadPseudo) {
        currentThreadPriority = priority;
        return TRUE;
    }
    auto thread = LookupHandleAs<ThreadObject>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(WaitLock());
    thread->priority = priority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE handle) {
    if (handle == kCurrentThreadPseudo) return currentThreadPriority;
    auto thread = LookupHandleAs<ThreadObject>(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    std::lock_guard<std::mutex> guard(WaitLock());
    return thread->priority;
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL WINAPI SwitchToThread() {
    std::this_thread::yield();
    return TRUE;
}

static std::recursive_mutex& SectionMutex(LPCRITICAL_SECTION section) {
    return *std::launder(reinterpret_cast<std::recursive_mutex*>(section->impl));
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) { new (section->impl) std::recursive_mutex(); }
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD) {
    InitializeCriticalSection(section);
    return TRUE;
}
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) { SectionMutex(section).lock(); }
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) { return SectionMutex(section).try_lock(); }
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) { SectionMutex(section).unlock(); }
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    using Mutex = std::recursive_mutex;
    SectionMutex(section).~Mutex();
}

static int64_t MonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The performance counter runs at 10 MHz, as on current Windows.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (!count) return FALSE;
    count->QuadPart = MonotonicNanoseconds() / 100;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (!frequency) return FALSE;
    frequency->QuadPart = 10000000;
    return TRUE;
}

DWORD WINAPI timeGetTime() { return (DWORD)(uint64_t)(MonotonicNanoseconds() / 1000000); }
DWORD WINAPI GetTickCount() { return timeGetTime(); }
UINT WINAPI timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
UINT WINAPI timeEndPeriod(UINT) { return TIMERR_NOERROR; }

void WINAPI OutputDebugStringA(LPCSTR text) {
    if (text) sim::os::DebugOutput(text);
}

}  // extern "C"
