// Everything the simulated Windows declares for product code; included by platform/win32.h off Windows.
#pragma once

#include "sim/os/win32_types.h"
#include "sim/os/kernel.h"
#include "sim/os/registry.h"
#include "sim/os/com.h"
#include "sim/os/module.h"
#include "sim/os/ks_sim.h"
#include "sim/os/device_io.h"
#include "sim/os/setupapi_sim.h"
#include "sim/os/hid_sim.h"
#include "sim/os/core_audio_sim.h"
