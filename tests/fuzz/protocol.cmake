# The packet buffer's receive side and the client's command dispatcher.
orlavonix_add_fuzzer(packet_buffer_fuzz SOURCES PacketBufferFuzz.cpp DEPS orlavonix_protocol)
orlavonix_add_fuzzer(client_dispatch_fuzz SOURCES ClientDispatchFuzz.cpp DEPS orlavonix_client)
target_include_directories(client_dispatch_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/tests)
