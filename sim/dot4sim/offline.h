// dot4sim apply and undo: a run's net effect carried to a Windows partition's own files.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace simwin {

int applyMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
              std::ostream& err);
int undoMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err);

}  // namespace simwin
