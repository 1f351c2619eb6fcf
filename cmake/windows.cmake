# The Windows DLL and the Windows build of tessel-rec.
enable_language(RC)

option(TESSEL_VIRTUAL_DEVICES "Build the test-only DLL whose devices are the virtual hardware instead" OFF)
if(TESSEL_VIRTUAL_DEVICES)
  include(cmake/windows_virtual.cmake)
  add_subdirectory(tools)
  return()
endif()

add_library(tessel_asio SHARED ${TESSEL_SOURCES} ${CMAKE_SOURCE_DIR}/src/com/exports.def
            ${CMAKE_SOURCE_DIR}/src/ui/resources.rc)
set_target_properties(tessel_asio PROPERTIES OUTPUT_NAME "Tessel-ASIO-x64" PREFIX "" SUFFIX ".dll")
target_include_directories(tessel_asio PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
target_compile_definitions(tessel_asio PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00)
tessel_warnings(tessel_asio)
# Statically linked, so that only system DLLs are imported: no libstdc++, libgcc or winpthread beside it.
target_link_options(tessel_asio PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(tessel_asio PRIVATE ole32 oleaut32 uuid winmm setupapi hid ksguid advapi32 user32 comctl32
                      shell32 gdi32)

add_subdirectory(tools)
