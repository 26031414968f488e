// The probe library's exports: plain C functions without arguments (cdecl).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int __cdecl isIntelCPU(void);
int __cdecl isSupportVT(void);
int __cdecl isVTOn(void);
int __cdecl getCPUCoreNum(void);
int __cdecl getPhyMemSize(void);

#ifdef __cplusplus
}
#endif
