// The per-user settings, kept under HKEY_CURRENT_USER. Loaded by init, saved by the destructor; in between
// they live in the driver record.
#pragma once

class CAsioDriver;

extern const char kSettingsKey[];

void LoadSettings(CAsioDriver& driver);
void SaveSettings(CAsioDriver& driver);
