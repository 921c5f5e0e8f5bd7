// Project loading: register values, moves, identification texts and the file folder.
#include "project.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "moves.h"
#include "values.h"

namespace plcsim {
namespace {

void StripLineEnd(std::string& line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
}

// Runs `apply` on every line that is neither blank nor a '#' comment; a missing file is empty.
int LoadLines(Sim& sim, const std::string& path,
              int (*apply)(Sim&, const std::string&, std::string&)) {
  std::ifstream in(path);
  if (!in) return 0;
  std::string line, err;
  int lineno = 0;
  while (std::getline(in, line)) {
    lineno++;
    StripLineEnd(line);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    if (apply(sim, line.substr(first), err) != 0) {
      fprintf(stderr, "%s:%d: %s\n", path.c_str(), lineno, err.c_str());
      return 1;
    }
  }
  return 0;
}

void LoadIdent(Sim& sim, const std::string& path) {
  std::ifstream in(path);
  std::string line;
  for (int i = 0; i < 4 && std::getline(in, line); i++) {
    StripLineEnd(line);
    sim.ident[i] = line;
  }
}

}  // namespace

int LoadProject(Sim& sim, const std::string& dir, bool take_files) {
  if (LoadLines(sim, dir + "/values.txt", SetValue) != 0 ||
      LoadLines(sim, dir + "/moves.txt", AddMove) != 0)
    return 1;
  LoadIdent(sim, dir + "/ident.txt");
  struct stat st;
  std::string files = dir + "/files";
  if (take_files && stat(files.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) sim.files = files;
  return 0;
}

}  // namespace plcsim
