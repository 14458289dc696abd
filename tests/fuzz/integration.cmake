# The remote-command dispatcher with any request text.
orlavonix_add_fuzzer(remote_command_fuzz SOURCES RemoteCommandFuzz.cpp DEPS orlavonix_integration)
