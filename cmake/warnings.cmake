# Warning flags shared by every target of the project, and the stripping of shipped programs.
function(mmfcast_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  # GCC 12 reports overlapping copies inside libstdc++ for "literal" + std::string when
  # optimising (a false positive that GCC 13 no longer makes), so -Wrestrict is off there.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(MMFCAST_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# The programs people run are shipped without symbols in release builds.
function(mmfcast_strip_release target)
  target_link_options(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()
