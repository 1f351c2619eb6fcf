// Simulated registry. The whole tree sits behind one lock. When backed by a file, every change rewrites the
// file, so that settings written by one run are read by the next, as on Windows.
#include "sim/os/registry.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/os/kernel.h"
#include "sim/os/sim_control.h"

namespace sim::os {
namespace {

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Node {
    std::string name;
    Node* parent = nullptr;
    bool deleted = false;
    bool isVolatile = false;  // lives only until the machine restarts: never written to the file
    std::map<std::string, std::shared_ptr<Node>, CaseLess> children;
    std::map<std::string, Value, CaseLess> values;
};

struct Registry {
    std::mutex lock;
    bool loaded = false;
    std::string file;  // empty: in memory only
    std::shared_ptr<Node> currentUser = std::make_shared<Node>();
    std::shared_ptr<Node> localMachine = std::make_shared<Node>();
    std::map<uintptr_t, std::shared_ptr<Node>> handles;
    uintptr_t nextHandle = 0x2000;
};

Registry& Reg() {
    static auto* registry = new Registry;  // never destroyed: threads may still use it while the process exits
    return *registry;
}

std::vector<std::string> SplitPath(const char* path) {
    std::vector<std::string> parts;
    if (!path) return parts;
    std::string part;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += *p;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

std::shared_ptr<Node> Child(const std::shared_ptr<Node>& node, const std::string& name, bool create) {
    auto found = node->children.find(name);
    if (found != node->children.end()) return found->second;
    if (!create) return nullptr;
    auto child = std::make_shared<Node>();
    child->name = name;
    child->parent = node.get();
    node->children[name] = child;
    return child;
}

std::shared_ptr<Node> Walk(std::shared_ptr<Node> node, const std::vector<std::string>& parts, bool create,
                           bool* created = nullptr, bool isVolatile = false) {
    for (const auto& part : parts) {
        if (!node) return nullptr;
        bool existed = node->children.count(part) != 0;
        node = Child(node, part, create);
        if (!existed && node) {
            node->isVolatile = isVolatile;
            if (created) *created = true;
        }
    }
    return node;
}

std::shared_ptr<Node> ClassesRoot(Registry& reg, bool create) {
    return Walk(reg.localMachine, {"SOFTWARE", "Classes"}, create);
}

void LoadFile(Registry& reg);

// Resolves a key handle (predefined or opened) to its node. Called with the registry lock held.
std::shared_ptr<Node> Resolve(Registry& reg, HKEY key, LSTATUS* status) {
    if (!reg.loaded) LoadFile(reg);
    std::shared_ptr<Node> node;
    if (key == HKEY_CURRENT_USER)
        node = reg.currentUser;
    else if (key == HKEY_LOCAL_MACHINE)
        node = reg.localMachine;
    else if (key == HKEY_CLASSES_ROOT)
        node = ClassesRoot(reg, true);
    else {
        auto found = reg.handles.find(reinterpret_cast<uintptr_t>(key));
        if (found != reg.handles.end()) node = found->second;
    }
    if (!node) {
        *status = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (node->deleted) {
        *status = ERROR_KEY_DELETED;
        return nullptr;
    }
    *status = ERROR_SUCCESS;
    return node;
}

HKEY NewHandle(Registry& reg, std::shared_ptr<Node> node) {
    uintptr_t value = reg.nextHandle;
    reg.nextHandle += 4;
    reg.handles[value] = std::move(node);
    return reinterpret_cast<HKEY>(value);
}

std::string Hex(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    auto bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out.empty() ? "-" : out;
}

std::vector<BYTE> Unhex(const std::string& text) {
    std::vector<BYTE> out;
    if (text == "-") return out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back((BYTE)std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

void SaveNode(std::ostream& out, const std::string& path, const Node& node) {
    if (node.isVolatile) return;
    out << "key " << path << "\n";
    for (const auto& [name, value] : node.values)
        out << "value " << value.type << " " << Hex(value.name.data(), value.name.size()) << " "
            << Hex(value.data.data(), value.data.size()) << "\n";
    for (const auto& [name, child] : node.children) SaveNode(out, path + "\\" + child->name, *child);
}

void SaveFile(Registry& reg) {
    if (reg.file.empty()) return;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(reg.file).parent_path(), error);
    std::string temporary = reg.file + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "tessel-sim-registry 1\n";
        SaveNode(out, "HKEY_CURRENT_USER", *reg.currentUser);
        SaveNode(out, "HKEY_LOCAL_MACHINE", *reg.localMachine);
        if (!out) return;
    }
    std::filesystem::rename(temporary, reg.file, error);
}

void LoadFile(Registry& reg) {
    reg.loaded = true;
    // Keys that every Windows installation has.
    Walk(reg.currentUser, {"SOFTWARE"}, true);
    Walk(reg.localMachine, {"SOFTWARE", "Classes", "CLSID"}, true);
    if (reg.file.empty()) return;
    std::ifstream in(reg.file);
    std::string line;
    std::shared_ptr<Node> current;
    while (std::getline(in, line)) {
        if (line.rfind("key ", 0) == 0) {
            auto parts = SplitPath(line.c_str() + 4);
            if (parts.empty()) continue;
            std::shared_ptr<Node> root = strcasecmp(parts[0].c_str(), "HKEY_CURRENT_USER") == 0    ? reg.currentUser
                                         : strcasecmp(parts[0].c_str(), "HKEY_LOCAL_MACHINE") == 0 ? reg.localMachine
                                                                                                   : nullptr;
            parts.erase(parts.begin());
            current = root ? Walk(root, parts, true) : nullptr;
        } else if (line.rfind("value ", 0) == 0 && current) {
            std::istringstream fields(line.substr(6));
            Value value;
            std::string name, data;
            if (!(fields >> value.type >> name >> data)) continue;
            auto nameBytes = Unhex(name);
            value.name.assign(nameBytes.begin(), nameBytes.end());
            value.data = Unhex(data);
            current->values[value.name] = value;
        }
    }
}

void MarkDeleted(Node& node) {
    node.deleted = true;
    for (auto& [name, child] : node.children) MarkDeleted(*child);
}

LSTATUS OpenKey(HKEY key, LPCSTR subKey, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    node = Walk(node, SplitPath(subKey), false);
    if (!node) return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(reg, node);
    return ERROR_SUCCESS;
}

}  // namespace

std::string DefaultRegistryPath() {
    if (const char* path = std::getenv("TESSEL_SIM_REGISTRY"); path && *path) return path;
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        base = config;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.config";
    else
        base = ".";
    return base + "/tessel-sim/registry";
}

static void ResetRegistry(const std::string& file) {
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    MarkDeleted(*reg.currentUser);
    MarkDeleted(*reg.localMachine);
    reg.currentUser = std::make_shared<Node>();
    reg.localMachine = std::make_shared<Node>();
    reg.handles.clear();
    reg.file = file;
    reg.loaded = false;
}

void UseMemoryRegistry() { ResetRegistry(""); }
void UseRegistryFile(const std::string& path) { ResetRegistry(path); }

size_t OpenRegistryKeyCount() {
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    return reg.handles.size();
}

// The file registry is the default, so that a tool run from the shell sees what the previous run wrote.
static const bool registryDefault = [] {
    Reg().file = DefaultRegistryPath();
    return true;
}();

}  // namespace sim::os

using namespace sim::os;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    return OpenKey(key, subKey, result);
}

LSTATUS WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) { return OpenKey(key, subKey, result); }

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM, LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    bool created = false;
    node = Walk(node, SplitPath(subKey), true, &created, (options & REG_OPTION_VOLATILE) != 0);
    *result = NewHandle(reg, node);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    if (created) SaveFile(reg);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    return RegCreateKeyExA(key, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, result, nullptr);
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    auto found = node->values.find(valueName ? valueName : "");
    if (found == node->values.end()) return ERROR_FILE_NOT_FOUND;
    const Value& value = found->second;
    if (type) *type = value.type;
    DWORD size = (DWORD)value.data.size();
    if (data) {
        if (*dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(data, value.data.data(), size);
    }
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
    if (!data && dataSize) return ERROR_INVALID_PARAMETER;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    Value value;
    value.name = valueName ? valueName : "";
    value.type = type;
    if (dataSize) value.data.assign(data, data + dataSize);
    node->values[value.name] = value;
    SaveFile(reg);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    if (node->values.erase(valueName ? valueName : "") == 0) return ERROR_FILE_NOT_FOUND;
    SaveFile(reg);
    return ERROR_SUCCESS;
}

