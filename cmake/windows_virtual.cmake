# The test-only Windows DLL: the product's sources unchanged, but every device-facing call they make (device
# files, SetupAPI, hid.dll, ksuser.dll's pin creation, Core Audio's enumerator) reaches the virtual hardware,
# compiled for Windows, through the same virtual-kernel interface as on Linux. Threads, events, waits, the
# registry, COM and the loader stay the system's own (Wine's under test). The redirection is one header,
# sim/win/redirect.h, forced into the product's C++ sources of this target only; the product DLL never sees it.
file(GLOB TESSEL_VIRTUAL_DEVICE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/devices/*.cpp
     ${CMAKE_SOURCE_DIR}/sim/win/*.cpp)
# The scripted kernel belongs to the Linux unit tests.
list(FILTER TESSEL_VIRTUAL_DEVICE_SOURCES EXCLUDE REGEX "scripted_kernel\\.cpp$")

add_library(tessel_virtual_devices OBJECT ${TESSEL_VIRTUAL_DEVICE_SOURCES})
target_include_directories(tessel_virtual_devices PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
# M_PI is hidden by mingw's math.h under strict C++ unless asked for; GCC 12 misreads a std::vector move in
# hid_device.cpp at -O3 as freeing a non-heap pointer (the Linux build of the same file is clean under ASan).
target_compile_definitions(tessel_virtual_devices PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00 _USE_MATH_DEFINES)
tessel_warnings(tessel_virtual_devices)
target_compile_options(tessel_virtual_devices PRIVATE -Wno-free-nonheap-object)

add_library(tessel_asio_virtual SHARED ${TESSEL_SOURCES} $<TARGET_OBJECTS:tessel_virtual_devices>
            ${TESSEL_GENERATED_DIR}/exports.def ${CMAKE_SOURCE_DIR}/src/ui/resources.rc)
set_target_properties(tessel_asio_virtual PROPERTIES OUTPUT_NAME "Tessel-ASIO-virtual-x64" PREFIX "" SUFFIX ".dll")
target_include_directories(tessel_asio_virtual PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}
                           ${TESSEL_GENERATED_DIR})
target_compile_definitions(tessel_asio_virtual PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00
                                                       $<$<COMPILE_LANGUAGE:CXX>:TESSEL_MODULE_NAME="${TESSEL_MODULE_NAME}">)
# Every product source but the GUID definitions, which must see initguid.h before the headers that declare them.
set(TESSEL_REDIRECTED_SOURCES ${TESSEL_SOURCES})
list(FILTER TESSEL_REDIRECTED_SOURCES EXCLUDE REGEX "guids_win\\.cpp$")
set_source_files_properties(${TESSEL_REDIRECTED_SOURCES} PROPERTIES COMPILE_OPTIONS
                            "-include;${CMAKE_SOURCE_DIR}/sim/win/redirect.h")
tessel_warnings(tessel_asio_virtual)
target_link_options(tessel_asio_virtual PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(tessel_asio_virtual PRIVATE ole32 oleaut32 uuid winmm setupapi hid ksguid advapi32 user32
                      comctl32 shell32 gdi32)

# The probe host, which streams from the test-only DLL under Wine as recording hosts do (tests/windows/
# wine_virtual.sh). The same program as the product tree's: it links nothing of the driver.
add_executable(asio-probe-virtual ${CMAKE_SOURCE_DIR}/tests/windows/probe/asio_probe.c
                                  ${CMAKE_SOURCE_DIR}/tests/windows/probe/call_check_x64.c)
set_target_properties(asio-probe-virtual PROPERTIES OUTPUT_NAME asio-probe-x64)
tessel_warnings(asio-probe-virtual)
target_link_options(asio-probe-virtual PRIVATE -static -static-libgcc)
target_link_libraries(asio-probe-virtual PRIVATE ole32 advapi32 user32 uuid)
