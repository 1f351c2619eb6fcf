// Registration as regsvr32 drives it: the registry layout hosts read, idempotence, replacement of a foreign
// registration, unregistration, and the failure message.
#include <gtest/gtest.h>

#include <string>

#include "com/class_table.h"
#include "com/dll_exports.h"
#include "sim/os/sim_control.h"

namespace {

const char kIntegerClsid[] = "{CF683376-4DD8-4F2E-93C8-ADBD68AE84C4}";
const char kFloatClsid[] = "{2A9B7DA3-7510-4BD2-9840-869A34EDF21D}";

// Reads a string value; "<missing>" when the key or value is absent.
std::string Value(HKEY root, const std::string& path, const char* name) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
    char data[400] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return "<missing>";
    EXPECT_EQ(type, (DWORD)REG_SZ);
    return data;
}

bool Exists(HKEY root, const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void SetValue(HKEY root, const std::string& path, const char* name, const std::string& text) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), (DWORD)text.size());
    RegCloseKey(key);
}

class Registration : public testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryA("Tessel-ASIO-x64.dll");
        ASSERT_NE(module, nullptr);
        path = sim::os::LinkedModulePath("Tessel-ASIO-x64.dll");
        lowerPath = path;
        CharLowerA(lowerPath.data());
    }
    void TearDown() override {
        sim::os::SetLinkedModulePath("Tessel-ASIO-x64.dll", path);
        if (module) FreeLibrary(module);
    }
    HMODULE module = nullptr;
    std::string path, lowerPath;
};

TEST_F(Registration, WritesTheLayoutHostsReadForBothClasses) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_TRUE(sim::os::MessageBoxes().empty());
    for (auto [clsid, asioKey, description] :
         {std::tuple{kIntegerClsid, "Tessel ASIO Driver", "Tessel"},
          std::tuple{kFloatClsid, "Tessel (Float) ASIO Driver", "Tessel (Float)"}}) {
        std::string classKey = std::string("CLSID\\") + clsid;
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey, nullptr), description);
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", nullptr), lowerPath);
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
        std::string asio = std::string("SOFTWARE\\ASIO\\") + asioKey;
        EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, asio, "CLSID"), clsid);
        EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, asio, "Description"), description);
    }
    EXPECT_EQ(sim::os::OpenRegistryKeyCount(), 0u) << "registration leaked key handles";
}

TEST_F(Registration, RegisteringAgainKeepsOurOwnEntryButReplacesAForeignOneAndRewritesTheAsioKey) {
    std::string classKey = std::string("CLSID\\") + kIntegerClsid;
    // Our own path in another letter case, with an extra value that only an untouched key would keep.
    std::string upperPath = path;
    for (auto& c : upperPath) c = (char)toupper((unsigned char)c);
    SetValue(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", nullptr, upperPath);
    SetValue(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "Marker", "kept");
    // A stale value in the ASIO key, which registration must rebuild.
    SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tessel ASIO Driver", "Stale", "old");
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "Marker"), "kept");
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", nullptr), upperPath);
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tessel ASIO Driver", "Stale"), "<missing>");
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tessel ASIO Driver", "CLSID"), kIntegerClsid);

    // Another copy of the DLL registers: the class key tree is replaced whole, with subkeys of any depth.
    SetValue(HKEY_CLASSES_ROOT, classKey + "\\Deep\\Deeper\\Deepest", "x", "y");
    sim::os::SetLinkedModulePath("Tessel-ASIO-x64.dll", "D:\\Other Copy\\Tessel-ASIO-x64.dll");
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", nullptr), "d:\\other copy\\tessel-asio-x64.dll");
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "Marker"), "<missing>");
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, classKey + "\\Deep"));
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, classKey, nullptr), "Tessel");
}

TEST_F(Registration, UnregisteringRemovesEveryKeyAndIsHarmlessWhenNothingIsRegistered) {
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_TRUE(sim::os::MessageBoxes().empty());

    ASSERT_EQ(DllRegisterServer(), S_OK);
    SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver", "CLSID", "{00000000-0000-0000-0000-000000000000}");
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kIntegerClsid));
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kFloatClsid));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tessel ASIO Driver"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tessel (Float) ASIO Driver"));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver")) << "other drivers' keys are theirs";
    EXPECT_EQ(sim::os::OpenRegistryKeyCount(), 0u);
}

TEST_F(Registration, AModuleThatIsNotLoadedShowsTheFailureMessageWithBothResults) {
    FreeLibrary(module);
    module = nullptr;
    EXPECT_EQ(DllRegisterServer(), (HRESULT)0xFFFFFFFF);
    EXPECT_EQ(DllUnregisterServer(), (HRESULT)0xFFFFFFFF);
    auto boxes = sim::os::MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Tessel Register Server failed (-101, -101)");
    EXPECT_EQ(boxes[0].caption, "Tessel ASIO Driver");
    EXPECT_EQ(boxes[0].type, (UINT)MB_OK);
    EXPECT_EQ(boxes[1].text, "Tessel Unregister Server failed (-101, -101)");
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO"));
}

}  // namespace
