// On Windows plinth.exe runs end to end beside the Linux build
// (packaging/windows/sessions.sh), not from the tests: the tests that start
// it are filtered out there, and this stands in for the starter that their
// files share with tests that do run.
#include <gtest/gtest.h>

#include "run_plinth.h"

plinth_run run_plinth(const std::string&, const std::vector<std::string>&, const std::string&) {
  ADD_FAILURE() << "run_plinth: plinth is not started from the tests on Windows";
  return {};
}
