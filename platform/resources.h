// What the running process has used: processor time and peak memory.
#pragma once

// User plus system processor time of the process so far, in seconds.
double plat_cpu_seconds();

// The largest resident set size the process has had, in megabytes.
double plat_peak_rss_mb();
