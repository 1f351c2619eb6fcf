// Handles of the test-only DLL's own objects (device files, device information sets), told apart from the
// system's by value: odd numbers far above anything the system hands out (real handles are multiples of four),
// never reused, so a handle used after it was closed is reported invalid rather than reaching another object.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace sim::win {

template <class Object>
class HandleTable {
public:
    // `first` is odd; the values given out follow it four apart.
    explicit HandleTable(uintptr_t first) : next_(first) {}

    void* Insert(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> guard(lock_);
        uintptr_t value = next_;
        next_ += 4;
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<void*>(value);
    }

    std::shared_ptr<Object> Find(const void* handle) {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
        return found == objects_.end() ? nullptr : found->second;
    }

    // Forgets the handle and hands its object to the caller, so that the object's last reference (which may
    // stop a device thread) goes outside the table's lock; null when the handle names nothing here.
    std::shared_ptr<Object> Take(const void* handle) {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
        if (found == objects_.end()) return nullptr;
        std::shared_ptr<Object> object = std::move(found->second);
        objects_.erase(found);
        return object;
    }

private:
    std::mutex lock_;
    uintptr_t next_;
    std::map<uintptr_t, std::shared_ptr<Object>> objects_;
};

}  // namespace sim::win
