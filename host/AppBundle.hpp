// The app that holds the running extension: Halvicourt.app, whose PlugIns folder holds the
// extension's bundle. The platform reads the app's resources on the extension's behalf: its
// strings tables for localized alerts, its sound files. Made once, on first use, and never
// destroyed; thread-safe (NSBundle guards itself).
#pragma once

class NSBundle;

namespace host {

// The app bundle, or null when the running extension is not in an app's PlugIns folder.
const NSBundle* appBundle();

}  // namespace host
