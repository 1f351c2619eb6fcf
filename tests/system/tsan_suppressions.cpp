// The virtual devices stand in for hardware that writes its WaveRT packet ring by DMA, outside the program's
// memory model; a stream thread that wakes a whole period late reads a packet while the device writes it (a torn
// packet, which the capture endpoint must cope with). The thread sanitizer sees the simulated DMA write as a
// data race. Only that write is excused, and only in this program; every other race still halts the run.
extern "C" const char* __tsan_default_suppressions() { return "race:sim::devices::EncodeSample\n"; }
