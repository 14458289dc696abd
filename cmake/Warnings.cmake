# Warnings are errors for our own code; third-party headers come in as SYSTEM.
function(orlavonix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
