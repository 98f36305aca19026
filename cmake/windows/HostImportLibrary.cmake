# Makes the import library of the host module from the plugin's objects: every function of
# namespace AsaApi that they call but do not define is the host's (src/host declares them, the
# host exports them), so the list follows the plugin's use of its host.
#
#   cmake -DNM=... -DDLLTOOL=... -DMODULE=AsaApi.dll -DOBJECT_LIST=FILE -DDEF=FILE -DLIBRARY=FILE
#         -P HostImportLibrary.cmake
# OBJECT_LIST names one object file per line.

file(STRINGS "${OBJECT_LIST}" objects)
execute_process(COMMAND "${NM}" --undefined-only --just-symbols ${objects}
                OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" undefined "${undefined}")
set(host_functions)
foreach(symbol IN LISTS undefined)
  if(symbol MATCHES "^_ZN6AsaApi")  # the mangled prefix of namespace AsaApi
    list(APPEND host_functions "${symbol}")
  endif()
endforeach()
list(REMOVE_DUPLICATES host_functions)
list(SORT host_functions)
if(NOT host_functions)
  message(FATAL_ERROR "the plugin's objects call no host function: ${OBJECT_LIST}")
endif()

list(JOIN host_functions "\n  " exports)
file(WRITE "${DEF}.new" "LIBRARY \"${MODULE}\"\nEXPORTS\n  ${exports}\n")
file(COPY_FILE "${DEF}.new" "${DEF}" ONLY_IF_DIFFERENT)
file(REMOVE "${DEF}.new")
execute_process(COMMAND "${DLLTOOL}" --input-def "${DEF}" --dllname "${MODULE}"
                        --output-lib "${LIBRARY}"
                COMMAND_ERROR_IS_FATAL ANY)
