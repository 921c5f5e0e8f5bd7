// The requests on files: GETFILE, GETFILEINFO, WRITEFILE and WRITEFILEINFO.
#include "client/dispatch.h"

int ReqGetFile(DISPATCH_T*) {
  return 0;
}
int ReqGetFileInfo(DISPATCH_T*) {
  return 0;
}
int ReqWriteFile(DISPATCH_T*) {
  return 0;
}
int ReqWriteFileInfo(DISPATCH_T*) {
  return 0;
}

#include "client/reply.h"

int SendFileSection(REPLY_T*) {
  return 0;
}
int SendWriteFileSection(REPLY_T*) {
  return 0;
}
