# The codec library's payload check and decoder, and the receive path with
# both codec libraries opened the way the client opens them.
orlavonix_add_fuzzer(hvdi_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/HvdiFuzz.cpp DEPS hvdi)
orlavonix_add_fuzzer(voice_payload_fuzz SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/VoicePayloadFuzz.cpp
  DEPS orlavonix_voice)
