// The host of the notification service extension point: it runs the extension process.
// It reads push requests (payload files, or JSON Lines on standard input), makes one fresh
// instance of the principal class per request through the runtime, sends it "init" and the
// request message with a content-handler block, sends the expiry message when the time
// limit has passed, and prints every delivery as one JSON line on standard output.
//
// The host's record for the extension point lives in this library's "nsextension_points"
// section; NSExtensionMain finds it there and calls UNServiceExtensionHostMain.
#pragma once

#include "objc/runtime.hpp"

// Runs the process for `principalClass` with the command line `argc`/`argv`; returns the
// exit status: 0, 1 when an input or the output failed, 2 for bad usage.
int UNServiceExtensionHostMain(Class principalClass, int argc, char** argv);
