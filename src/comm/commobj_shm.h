// The shared-memory path of the data cycle, for the link-kind table of the communication object.
#pragma once
#include <cstdint>

struct COMMOBJ_T;

int GetDataShmCommObject(COMMOBJ_T* obj);   // the read plan from the module; 0 or 1
int SendDataShmCommObject(COMMOBJ_T* obj);  // the write plan to the module; 0 or 1
void CloseShmCommObject(COMMOBJ_T* obj);    // releases port name and note, unlinks the module
// Sets or clears one bit of the PLC's own byte under the port lock; 0, or 1 after three tries.
int ShmSetBitCommObject(COMMOBJ_T* obj, uint8_t reg, uint32_t addr, uint8_t bit, bool on,
                        const char* func);
