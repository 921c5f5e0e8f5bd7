// Loading a simulator project: values.txt, moves.txt, ident.txt and the files/ folder.
#pragma once
#include <string>

#include "sim.h"

namespace plcsim {

// Loads DIR/values.txt, DIR/moves.txt and DIR/ident.txt (all optional) and, when `take_files`,
// makes DIR/files the PLC file root. Returns 0, or 1 after printing the faulty line to standard
// error.
int LoadProject(Sim& sim, const std::string& dir, bool take_files);

}  // namespace plcsim
