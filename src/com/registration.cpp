#include "com/registration.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPathSize = 360;

// Key names found while walking a tree. Registration runs from a single registration thread, so one buffer
// serves the whole module.
char enumeratedName[kPathSize];

struct CollectedKey {
    HKEY parent;
    HKEY key;
    std::string name;
};

// Children first, each key after all of its subkeys, with every parent still open when its child is deleted.
void CollectTree(HKEY parent, const char* name, std::vector<CollectedKey>& keys) {
    HKEY key;
    if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    std::vector<std::string> children;
    for (DWORD index = 0; RegEnumKeyA(key, index, enumeratedName, kPathSize) == ERROR_SUCCESS; ++index) {
        enumeratedName[kPathSize - 1] = 0;
        children.push_back(enumeratedName);
    }
    for (const auto& child : children) CollectTree(key, child.c_str(), keys);
    keys.push_back({parent, key, name});
}

bool KeyExists(HKEY root, const char* path) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Succeeds at once when the key exists; otherwise creates it below its parent, which must exist.
bool CreateKey(HKEY root, const char* parentPath, const char* name, HKEY* result) {
    char path[kPathSize * 2];
    std::snprintf(path, sizeof path, "%s\\%s", parentPath, name);
    if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, result) == ERROR_SUCCESS) return true;
    HKEY parent;
    if (RegOpenKeyExA(root, parentPath, 0, KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS) return false;
    bool created = RegCreateKeyA(parent, name, result) == ERROR_SUCCESS;
    RegCloseKey(parent);
    return created;
}

void SetString(HKEY key, const char* valueName, const char* text) {
    RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), (DWORD)std::strlen(text));
}

// Steps shared by registration and unregistration: the module's lower-cased path and the braced class ID.
int DescribeModule(const CLSID& classId, const char* moduleName, char* modulePath, char* classIdText) {
    HMODULE module = GetModuleHandleA(moduleName);
    if (!module) return -101;
    modulePath[0] = 0;
    GetModuleFileNameA(module, modulePath, kPathSize);
    if (modulePath[0] == 0) return -102;
    CharLowerA(modulePath);
    LPOLESTR wide = nullptr;
    if (FAILED(StringFromCLSID(classId, &wide))) return -103;
    int converted = WideCharToMultiByte(CP_ACP, 0, wide, -1, classIdText, 100, nullptr, nullptr);
    CoTaskMemFree(wide);
    if (converted == 0) return -104;
    return 0;
}

}  // namespace

void DeleteKeyTree(HKEY parent, const char* keyName) {
    std::vector<CollectedKey> keys;
    CollectTree(parent, keyName, keys);
    for (const auto& entry : keys) {
        RegCloseKey(entry.key);
        RegDeleteKeyA(entry.parent, entry.name.c_str());
    }
}

int RegisterAsioClass(const CLSID& classId, const char* moduleName, const char* asioKeyName, const char* description,
                      const char* threadingModel) {
    char modulePath[kPathSize];
    char classIdText[100];
    if (int failure = DescribeModule(classId, moduleName, modulePath, classIdText)) return failure;

    char classKeyPath[kPathSize];
    std::snprintf(classKeyPath, sizeof classKeyPath, "%s\\%s", "CLSID", classIdText);
    bool writeClassKeys = true;
    if (KeyExists(HKEY_CLASSES_ROOT, classKeyPath)) {
        // One extra byte, always zero, so that a stored path of the full size still ends.
        char storedPath[kPathSize + 1] = {};
        char serverPath[kPathSize];
        std::snprintf(serverPath, sizeof serverPath, "%s\\%s\\%s", "CLSID", classIdText, "InprocServer32");
        HKEY server;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, serverPath, 0, KEY_READ, &server) == ERROR_SUCCESS) {
            DWORD size = kPathSize;
            DWORD type = 0;
            if (RegQueryValueExA(server, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(storedPath), &size) !=
                ERROR_SUCCESS)
                storedPath[0] = 0;
            RegCloseKey(server);
        }
        CharLowerA(storedPath);
        if (std::strcmp(storedPath, modulePath) == 0) {
            writeClassKeys = false;
        } else {
            HKEY classes;
            if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &classes) == ERROR_SUCCESS) {
                DeleteKeyTree(classes, classIdText);
                RegCloseKey(classes);
            }
        }
    }

    if (writeClassKeys) {
        HKEY key;
        if (CreateKey(HKEY_CLASSES_ROOT, "CLSID", classIdText, &key)) {
            SetString(key, nullptr, description);
            RegCloseKey(key);
        }
        if (CreateKey(HKEY_CLASSES_ROOT, classKeyPath, "InprocServer32", &key)) {
            SetString(key, nullptr, modulePath);
            SetString(key, "ThreadingModel", threadingModel);
            RegCloseKey(key);
        }
    }

    char asioKeyPath[kPathSize];
    std::snprintf(asioKeyPath, sizeof asioKeyPath, "%s\\%s", "SOFTWARE\\ASIO", asioKeyName);
    if (!KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO")) {
        HKEY key;
        if (CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE", "ASIO", &key)) RegCloseKey(key);
    } else if (KeyExists(HKEY_LOCAL_MACHINE, asioKeyPath)) {
        HKEY asio;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", 0, KEY_ALL_ACCESS, &asio) == ERROR_SUCCESS) {
            DeleteKeyTree(asio, asioKeyName);
            RegCloseKey(asio);
        }
    }
    HKEY key;
    if (CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", asioKeyName, &key)) {
        SetString(key, "CLSID", classIdText);
        SetString(key, "Description", description);
        RegCloseKey(key);
    }
    return 0;
}

int UnregisterAsioClass(const CLSID& classId, const char* moduleName, const char* asioKeyName) {
    char modulePath[kPathSize];
    char classIdText[100];
    if (int failure = DescribeModule(classId, moduleName, modulePath, classIdText)) return failure;

    HKEY classes;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &classes) == ERROR_SUCCESS) {
        DeleteKeyTree(classes, classIdText);
        RegCloseKey(classes);
    }
    HKEY asio;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", 0, KEY_ALL_ACCESS, &asio) == ERROR_SUCCESS) {
        DeleteKeyTree(asio, asioKeyName);
        RegCloseKey(asio);
    }
    return 0;
}
