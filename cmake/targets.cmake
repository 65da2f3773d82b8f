# How the project's targets are built: the warning flags every target shares, the static
# runtime of Windows programs and the stripping of shipped programs.
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

# A Windows program carries MinGW's C++ runtime and threads inside it, so it runs from any
# folder (and under Wine) without MinGW's DLLs beside it. Elsewhere this does nothing.
function(mmfcast_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# A program that runs once per line (mmfcast-cli send) carries the C++ runtime inside it on
# Linux too: loading and relocating libstdc++ took more of a one-shot send than the send did.
# Only for programs that hand no C++ object to another library (they link ours statically and
# load only C libraries), so that one runtime serves every object in the process. Sanitized
# builds keep the shared runtime, whose allocation functions the sanitizer replaces.
function(mmfcast_static_cxx_runtime target)
  if(NOT WIN32 AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# The programs people run are shipped without symbols in release builds.
function(mmfcast_strip_release target)
  target_link_options(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()

# Debian's usual hardening for everything built for Linux: a stack protector on functions with
# arrays or address-taken locals, checked string and memory functions where the compiler can
# see the buffer's size (optimised builds only: the checks need the optimiser), and a dynamic
# section that is read-only after start-up with every symbol bound at load time.
function(mmfcast_hardening)
  if(WIN32)
    return()
  endif()
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security
    "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endfunction()
