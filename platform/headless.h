#pragma once

// Off Windows and macOS, a machine without a display server would make the
// GUI application abort before the updater could report anything. When no
// display is set and no platform plugin is chosen, the offscreen plugin is
// used instead. Call before the application object is constructed.
void useOffscreenWithoutDisplay();
