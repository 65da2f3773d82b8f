# Warning flags shared by every target of the project.
function(mmfcast_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(MMFCAST_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
