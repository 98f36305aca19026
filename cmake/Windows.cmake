# The plugin as a Windows x64 DLL, cross-compiled with MinGW-w64 (scripts/build-windows). Only
# src/ goes into it; the host's functions and the MariaDB client come from import libraries. It
# checks that the plugin builds and loads on its platform; the shipped DLL is built with MSVC
# against the host's SDK (docs/windows.md).

set(VELTRANE_HOST_MODULE "AsaApi.dll" CACHE STRING
    "File name of the host module that exports the host's functions (src/host)")

find_program(VELTRANE_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool REQUIRED)

# fmt, spdlog, nlohmann/json and the MariaDB client's headers are Debian's, the same for every
# target. The cross compiler sees these trees only, through links, never the rest of Linux's
# /usr/include.
set(VELTRANE_TARGET_HEADERS ${CMAKE_BINARY_DIR}/target-include)
file(MAKE_DIRECTORY ${VELTRANE_TARGET_HEADERS})
foreach(tree fmt spdlog nlohmann mariadb)
  if(NOT IS_DIRECTORY /usr/include/${tree})
    message(FATAL_ERROR "/usr/include/${tree} is missing: scripts/setup --deps-only installs it")
  endif()
  file(CREATE_LINK /usr/include/${tree} ${VELTRANE_TARGET_HEADERS}/${tree} SYMBOLIC)
endforeach()

add_library(veltrane_target_headers INTERFACE)
target_include_directories(veltrane_target_headers SYSTEM INTERFACE
                           ${VELTRANE_TARGET_HEADERS} ${VELTRANE_TARGET_HEADERS}/mariadb)
# SPDLOG_NO_TLS: spdlog's thread_local thread id is emulated by libgcc here, which gives each load's
# copy a new index and keeps it, with its value, for the life of the thread.
target_compile_definitions(veltrane_target_headers INTERFACE SPDLOG_COMPILED_LIB SPDLOG_NO_TLS)
# fmt and spdlog, compiled once (header-only, they made up about 40% of the compile time).
add_library(veltrane_fmt_spdlog STATIC ${CMAKE_SOURCE_DIR}/cmake/windows/FmtSpdlog.cpp)
target_link_libraries(veltrane_fmt_spdlog PUBLIC veltrane_target_headers)

# The plugin takes MinGW's C++ runtime and threads as DLLs of their own, shipped beside it in bin/
# and pinned by it at its first load (src/Veltrane.cpp), so that they stay loaded once for the
# process. Linked into the DLL, they were set up again at every load and never given back: a TLS
# slot, four handles and ~75 KiB of heap per load, failed ones included, until the 1,084th load
# killed the host.
set(VELTRANE_RUNTIME_DLLS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
foreach(dll ${VELTRANE_RUNTIME_DLLS})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${dll} of the MinGW-w64 compiler not found")
  endif()
  list(APPEND runtime_copies ${CMAKE_BINARY_DIR}/bin/${dll})
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/bin/${dll}
                     COMMAND ${CMAKE_COMMAND} -E copy ${path} ${CMAKE_BINARY_DIR}/bin/${dll}
                     DEPENDS ${path} VERBATIM)
endforeach()
add_custom_target(veltrane_runtime_dlls DEPENDS ${runtime_copies})
# The load test's host programs, loaded once, keep theirs inside: a real host has no MinGW DLL.
set(VELTRANE_STATIC_RUNTIME -static)

include(${CMAKE_SOURCE_DIR}/src/Sources.cmake)
list(TRANSFORM VELTRANE_CORE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/src/)
list(TRANSFORM VELTRANE_STORE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/src/)
list(TRANSFORM VELTRANE_MODULE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/src/)
add_library(veltrane_objects OBJECT ${VELTRANE_CORE_SOURCES} ${VELTRANE_STORE_SOURCES}
                                   ${VELTRANE_MODULE_SOURCES})
target_include_directories(veltrane_objects PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(veltrane_objects PUBLIC veltrane_target_headers)

# The host module's import library, from the host functions the objects call.
set(VELTRANE_IMPORTS ${CMAKE_BINARY_DIR}/imports)
get_filename_component(host_stem ${VELTRANE_HOST_MODULE} NAME_WE)
set(VELTRANE_HOST_DEF ${VELTRANE_IMPORTS}/${host_stem}.def)
set(host_import ${VELTRANE_IMPORTS}/lib${host_stem}.a)
file(GENERATE OUTPUT ${VELTRANE_IMPORTS}/plugin-objects.txt
     CONTENT "$<JOIN:$<TARGET_OBJECTS:veltrane_objects>,\n>\n")
add_custom_command(
  OUTPUT ${VELTRANE_HOST_DEF} ${host_import}
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${VELTRANE_DLLTOOL}
          -DMODULE=${VELTRANE_HOST_MODULE} -DOBJECT_LIST=${VELTRANE_IMPORTS}/plugin-objects.txt
          -DDEF=${VELTRANE_HOST_DEF} -DLIBRARY=${host_import}
          -P ${CMAKE_SOURCE_DIR}/cmake/windows/HostImportLibrary.cmake
  DEPENDS $<TARGET_OBJECTS:veltrane_objects> ${CMAKE_SOURCE_DIR}/cmake/windows/HostImportLibrary.cmake
  COMMENT "Import library of ${VELTRANE_HOST_MODULE}"
  VERBATIM)

# MariaDB Connector/C's import library, from the functions the store calls.
set(VELTRANE_MARIADB_DEF ${CMAKE_SOURCE_DIR}/cmake/windows/libmariadb.def)
set(mariadb_import ${VELTRANE_IMPORTS}/libmariadb.a)
add_custom_command(
  OUTPUT ${mariadb_import}
  COMMAND ${VELTRANE_DLLTOOL} --input-def ${VELTRANE_MARIADB_DEF} --dllname libmariadb.dll
          --output-lib ${mariadb_import}
  DEPENDS ${VELTRANE_MARIADB_DEF}
  COMMENT "Import library of libmariadb.dll"
  VERBATIM)
add_custom_target(veltrane_import_libraries DEPENDS ${host_import} ${mariadb_import})

# The DLL exports nothing: the loader finds DllMain through the PE header, and without a single
# dllexport the linker would export every function.
add_library(Veltrane SHARED $<TARGET_OBJECTS:veltrane_objects>)
set_target_properties(Veltrane PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_dependencies(Veltrane veltrane_import_libraries veltrane_runtime_dlls)
# ws2_32: WSAPoll, with which the non-blocking connection polls its socket.
target_link_libraries(Veltrane PRIVATE veltrane_fmt_spdlog ${host_import} ${mariadb_import} ws2_32)
target_link_options(Veltrane PRIVATE -shared-libgcc LINKER:--exclude-all-symbols)

# The programs of the load test under Wine, which play the host (scripts/build-windows --tests).
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/windows/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests/windows)
endif()
