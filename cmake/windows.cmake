# The Windows build's own parts, cross-built with MinGW-w64 (see
# mingw-w64-x86_64.cmake): libpcap's headers, the run-time loader of the
# capture library, the DLL's exports, the zip for Windows users.

# The DLL, the tools and the test programs side by side, as Windows finds a
# program's DLLs in its own folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# libpcap's headers from a private folder: adding the whole of /usr/include
# would pull glibc's headers in place of MinGW's.
set(PCAP_INCLUDE_DIR ${CMAKE_BINARY_DIR}/pcap-include)
file(MAKE_DIRECTORY ${PCAP_INCLUDE_DIR})
file(COPY /usr/include/pcap.h /usr/include/pcap DESTINATION ${PCAP_INCLUDE_DIR})

# wpcap.dll is loaded when first needed, not imported: the library and the
# tools load and run without Npcap. Its functions are defined by the loader,
# which forwards each call.
add_library(lcmp_pcap STATIC ${CMAKE_SOURCE_DIR}/transport/windows/capture_library.cpp)
target_include_directories(lcmp_pcap PUBLIC ${PCAP_INCLUDE_DIR} ${CMAKE_SOURCE_DIR}/transport)
set(PCAP_LIBRARY lcmp_pcap iphlpapi)

# The Linux implementations of the adapter queries give way to Windows'.
list(REMOVE_ITEM LCMP_CORE_SOURCES ${CMAKE_SOURCE_DIR}/transport/macaddress.cpp
     ${CMAKE_SOURCE_DIR}/transport/adapters.cpp ${CMAKE_SOURCE_DIR}/transport/platform_posix.cpp)
list(APPEND LCMP_CORE_SOURCES ${CMAKE_SOURCE_DIR}/transport/windows/adapters.cpp)

# lcmp.dll (no "lib" prefix) with its import library liblcmp.dll.a. The C
# interface is exported by a module definition made from liblcmp.map; the JNI
# methods by JNIEXPORT.
function(lcmp_windows_library target)
  file(READ ${CMAKE_SOURCE_DIR}/liblcmp.map map)
  string(REGEX REPLACE "Java_[A-Za-z0-9_]*\\*;" "" map "${map}")
  string(REGEX REPLACE "(global|local):" "" map "${map}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${map}")
  list(JOIN names "\n  " exports)
  file(WRITE ${CMAKE_BINARY_DIR}/lcmp.def "LIBRARY lcmp.dll\nEXPORTS\n  ${exports}\n")
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/lcmp.def)
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a"
                        LINK_DEPENDS ${CMAKE_SOURCE_DIR}/liblcmp.map)
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
endfunction()

# The zip for Windows users: the DLL, its import library, the header, the
# tools (without their debugging information) and a README. The DLL without
# its debugging information also goes to jar/, for lcmp-host.jar (make jar-all).
function(lcmp_windows_zip)
  set(zip liblcmp-${PROJECT_VERSION}-windows-x86_64)
  set(stage ${CMAKE_BINARY_DIR}/${zip})
  add_custom_target(windows_zip ALL
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:lcmp> $<TARGET_LINKER_FILE:lcmp>
            ${CMAKE_SOURCE_DIR}/include/lcmp.h $<TARGET_FILE:lcmp-ctl> $<TARGET_FILE:lcmp-monitor>
            $<TARGET_FILE:lcmp-send> $<TARGET_FILE:lcmp-device> ${stage}
    COMMAND ${CMAKE_STRIP} --strip-debug ${stage}/lcmp.dll ${stage}/lcmp-ctl.exe ${stage}/lcmp-monitor.exe
            ${stage}/lcmp-send.exe ${stage}/lcmp-device.exe
    COMMAND ${CMAKE_COMMAND} -E copy ${stage}/lcmp.dll ${CMAKE_BINARY_DIR}/jar/lcmp.dll
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/windows/README.txt ${stage}/README.txt
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/include/lcmp.h ${CMAKE_BINARY_DIR}/lcmp.h
    COMMAND ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/${zip}.zip --format=zip ${zip}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS lcmp lcmp-ctl lcmp-monitor lcmp-send lcmp-device ${CMAKE_SOURCE_DIR}/packaging/windows/README.txt
    BYPRODUCTS ${CMAKE_BINARY_DIR}/${zip}.zip ${CMAKE_BINARY_DIR}/jar/lcmp.dll
    COMMENT "${zip}.zip")
endfunction()
