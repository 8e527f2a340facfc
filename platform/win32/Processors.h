// How many processors the machine has, and how busy they are: for work that
// is worth spreading over threads only when there are processors to spare.
#pragma once

namespace processors {

// The processors this process may run on; at least 1.
unsigned count();

// Threads waiting to run or running, averaged over the last minute, per
// processor; 0 when the system does not tell.
double loadPerProcessor();

}  // namespace processors
