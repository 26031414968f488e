/* The product's device module stand-in: VirtualBox would load it; nothing here does. */
#include <windows.h>

__declspec(dllexport) int VBoxDevicesRegister(void* callbacks, unsigned version) {
    (void)callbacks;
    (void)version;
    return 0;
}
