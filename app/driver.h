// The surfconv command line: surfconv [options] input output width.
// Options: -f writes the output even if the file exists; -d takes the
// derivatives from the grid's own sags over the grid spacings.
#pragma once

// Runs one conversion and returns the process exit status (0 success, 1 usage,
// 2 to 9 the step that failed). Every message goes to standard error.
int surfconv_main(int argc, char** argv);
