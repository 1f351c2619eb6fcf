#include "stand_in_host.h"

#include <bit>
#include <chrono>
#include <cstring>

namespace {
StandInHost* current = nullptr;  // the callbacks are plain functions: one host at a time

IASIO* CreateByKey(const char* keyName) {
    std::string path = std::string("SOFTWARE\\ASIO\\") + keyName;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
    char text[64] = {};
    DWORD size = sizeof text - 1, type = 0;
    const bool read =
        RegQueryValueExA(key, "CLSID", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS &&
        type == REG_SZ;
    RegCloseKey(key);
    if (!read) return nullptr;
    WCHAR wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64);
    CLSID classId;
    if (FAILED(CLSIDFromString(wide, &classId))) return nullptr;
    IASIO* driver = nullptr;
    if (FAILED(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, classId, reinterpret_cast<void**>(&driver))))
        return nullptr;
    return driver;
}
}  // namespace

bool StandInHost::RegisterDriverModule() {
    HMODULE module = LoadLibraryA("Tessel-ASIO-x64.dll");
    if (!module) return false;
    typedef HRESULT(STDAPICALLTYPE * ServerFunction)();
    auto reg = reinterpret_cast<ServerFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    const bool ok = reg && SUCCEEDED(reg());
    FreeLibrary(module);
    return ok;
}

StandInHost::StandInHost(Class driverClass) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    driver_ = CreateByKey(driverClass == Class::Float ? "Tessel (Float) ASIO Driver" : "Tessel ASIO Driver");
    current = this;
    callbacks_ = {&StandInHost::OnSwitch, &StandInHost::OnRateChange, &StandInHost::OnMessage,
                  &StandInHost::OnSwitchTimeInfo};
}

StandInHost::~StandInHost() {
    Release();
    current = nullptr;
    CoUninitialize();
}

void StandInHost::Release() {
    if (driver_) driver_->Release();
    driver_ = nullptr;
}

ASIOError StandInHost::Prepare(int32_t bufferFrames) {
    int32_t inputs = 0, outputs = 0;
    driver_->getChannels(&inputs, &outputs);
    buffers_.clear();
    for (int32_t k = 0; k < inputs + outputs; ++k) {
        ASIOBufferInfo info{};
        info.isInput = k < inputs ? ASIOTrue : ASIOFalse;
        info.channelNum = k < inputs ? k : k - inputs;
        buffers_.push_back(info);
    }
    ASIOChannelInfo channel{};
    channel.isInput = ASIOFalse;
    driver_->getChannelInfo(&channel);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        floatSamples_ = channel.type == ASIOSTFloat32LSB;
        frames_ = bufferFrames;
        inputs_ = inputs;
        received_.assign(static_cast<size_t>(inputs), {});
        switchTimes_.clear();
        probeValues_.clear();
        probeTimes_.clear();
        outputFrame_ = 0;
    }
    return driver_->createBuffers(buffers_.data(), static_cast<int32_t>(buffers_.size()), bufferFrames, &callbacks_);
}

bool StandInHost::WaitForSwitches(int count) {
    const int target = switches_.load() + count;
    int last = switches_.load();
    DWORD since = timeGetTime();
    while (switches_.load() < target) {
        Sleep(5);
        const int now = switches_.load();
        if (now != last) {
            last = now;
            since = timeGetTime();
        } else if (timeGetTime() - since > 2000) {
            return false;
        }
    }
    return true;
}

void StandInHost::Take(int32_t index, const ASIOTime* time) {
    const int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        switchTimes_.push_back(now);
        probeValues_.push_back(probe_ ? probe_(driver_) : 0);
        probeTimes_.push_back(timeProbe_ ? timeProbe_(driver_) : 0);
        if (time) timeFlags_.push_back(time->timeInfo.flags);
        for (int32_t k = 0; k < inputs_ && static_cast<size_t>(k) < buffers_.size(); ++k) {
            const int32_t* half = static_cast<const int32_t*>(buffers_[static_cast<size_t>(k)].buffers[index]);
            std::vector<float>& into = received_[static_cast<size_t>(k)];
            for (int32_t i = 0; i < frames_; ++i)
                into.push_back(floatSamples_ ? std::bit_cast<float>(half[i])
                                             : static_cast<float>(half[i]) / 2147483648.0f);
        }
        for (size_t k = static_cast<size_t>(inputs_); k < buffers_.size(); ++k) {
            int32_t* half = static_cast<int32_t*>(buffers_[k].buffers[index]);
            for (int32_t i = 0; i < frames_; ++i) {
                const float x = outputSignal_ ? outputSignal_(outputFrame_ + static_cast<uint64_t>(i)) : 0.0f;
                half[i] = floatSamples_ ? std::bit_cast<int32_t>(x) : static_cast<int32_t>(x * 2147483647.0f);
            }
        }
        outputFrame_ += static_cast<uint64_t>(frames_);
    }
    ++switches_;
}

void StandInHost::OnSwitch(int32_t index, ASIOBool) {
    if (current) current->Take(index, nullptr);
}

ASIOTime* StandInHost::OnSwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool) {
    if (current) current->Take(index, time);
    return time;
}

void StandInHost::OnRateChange(ASIOSampleRate rate) {
    if (!current) return;
    std::lock_guard<std::mutex> lock(current->mutex_);
    current->rateChanges_.push_back(rate);
}

int32_t StandInHost::OnMessage(int32_t selector, int32_t, void*, double*) {
    return selector == kAsioSupportsTimeInfo ? 1 : 0;
}
