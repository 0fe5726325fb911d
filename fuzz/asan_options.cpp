// Sanitizer defaults for every fuzz target (ASAN_OPTIONS still overrides).
//
// A quarantine of 16 MB instead of 256 MB: freed memory is still held back
// long enough to catch a use after free within one input, but allocations
// reuse pages instead of faulting in fresh ones, which had cost the loader
// target more than half of its time.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
