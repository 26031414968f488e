// provisional: the uninstall entry belongs to later work. Until it lands the
// entry is not written. Remove this file when it is defined.
#include "installer/uninstall_entry.h"

void writeUninstallEntry(EngineKind) {}
