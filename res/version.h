// Version numbers, written once for the version block and anything else that needs them.
#pragma once

// The product's numbers. A build of another version defines all five before including this file
// (the installer tests make later versions of the agent so).
#ifndef KEYVANE_VERSION_MAJOR
#define KEYVANE_VERSION_MAJOR 1
#define KEYVANE_VERSION_MINOR 0
#define KEYVANE_VERSION_PATCH 0
#define KEYVANE_VERSION_BUILD 2
#define KEYVANE_VERSION_TEXT "1, 0, 0, 2"
#endif

#define KEYVANE_VERSION_NUMBERS \
    KEYVANE_VERSION_MAJOR, KEYVANE_VERSION_MINOR, KEYVANE_VERSION_PATCH, KEYVANE_VERSION_BUILD
#define KEYVANE_SPECIAL_BUILD "20130610_Win8"
