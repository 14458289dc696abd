orlavonix_add_fuzzer(wave_fuzz SOURCES WaveFuzz.cpp DEPS orlavonix_notify)
