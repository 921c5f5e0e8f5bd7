// The DORVIK path of the data cycle, for the link-kind table of the communication object.
#pragma once
#include <cstdint>

struct COMMOBJ_T;

int GetDataDorvikCommObject(COMMOBJ_T* obj);   // the read plan into the images; 0 or 1
int SendDataDorvikCommObject(COMMOBJ_T* obj);  // the write plan to the PLC; 0 or 1

// Index of a register's image (REG_IMG_X ...), -1 for a register without one.
int ImageOfReg(uint8_t reg);
