// The product's uninstall entry, written by the install operations.
#pragma once

#include "services/system_checks.h"

// Replaces the entry's key with its seven values; the engine's copy decides the
// "DisplayVersion" source. Results are ignored.
void writeUninstallEntry(EngineKind engine);
