// The installer's stop step (stop_agents.cpp): which running processes belong to this installation.
#pragma once
#include <windows.h>

// True when a process's image path names the installed agent: the whole path, compared as the
// file system compares names (ordinal, case-insensitive). An empty installed path matches nothing,
// so a step that was handed no path never ends anything; a Keyvane.exe elsewhere is not ours.
inline bool IsImageOfInstallation(const wchar_t* imagePath, const wchar_t* installedExe) {
    if (!imagePath || !installedExe || !*installedExe) return false;
    return CompareStringOrdinal(imagePath, -1, installedExe, -1, TRUE) == CSTR_EQUAL;
}
