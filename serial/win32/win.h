// <windows.h> for the Win32 communications layer. CommOs.h comes first: Windows defines the event, error and
// purge constants as macros of the same names and values, which would otherwise rewrite their declarations.
// CreateFile is a macro too; the layer's own CreateFile must keep its name in every file.
#pragma once

#include "serial/CommOs.h"
#include "toolkit/win32/Text.h"

#undef CreateFile
