# The Windows downloads, from the programs of this build: an MSI installer (made with msitools'
# wixl) and a portable zip, both holding mmfcast.exe, mmfcast-cli.exe, LICENSE.txt and
# README.txt, and the developer kit in sdk/ (what `cmake --install` puts in its lib and dev
# components: mmfcast.dll, its import library, the headers, the CMake package and the
# pkg-config files), staged once in windows/mmfcast-VERSION-ARCH/ so the two hold the same
# files. The kit is an optional feature of the MSI, its file list made from the staged folder.
# Target mmfcast_windows_packages; built with everything else.
find_program(MMFCAST_WIXL wixl REQUIRED)
find_program(MMFCAST_WIXL_HEAT wixl-heat REQUIRED)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(MMFCAST_PACKAGE_ARCH x64)
  set(MMFCAST_MSI_ARCH x64)
  set(MMFCAST_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(MMFCAST_MSI_WIN64 yes)
  set(MMFCAST_MSI_UPGRADE_CODE 88259CE8-06F0-4EE5-A38C-3CF0A5490AFB)
  set(MMFCAST_MINGW_TRIPLET x86_64-w64-mingw32)
else()
  set(MMFCAST_PACKAGE_ARCH x86)
  set(MMFCAST_MSI_ARCH x86)
  set(MMFCAST_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(MMFCAST_MSI_WIN64 no)
  set(MMFCAST_MSI_UPGRADE_CODE 35C10435-8430-4717-88C2-DD5D74D827C6)
  set(MMFCAST_MINGW_TRIPLET i686-w64-mingw32)
endif()

set(package_name mmfcast-${PROJECT_VERSION}-${MMFCAST_PACKAGE_ARCH})
set(package_dir ${PROJECT_BINARY_DIR}/windows)
set(MMFCAST_STAGE ${package_dir}/${package_name})
set(MMFCAST_STAGE_NAME ${package_name})
set(MMFCAST_MSI ${package_dir}/${package_name}.msi)
set(MMFCAST_ZIP ${package_dir}/${package_name}.zip)

# The text files with Windows line ends, so every editor shows them as lines.
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/README.txt.in ${package_dir}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${package_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
# wixl takes the files' paths relative to its working directory.
configure_file(${PROJECT_SOURCE_DIR}/ui/icon/mmfcast.ico ${package_dir}/mmfcast.ico COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/mmfcast.wxs.in ${package_dir}/mmfcast.wxs @ONLY)

add_custom_command(
  OUTPUT ${MMFCAST_MSI} ${MMFCAST_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${MMFCAST_STAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MMFCAST_STAGE}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:mmfcast> $<TARGET_FILE:mmfcast-cli> ${MMFCAST_STAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${package_dir}/README.txt ${MMFCAST_STAGE}/README.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${package_dir}/LICENSE.txt ${MMFCAST_STAGE}/LICENSE.txt
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${MMFCAST_STAGE}/sdk --component lib
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${MMFCAST_STAGE}/sdk --component dev
  COMMAND sh -c "find ${package_name}/sdk -type f | LC_ALL=C sort | ${MMFCAST_WIXL_HEAT} \
    -p ${package_name}/ --directory-ref INSTALLDIR --component-group DeveloperKit --var var.Stage > sdk.wxs"
  COMMAND ${MMFCAST_WIXL} --arch ${MMFCAST_MSI_ARCH} -D Stage=${package_name} -D Win64=${MMFCAST_MSI_WIN64}
          -o ${MMFCAST_MSI} mmfcast.wxs sdk.wxs
  COMMAND ${CMAKE_COMMAND} -E rm -f ${MMFCAST_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${MMFCAST_ZIP} --format=zip ${package_name}
  WORKING_DIRECTORY ${package_dir}
  DEPENDS mmfcast mmfcast-cli mmf_shared ${package_dir}/README.txt ${package_dir}/LICENSE.txt
          ${package_dir}/mmfcast.wxs ${package_dir}/mmfcast.ico
          ${PROJECT_BINARY_DIR}/cmake_install.cmake ${mmfcast_public_header_files}
  COMMENT "Making ${package_name}.msi and ${package_name}.zip"
  VERBATIM)
add_custom_target(mmfcast_windows_packages ALL DEPENDS ${MMFCAST_MSI} ${MMFCAST_ZIP})
