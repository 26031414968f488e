// provisional: the Qv engine control answers this; until it lands no Qv engine
// counts as installed. Remove this file when isQvInstalled is defined there.
#include "services/install_paths.h"

bool isQvInstalled() { return false; }
