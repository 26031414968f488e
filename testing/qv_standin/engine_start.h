// Starting the engine, shared by the launcher and run-app stand-ins.
#pragma once

#include "testing/qv_standin/standin.h"

namespace qvs {

// tvHdDrv, then tvHdAndroidSvc (already running is fine), each waited for at
// most 15 s; records `engine-fail <service>` when one does not run.
inline bool startEngine() {
    const wchar_t* const services[] = {L"tvHdDrv", L"tvHdAndroidSvc"};
    for (const wchar_t* name : services) {
        if (!startServiceAndWait(name, 15000)) {
            record(L"engine-fail", name);
            return false;
        }
    }
    return true;
}

}  // namespace qvs
