// Command-line parsing and the usage text.
#include "app/options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>

#include "app/globals.h"

void ParseOptions(int argc, char** argv, OPTIONS_T* opt) {
  static const option longopts[] = {{"daemon", no_argument, nullptr, 'd'},
                                    {"terminate", no_argument, nullptr, 't'},
                                    {"verbose", no_argument, nullptr, 'v'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"config", required_argument, nullptr, 'c'},
                                    {"log", required_argument, nullptr, 'l'},
                                    {nullptr, 0, nullptr, 0}};
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "dtvhc:l:", longopts, nullptr)) != -1) {
    switch (c) {
      case 'd':
        opt->daemon = true;
        opt->use_log = true;
        fflush(nullptr);
        opt->fork_result = fork();
        break;
      case 't':
        opt->terminate = true;
        break;
      case 'v':
        verbose.fetch_add(1);
        break;
      case 'c':
        opt->config = optarg;
        break;
      case 'l':
        opt->logfile = optarg;
        opt->use_log = true;
        break;
      default:  // 'h' and every unknown option
        opt->help = true;
        return;
    }
  }
}

void PrintUsage(const char* version, const char* dorvik_version, const char* ini_version) {
  printf("PLC communication server %s.\n\n", version);
  printf(
      "  Dorvik library %s.\n  InitParser library %s.\n\nUsage: Korvane [-dtvh] [-c <configfile>] "
      "[-l <logfile>]\n\n  -d, --daemon    fork into background\n  -t, --terminate terminate if "
      "configuration file was changed\n  -v, --verbose   verbose mode (multiple -v options "
      "increase "
      "the verbosity)\n  -c, --config    configuration file\n  -l, --log       log file\n  -h, "
      "--help      display this help and exit\n\nDefault values:\n\n  configfile      "
      "Korvane.ini\n  logfile         Korvane.log\n",
      dorvik_version, ini_version);
  fflush(stdout);
}
