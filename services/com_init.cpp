#include "services/com_init.h"

#include <objbase.h>

ComInitGuard::ComInitGuard() : hr_(CoInitialize(nullptr)) {}

ComInitGuard::~ComInitGuard() {
    if (hr_ == S_OK || hr_ == S_FALSE) CoUninitialize();
}
