// The command line: "dtvhc:l:" and the long forms.
#pragma once
#include <string>

struct OPTIONS_T {
  std::string config;  // empty until given; main defaults it to "Korvane.ini"
  std::string logfile = "Korvane.log";
  bool daemon = false;     // -d: output to the log file and fork
  bool terminate = false;  // -t: exit when the configuration file changes
  bool use_log = false;    // output goes to the log file
  bool help = false;       // -h or an unknown option: print the usage text, exit 1
  int fork_result = 1;     // result of fork() when -d was parsed; 1 when no fork happened
};

// Parses the options; -d forks at the moment it is parsed (as the daemon switch requires).
// Increments `verbose` for every -v.
void ParseOptions(int argc, char** argv, OPTIONS_T* opt);

// The usage text on standard output.
void PrintUsage(const char* version, const char* dorvik_version, const char* ini_version);
