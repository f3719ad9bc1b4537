// Resource ids, shared by keyvane.rc and the code so each id exists once.
#pragma once

// String table (block 7 holds ids 96 to 111; only these two carry text).
#define IDS_WINDOW_TITLE 103  // "Keyvane_Utility"
#define IDS_PAINT_TEXT 106    // intentionally absent: a paint draws nothing
#define IDS_WINDOW_CLASS 109  // "Keyvane Utility"

// Icon groups.
#define IDI_AGENT 107        // class icon, and the shell's icon for the file
#define IDI_AGENT_SMALL 108  // class small icon
#define IDI_AGENT_SET 132    // spare sizes and depths; no code loads it

// The class names a menu that the file does not carry; the window has none.
#define IDM_AGENT 109
