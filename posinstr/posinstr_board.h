// The position counter on the instrument board (type 1): read through the
// board protocol of the instrument whose SystemInfo is given.
#pragma once

#include "posinstr/posinstr.h"

struct SystemInfo;

// Installs the type-1 driver for the instrument `info` (its board line must
// be open when the counter is initialised or read). A null info removes it.
void posinstr_install_board_counter(SystemInfo* info);
