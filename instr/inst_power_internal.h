// The serial boards' power sequences behind the instrument power control.
#pragma once

struct SystemInfo;

int inst_serial_on(SystemInfo* info);
int inst_serial_off(SystemInfo* info);
int inst_serial_check(SystemInfo* info);