// As on Windows, only a key without subkeys can be deleted; handles still open on it then fail with
// ERROR_KEY_DELETED.
LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    auto parts = SplitPath(subKey);
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    auto target = Walk(node, parts, false);
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (!target->children.empty()) return ERROR_ACCESS_DENIED;
    target->deleted = true;
    target->parent->children.erase(target->name);
    SaveFile(reg);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    if (!name) return ERROR_INVALID_PARAMETER;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    if (index >= node->children.size()) return ERROR_NO_MORE_ITEMS;
    auto it = node->children.begin();
    std::advance(it, index);
    const std::string& childName = it->second->name;
    if (childName.size() + 1 > nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, childName.c_str(), childName.size() + 1);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
    if (!name || !nameSize || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    LSTATUS status;
    auto node = Resolve(reg, key, &status);
    if (!node) return status;
    if (index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
    auto it = node->values.begin();
    std::advance(it, index);
    const Value& value = it->second;
    if (value.name.size() + 1 > *nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *nameSize = (DWORD)value.name.size();
    if (type) *type = value.type;
    if (data) {
        if (*dataSize < value.data.size()) {
            *dataSize = (DWORD)value.data.size();
            return ERROR_MORE_DATA;
        }
        if (!value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
    }
    if (dataSize) *dataSize = (DWORD)value.data.size();
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    auto& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    return reg.handles.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
