// Whether the program can show a window at all, asked before Qt is started.
#pragma once

// Whether a window can be shown: a platform was chosen explicitly, a Wayland display is named, or
// the named local X display accepts connections. Lets start-up fail quietly without a display.
bool VexilDisplayAvailable();
