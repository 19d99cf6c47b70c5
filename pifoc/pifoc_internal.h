// Shared between the bookkeeping and the drive operations of this module.
#pragma once

#include <cstdint>

struct SystemInfo;
struct PifocState;

namespace vr_detail {

// The column groups of the diagnostic line being built.
struct LogGroups {
    char leakage[64];
    char comp[96];
    char date[20];
};
LogGroups& groups();

int64_t calendar_now();
bool is_can(const SystemInfo* info);

// Marks the start of the drive: first start once, last start always.
void mark_start(int64_t now);

bool cook_switch();
bool deglitch_switch();

void fill_leakage_group(int64_t sinceStart, double leakageUa, int measured);
void fill_zero_comp_group();
void fill_date_group(int64_t time);
// "%s %s %s\n" of the three groups, then `marker` when given, to the log.
int log_line(SystemInfo* info, const char* marker);

}  // namespace vr_detail
