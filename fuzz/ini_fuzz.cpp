// Fuzz target for the INI store: load arbitrary bytes as a file, read it back through the
// getters and dumps, change a value and save it over the same file. Run with -close_fd_mask=2
// to hide the store's syntax-error messages.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ini/iniparser.h"

namespace {

// Every entry through every getter; section names are entries too.
void ExerciseGetters(dictionary* d) {
  for (int i = 0; i < iniparser_getnsec(d); i++) iniparser_getsecname(d, i);
  for (int i = 0; i < d->size; i++) {
    if (!d->key[i]) continue;
    iniparser_getstring(d, d->key[i], nullptr);
    iniparser_getint(d, d->key[i], -1);
    iniparser_getdouble(d, d->key[i], -1.0);
    iniparser_getboolean(d, d->key[i], -1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char path[] = "/tmp/korvane-ini-fuzz-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 0;
  const bool written = write(fd, data, size) == static_cast<ssize_t>(size);
  close(fd);
  dictionary* d = written ? iniparser_load(path) : nullptr;
  if (d) {
    ExerciseGetters(d);
    FILE* null_out = fopen("/dev/null", "w");
    if (null_out) {
      iniparser_dump_ini(d, null_out);
      iniparser_dump(d, null_out);
      dictionary_dump(d, null_out);
      fclose(null_out);
    }
    // Change the first value entry so the save has something to rewrite.
    for (int i = 0; i < d->size; i++) {
      if (d->key[i] && d->val[i]) {
        iniparser_setstring(d, d->key[i], "fuzz value");
        break;
      }
    }
    iniparser_save_ini(d, path);
    iniparser_freedict(d);
  }
  unlink(path);
  return 0;
}
