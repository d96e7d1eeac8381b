# Adds the native libraries to lcmp-host.jar as resources under a folder per
# platform: LINUX_LIBRARY as linux-x86_64/liblcmp.so (its debugging sections
# stripped when STRIP is given) and WINDOWS_LIBRARY, when that file exists, as
# windows-x86_64/lcmp.dll. A Windows entry of an earlier run whose library
# is gone is taken out: the jar is then made anew from its other entries.
#
# cmake -DJAR=... -DJAR_TOOL=... -DSTRIP=... -DLINUX_LIBRARY=... -DWINDOWS_LIBRARY=... -DSTAGE=... -P bundle_natives.cmake
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE}/linux-x86_64)
if(STRIP)
  execute_process(COMMAND ${STRIP} --strip-debug -o ${STAGE}/linux-x86_64/liblcmp.so ${LINUX_LIBRARY}
                  COMMAND_ERROR_IS_FATAL ANY)
else()
  file(COPY_FILE ${LINUX_LIBRARY} ${STAGE}/linux-x86_64/liblcmp.so)
endif()
set(entries linux-x86_64/liblcmp.so)
if(WINDOWS_LIBRARY AND EXISTS ${WINDOWS_LIBRARY})
  file(MAKE_DIRECTORY ${STAGE}/windows-x86_64)
  file(COPY_FILE ${WINDOWS_LIBRARY} ${STAGE}/windows-x86_64/lcmp.dll)
  list(APPEND entries windows-x86_64/lcmp.dll)
  message(STATUS "lcmp-host.jar carries linux-x86_64 and windows-x86_64 (${WINDOWS_LIBRARY})")
else()
  message(STATUS "lcmp-host.jar carries linux-x86_64 (no ${WINDOWS_LIBRARY}: make jar-all builds it)")
  execute_process(COMMAND ${JAR_TOOL} tf ${JAR} OUTPUT_VARIABLE listed COMMAND_ERROR_IS_FATAL ANY)
  if(listed MATCHES "windows-x86_64/")
    set(whole ${STAGE}/whole)
    file(MAKE_DIRECTORY ${whole})
    execute_process(COMMAND ${JAR_TOOL} xf ${JAR} WORKING_DIRECTORY ${whole} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${whole}/windows-x86_64)
    file(REMOVE ${JAR})
    execute_process(COMMAND ${JAR_TOOL} cfm ${JAR} META-INF/MANIFEST.MF -C ${whole} BrundixGhn
                    WORKING_DIRECTORY ${whole} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endif()
execute_process(COMMAND ${JAR_TOOL} uf ${JAR} ${entries} WORKING_DIRECTORY ${STAGE} COMMAND_ERROR_IS_FATAL ANY)
