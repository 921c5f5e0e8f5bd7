// Driving a serial line's RTS through a sysfs GPIO value file, confirmed by reading it back.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "app/log.h"
#include "link/dorvik.h"

namespace {

std::mutex gpio_root_mutex;
std::string gpio_root = "/sys/class/gpio";

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

extern "C" {

void Serial_SetGpioRoot(const char* root) {
  std::lock_guard<std::mutex> lock(gpio_root_mutex);
  gpio_root = root ? root : "/sys/class/gpio";
}

int Serial_Set_RTS(SEREP_T* ep, int value) {
  if (ep->rts_gpio < 0) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(gpio_root_mutex);
    path = gpio_root + "/gpio" + std::to_string(ep->rts_gpio) + "/value";
  }
  FILE* f = fopen(path.c_str(), "w");
  if (!f) {
    Error("Serial_Set_RTS", "Unable to open GPIO file!");
    return 1;
  }
  fprintf(f, "%u\n", static_cast<unsigned>(value));
  fclose(f);

  f = fopen(path.c_str(), "r");
  if (!f) {
    Error("Serial_Set_RTS", "Unable to open GPIO file!");
    return 1;
  }
  long long start = NowMs();
  for (;;) {
    rewind(f);
    unsigned now_value = 0;
    int ok = fscanf(f, "%u", &now_value);
    if (ok == 1 && now_value == static_cast<unsigned>(value)) break;
    if (NowMs() - start > 250) {
      Error("Serial_Set_RTS", "Seting RTS timeout!");
      fclose(f);
      return 1;
    }
  }
  fclose(f);
  return 0;
}

}  // extern "C"
