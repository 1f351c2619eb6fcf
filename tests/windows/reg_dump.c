/* reg-dump: prints registry branches, so that a check under Wine reads every key it needs with one process
 * start (each `wine reg query` costs about a second on a loaded machine). A 64-bit program, it reads either view.
 *
 * usage: reg-dump.exe VIEW:ROOT\path ...     VIEW 64 or 32, ROOT HKLM, HKCR or HKCU
 * prints: "key VIEW ROOT\path" for each key below and including the path, and
 *         "value VIEW ROOT\path|name=data" for each string (as stored) or DWORD (as 0x...) value; the default
 *         value has an empty name. A path that does not exist prints nothing. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void dump(HKEY root, REGSAM view, const char* viewName, const char* path) {
    HKEY key;
    const char* slash = strchr(path, '\\');
    if (RegOpenKeyExA(root, slash ? slash + 1 : "", 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
    printf("key %s %s\n", viewName, path);
    char name[16384];
    BYTE data[16384];
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = sizeof name, dataSize = sizeof data - 2, type = 0;
        LONG result = RegEnumValueA(key, index, name, &nameSize, NULL, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        data[dataSize] = data[dataSize + 1] = 0;
        if (type == REG_SZ || type == REG_EXPAND_SZ)
            printf("value %s %s|%s=%s\n", viewName, path, name, (const char*)data);
        else if (type == REG_DWORD && dataSize == 4)
            printf("value %s %s|%s=0x%lx\n", viewName, path, name, *(const DWORD*)data);
    }
    char child[1024];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, 256) == ERROR_SUCCESS; ++index) {
        snprintf(child, sizeof child, "%s\\%s", path, name);
        dump(root, view, viewName, child);
    }
    RegCloseKey(key);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* branch = argv[i];
        REGSAM view = strncmp(branch, "32:", 3) == 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        const char* path = branch + 3;
        HKEY root = strncmp(path, "HKLM", 4) == 0   ? HKEY_LOCAL_MACHINE
                    : strncmp(path, "HKCR", 4) == 0 ? HKEY_CLASSES_ROOT
                    : strncmp(path, "HKCU", 4) == 0 ? HKEY_CURRENT_USER
                                                    : NULL;
        if (!root || (strncmp(branch, "32:", 3) != 0 && strncmp(branch, "64:", 3) != 0)) {
            fprintf(stderr, "reg-dump: %s is not VIEW:ROOT\\path\n", branch);
            return 2;
        }
        char viewName[3] = {branch[0], branch[1], 0};
        dump(root, view, viewName, path);
    }
    return 0;
}
