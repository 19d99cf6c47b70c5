// Test support without GoogleTest (the fuzz targets): no test runs a child,
// so a TempDir never takes a parent's directory and nothing is noted.
#include "common/testing/child_process.h"

std::string run_in_child_inherited_temp_dir() { return std::string(); }
void run_in_child_note_temp_dir(const std::string&) {}
