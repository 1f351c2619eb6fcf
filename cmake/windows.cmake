# The Windows DLL and the Windows build of tessel-rec, for x64 hosts (preset windows) or 32-bit hosts (preset
# windows-x86). The file name carries the bitness; the driver finds itself by that name when it registers.
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TESSEL_MODULE_NAME "Tessel-ASIO-x64")
else()
  set(TESSEL_MODULE_NAME "Tessel-ASIO-x86")
endif()
set(TESSEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${TESSEL_GENERATED_DIR}/tessel_version.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/src/com/exports.def.in ${TESSEL_GENERATED_DIR}/exports.def @ONLY)

option(TESSEL_VIRTUAL_DEVICES "Build the test-only DLL whose devices are the virtual hardware instead" OFF)
if(TESSEL_VIRTUAL_DEVICES)
  include(cmake/windows_virtual.cmake)
  add_subdirectory(tools)
  return()
endif()

add_library(tessel_asio SHARED ${TESSEL_SOURCES} ${TESSEL_GENERATED_DIR}/exports.def
            ${CMAKE_SOURCE_DIR}/src/ui/resources.rc)
set_target_properties(tessel_asio PROPERTIES OUTPUT_NAME "${TESSEL_MODULE_NAME}" PREFIX "" SUFFIX ".dll")
target_include_directories(tessel_asio PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR} ${TESSEL_GENERATED_DIR})
target_compile_definitions(tessel_asio PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00
                                               $<$<COMPILE_LANGUAGE:CXX>:TESSEL_MODULE_NAME="${TESSEL_MODULE_NAME}">)
tessel_warnings(tessel_asio)
# Statically linked, so that only system DLLs are imported: no libstdc++, libgcc or winpthread beside it.
target_link_options(tessel_asio PRIVATE -static -static-libgcc -static-libstdc++)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  # The exports are __stdcall, decorated as DllGetClassObject@12 in 32 bits; the .def file names them undecorated
  # as hosts and regsvr32 look them up, and the linker is told that this is meant.
  target_link_options(tessel_asio PRIVATE -Wl,--enable-stdcall-fixup)
endif()
target_link_libraries(tessel_asio PRIVATE ole32 oleaut32 uuid winmm setupapi hid ksguid advapi32 user32 comctl32
                      shell32 gdi32)

add_subdirectory(tools)
add_subdirectory(tests/windows)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  include(${CMAKE_SOURCE_DIR}/cmake/installer.cmake)
endif()
