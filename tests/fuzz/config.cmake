# Settings file loader with every section reader, and the server link parser.
orlavonix_add_fuzzer(config_file_fuzz SOURCES ConfigFileFuzz.cpp DEPS orlavonix_config)
orlavonix_add_fuzzer(server_link_fuzz SOURCES ServerLinkFuzz.cpp DEPS orlavonix_config)
