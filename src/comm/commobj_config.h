// The keys of one PLC section: read into a scratch record, then copied into a new object.
#pragma once
#include "ini/iniparser.h"

struct COMMOBJ_T;

struct PLCCFG_T {
  char name[256] = {};
  int plc_num = 0;
  char pubfile[256] = {};
  char pubfile_fixed[256] = {};
  char shm_name[256] = {};
  char ipaddr[32] = {};
  char ipaddr_local[32] = {};
  char serial_device[32] = {};
  int serial_speed = -1;
  int serial_rts = -1;
  int server_port = 5010;
  int shm_port = -1;
  int shm_socket = -1;
  int dvkaddr = 1;
  int dvkport = 61682;
  int dvktout = 1000;
  int dvktout_step = 500;
  int link_kind = 1;
  int pubfile_crc = 1;
  int pubfile_write = 0;
};

// Reads the keys of section `section` (index `index` in the file), logging each missing key with
// its default and applying the limits and the link-kind decision. Always starts from the defaults.
void ReadPlcConfig(dictionary* ini, const char* section, int index, PLCCFG_T* cfg);

// Copies the scratch record into a freshly created object (state 2).
void FillCommObject(COMMOBJ_T* obj, const PLCCFG_T* cfg);
