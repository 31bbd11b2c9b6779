// The number of cores this process may run on.
#pragma once

// The cores of the process's CPU affinity mask (what a batch scheduler such as Slurm, taskset
// or a container grants), at least 1; the machine's count where the mask cannot be read. A
// job given 4 cores of a 128-core node then starts 4 threads for its work, not 128.
// LV_THREADS (a positive number) caps it, e.g. for several workers sharing one allocation.
unsigned ICoresAvailable();
