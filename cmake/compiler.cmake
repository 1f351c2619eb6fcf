# Shared compiler settings: warnings are errors in every build.
function(tessel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
