# The installer target of the x64 tree (cmake --build --preset installer): builds the windows-x86 preset's tree
# for the 32-bit DLL, then packs both DLLs, tessel-rec and the help page with makensis into
# Tessel-ASIO-Setup-<version>.exe beside the x64 DLL. The version is the project's.
find_program(TESSEL_MAKENSIS makensis)
set(TESSEL_X86_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/windows-x86)
set(TESSEL_X86_DLL ${TESSEL_X86_BUILD_DIR}/Tessel-ASIO-x86.dll)
set(TESSEL_SETUP ${CMAKE_BINARY_DIR}/Tessel-ASIO-Setup-${PROJECT_VERSION}.exe)

add_custom_target(tessel_asio_x86
  COMMAND ${CMAKE_COMMAND} --preset windows-x86 > /dev/null
  COMMAND ${CMAKE_COMMAND} --build --preset windows-x86
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  BYPRODUCTS ${TESSEL_X86_DLL}
  COMMENT "Building the 32-bit tree (preset windows-x86)"
  USES_TERMINAL)

if(TESSEL_MAKENSIS)
  set(make_setup
      ${TESSEL_MAKENSIS} -V2 -WX -DVERSION=${PROJECT_VERSION} -DVERSION4=${PROJECT_VERSION}.0
      -DOUTFILE=${TESSEL_SETUP} -DX64_DLL=$<TARGET_FILE:tessel_asio> -DX86_DLL=${TESSEL_X86_DLL}
      -DTESSEL_REC=$<TARGET_FILE:tessel-rec> -DHELP_FILE=${CMAKE_SOURCE_DIR}/installer/help.html
      ${CMAKE_SOURCE_DIR}/installer/tessel.nsi)
else()
  set(make_setup ${CMAKE_COMMAND} -E echo "makensis is missing: scripts/setup.sh windows installs it"
      COMMAND ${CMAKE_COMMAND} -E false)
endif()
add_custom_target(installer
  COMMAND ${make_setup}
  BYPRODUCTS ${TESSEL_SETUP}
  COMMENT "Packing ${TESSEL_SETUP}"
  VERBATIM)
add_dependencies(installer tessel_asio tessel-rec tessel_asio_x86)
