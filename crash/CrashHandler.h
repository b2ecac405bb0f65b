// On a fatal signal or an uncaught exception: CrashDumpFile.dmp beside the
// executable, "Fatal Error", and the end of the process.
#pragma once

// Installs the handlers once; true when they are in place.
bool InstallCrashHandler();
