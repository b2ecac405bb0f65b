// Our stand-ins for the operating-system services the program uses, in one
// header: INI files, the narrow path encoding, where the program lives and
// the user's own directories. Each piece also has a header of its own.
#pragma once

#include "AppDir.h"
#include "Encoding.h"
#include "Ini.h"
#include "UserDirs.h"
