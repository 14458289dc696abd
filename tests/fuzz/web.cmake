# Parsers of what the web services send: the list reply, reply heads, and the
# picture cache index on disk.
orlavonix_add_fuzzer(weblist_reply_fuzz SOURCES WeblistReplyFuzz.cpp DEPS orlavonix_web)
orlavonix_add_fuzzer(http_header_fuzz SOURCES HttpHeaderFuzz.cpp DEPS orlavonix_web)
orlavonix_add_fuzzer(cache_index_fuzz SOURCES CacheIndexFuzz.cpp DEPS orlavonix_web)
