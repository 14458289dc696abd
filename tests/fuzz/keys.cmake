# Key binding records and exchange files.
orlavonix_add_fuzzer(keys_combo_fuzz SOURCES KeyComboFuzz.cpp DEPS orlavonix_keys)
orlavonix_add_fuzzer(keys_import_fuzz SOURCES KeyImportFuzz.cpp DEPS orlavonix_keys)
