#include "com/class_table.h"

// {CF683376-4DD8-4F2E-93C8-ADBD68AE84C4}
const CLSID CLSID_TesselAsio = {0xcf683376, 0x4dd8, 0x4f2e, {0x93, 0xc8, 0xad, 0xbd, 0x68, 0xae, 0x84, 0xc4}};
// {2A9B7DA3-7510-4BD2-9840-869A34EDF21D}
const CLSID CLSID_TesselAsioFloat = {0x2a9b7da3, 0x7510, 0x4bd2, {0x98, 0x40, 0x86, 0x9a, 0x34, 0xed, 0xf2, 0x1d}};

const ClassRecord classTable[] = {
    {u"Tessel", &CLSID_TesselAsio, CreateIntegerDriver, nullptr},
    {u"Tessel (Float)", &CLSID_TesselAsioFloat, CreateFloatDriver, nullptr},
};
const int classCount = sizeof(classTable) / sizeof(classTable[0]);
