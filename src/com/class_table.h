// The driver classes this module serves.
#pragma once

#include "com/unknown.h"

struct ClassRecord {
    const char16_t* name;  // names the class; nothing reads it
    const CLSID* classId;
    CUnknown* (*create)(IUnknown* outer, HRESULT* result);
    void (*initRoutine)(BOOL loading, const CLSID* classId);  // null: nothing to do at load and unload
};

extern const CLSID CLSID_TesselAsio;       // the integer class, "Tessel"
extern const CLSID CLSID_TesselAsioFloat;  // the float class, "Tessel (Float)"
extern const ClassRecord classTable[];
extern const int classCount;

CUnknown* CreateIntegerDriver(IUnknown* outer, HRESULT* result);
CUnknown* CreateFloatDriver(IUnknown* outer, HRESULT* result);
