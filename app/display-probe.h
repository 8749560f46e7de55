// Whether the program can show a window at all, asked before Qt is started.
#pragma once

// Whether a window can be shown: a platform was chosen explicitly, a Wayland display is named, or
// the named local X display accepts connections. Lets start-up fail quietly without a display.
// With pfdHeld, the probe's connection to a local X server is handed over (-1 when there is
// none) instead of closed: the caller closes it once its own connection is made. An X server
// that loses its last client resets itself, and a connection made during the reset waits for it
// (or fails): on a display where the program is the only client, closing the probe first would
// cost a whole server reset at every start.
bool VexilDisplayAvailable(int* pfdHeld = nullptr);
