// The one place where the GUIDs and property keys of the Windows headers that no import library carries are
// defined: windows.h first, then initguid.h, then the headers that declare them.
#include <windows.h>
#include <initguid.h>
#include <devpkey.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>
#include <devicetopology.h>
#include <functiondiscoverykeys_devpkey.h>
