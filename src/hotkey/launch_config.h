// The launch configuration's registry names, written once: the agent, the installer and the
// administrative template all take them from here (CMake and the template generator parse this file).
#pragma once

// Below HKEY_LOCAL_MACHINE, in the 64-bit view.
#define KEYVANE_CONFIG_KEY "Software\\Marvek\\ShortcutKey\\AppLaunch\\Ex_17\\Desktop"
#define KEYVANE_CONFIG_FILE_VALUE "File"
#define KEYVANE_CONFIG_PARAMETERS_VALUE "Parameters"
// Each value is read into a buffer of this many bytes, terminator included.
#define KEYVANE_CONFIG_VALUE_BYTES 512
